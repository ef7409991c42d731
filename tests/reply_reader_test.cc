// The one reader of HTTP replies: where a reply ends, its headers and its
// decoded body, the same however its bytes are split.
#include "installer/reply_reader.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/harness/coding.h"

namespace {

constexpr std::size_t kUntilClose = std::string::npos;

// Where the reader ends the reply when fed in pieces of `piece` bytes
// (0: all at once), or kUntilClose.
std::size_t endOf(const std::string& reply, std::size_t piece,
                  ReplyReader::Options options = ReplyReader::Options()) {
  ReplyReader reader(options);
  std::size_t at = 0;
  while (at < reply.size()) {
    std::size_t length = piece == 0 ? reply.size() - at : std::min(piece, reply.size() - at);
    std::size_t used = reader.feed(reply.data() + at, length);
    if (reader.complete()) return at + used;
    EXPECT_EQ(used, length);
    at += length;
  }
  return kUntilClose;
}

TEST(ReplyReaderTest, EndsWhereTheFramingSaysHoweverTheBytesAreSplit) {
  const std::string head = "HTTP/1.1 200 OK\r\nServer: test\r\n";
  const std::string chunked = head + "Transfer-Encoding: chunked\r\n\r\n";
  // A reply that ends by its framing is followed by "NEXT", which is not its.
  const struct Case {
    const char* name;
    std::string reply;
    bool ends;
  } cases[] = {
      {"content length", head + "Content-Length: 6\r\n\r\nqueuedNEXT", true},
      {"content length 0", head + "Content-Length: 0\r\n\r\nNEXT", true},
      {"name in other case, blanks around the value", head + "content-LENGTH:\t 3 \r\n\r\nabcNEXT", true},
      {"the same length twice", head + "Content-Length: 2\r\nContent-Length: 2\r\n\r\nabNEXT", true},
      {"HTTP/1.0", "HTTP/1.0 302 Found\r\nLocation: /x\r\nContent-Length: 1\r\n\r\nxNEXT", true},
      {"a body with CR LF pairs of its own", head + "Content-Length: 8\r\n\r\n\r\n\r\n\r\n\r\nNEXT", true},
      {"chunked", chunked + "6\r\nqueued\r\n0\r\n\r\nNEXT", true},
      {"chunked, sizes in hex with extensions",
       chunked + "1A;x=y\r\n" + std::string(26, 'z') + "\r\n0 ;end\r\n\r\nNEXT", true},
      {"chunked with a trailer", chunked + "3\r\nabc\r\n0\r\nX-Sum: 1\r\n\r\nNEXT", true},
      {"chunked wins over a content length",
       head + "Content-Length: 1\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n1\r\na\r\n0\r\n\r\nNEXT", true},
      {"chunk data holding what looks like a last chunk", chunked + "7\r\n0\r\n\r\n\r\n\r\n0\r\n\r\nNEXT", true},
      {"interim replies, then the final one", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\n\r\n" +
                                                  head + "Content-Length: 2\r\n\r\nokNEXT", true},
      {"204 with a length", "HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\nNEXT", true},
      {"204 without one", "HTTP/1.1 204 No Content\r\n\r\nNEXT", true},
      {"304 with a length", "HTTP/1.1 304 Not Modified\r\nContent-Length: 7\r\n\r\nNEXT", true},
      {"304 chunked", "HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\nNEXT", true},
      {"body still to come", head + "Content-Length: 10\r\n\r\nshort", false},
      {"last chunk without its empty line", chunked + "0\r\n", false},
      {"neither", head + "Content-Type: text/html\r\n\r\nbody", false},
      {"no header end", head + "Content-Length: 0\r\n", false},
      {"another transfer coding", head + "Transfer-Encoding: gzip\r\nContent-Length: 1\r\n\r\nx", false},
      {"lengths that differ", head + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nxy", false},
      {"length that is not a number", head + "Content-Length: 1x\r\n\r\nx", false},
      {"negative length", head + "Content-Length: -1\r\n\r\nx", false},
      {"length too long to be a number", head + "Content-Length: 9999999999999999999\r\n\r\nx", false},
      {"name not at a line start", head + "X-Content-Length: 1\r\n\r\nx", false},
      {"blank before the colon", head + "Content-Length : 1\r\n\r\nx", false},
      {"interim reply, then one without a length",
       "HTTP/1.1 100 Continue\r\nContent-Length: 0\r\n\r\nHTTP/1.1 200 OK\r\n\r\n", false},
      {"not HTTP", "SSH-2.0-x\r\nContent-Length: 0\r\n\r\n", false},
      {"bad chunk size", chunked + "zz\r\nab\r\n0\r\n\r\n", false},
      {"chunk size too long", chunked + "10000000000000000\r\n", false},
      {"chunk without its line end", chunked + "2\r\nabX\r\n0\r\n\r\n", false},
      {"empty reply", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (std::size_t piece : {0, 1, 2, 3, 5, 7, 4096}) {
      SCOPED_TRACE(piece);
      EXPECT_EQ(endOf(c.reply, piece), c.ends ? c.reply.rfind("NEXT") : kUntilClose);
    }
  }
}

TEST(ReplyReaderTest, HugeHeaderBlockHasNoEndOfItsOwn) {
  std::string start = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nX: ";
  std::string largest = start + std::string(kMaxReplyHeader - start.size(), 'x') + "\r\n\r\n";
  for (std::size_t piece : {0, 1, 4096}) {
    EXPECT_EQ(endOf(largest, piece), largest.size());
    EXPECT_EQ(endOf(start + "x" + largest.substr(start.size()), piece), kUntilClose);  // one byte more
  }
  std::string reply = "HTTP/1.1 200 OK\r\nX: " + std::string(kMaxReplyHeader, 'x') + "\r\nContent-Length: 0\r\n\r\n";
  EXPECT_EQ(endOf(reply, 4096), kUntilClose);
  std::string chunkLine = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1;" +
                          std::string(kMaxReplyHeader, 'e') + "\r\na\r\n0\r\n\r\n";
  EXPECT_EQ(endOf(chunkLine, 4096), kUntilClose);
  // The bound is the reader's option: a larger one takes the same block.
  ReplyReader::Options roomy;
  roomy.maxHeader = 2 * kMaxReplyHeader;
  EXPECT_EQ(endOf(reply, 4096, roomy), reply.size());
}

TEST(ReplyReaderTest, NothingMoreIsTakenOnceComplete) {
  ReplyReader reader;
  std::string reply = "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n";
  EXPECT_EQ(reader.feed(reply.data(), reply.size()), reply.size());
  EXPECT_TRUE(reader.complete());
  EXPECT_EQ(reader.feed("more", 4), 0u);
  EXPECT_TRUE(reader.complete());
}

using harness::chunks;
using harness::gzipped;

struct Read {
  int status = 0;
  bool headerDone = false;
  std::string headerBlock;
  std::string body;
  ReplyReader::BodyState state = ReplyReader::BodyState::Cut;
  std::size_t used = 0;
  bool complete = false;
};

// The reply fed in the given pieces, then the connection's end.
Read readInPieces(const std::string& reply, const std::vector<std::size_t>& cuts,
                  ReplyReader::Options options) {
  ReplyReader reader(options);
  Read r;
  std::size_t at = 0;
  std::vector<std::size_t> ends = cuts;
  ends.push_back(reply.size());
  for (std::size_t end : ends) {
    r.used += reader.feed(reply.data() + at, end - at);
    at = end;
  }
  reader.finish();
  r.status = reader.status();
  r.headerDone = reader.headerDone();
  r.headerBlock = reader.headerBlock();
  r.body = reader.body();
  r.state = reader.bodyState();
  r.complete = reader.complete();
  return r;
}

void expectSame(const Read& a, const Read& b) {
  EXPECT_EQ(a.status, b.status);
  EXPECT_EQ(a.headerDone, b.headerDone);
  EXPECT_EQ(a.headerBlock, b.headerBlock);
  EXPECT_EQ(a.body, b.body);
  EXPECT_EQ(a.state, b.state);
  EXPECT_EQ(a.used, b.used);
  EXPECT_EQ(a.complete, b.complete);
}

using State = ReplyReader::BodyState;

TEST(ReplyReaderTest, BodiesDecodedTheSameAtEverySplit) {
  const std::string ok = "HTTP/1.1 200 OK\r\n";
  const std::string page = "<html><!-- STATUS: Compiling -->\n<!-- URL: /status.php?r=1 -->\n</html>\n";
  std::string big;
  for (int i = 0; big.size() < 20000; ++i) big += "line " + std::to_string(i * 7919) + "\n";
  const std::string gz = gzipped(page);
  const struct Case {
    const char* name;
    std::string reply;
    int status;
    std::string body;
    State state;
    std::size_t maxBody = SIZE_MAX;
    bool bareLf = false;
  } cases[] = {
      {"chunked with extensions and a trailer",
       ok + "Transfer-Encoding: chunked\r\n\r\n" + chunks(page, 13, ";name=\"v\"") + "0;last\r\nX-Sum: 9\r\n\r\nNEXT",
       200, page, State::Whole},
      {"chunked wins over a length", ok + "Content-Length: 12\r\nTransfer-Encoding: chunked\r\n\r\n"
                                          "6\r\nMODULE\r\n6\r\n-BYTES\r\n0\r\n\r\n",
       200, "MODULE-BYTES", State::Whole},
      {"a folded line is part of the header before it",
       ok + "X-Note: a\r\n Content-Length: 3\r\nContent-Length: 12\r\n\r\nMODULE-BYTESNEXT", 200, "MODULE-BYTES",
       State::Whole},
      {"interim replies skipped", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\nX: 1\r\n\r\n" + ok +
                                      "Content-Length: 2\r\n\r\nokNEXT",
       200, "ok", State::Whole},
      {"204 without a length", "HTTP/1.1 204 No Content\r\n\r\nNEXT", 204, "", State::Whole},
      {"204 with a length", "HTTP/1.1 204 No Content\r\nContent-Length: 4\r\n\r\nNEXT", 204, "", State::Whole},
      {"304 with a length", "HTTP/1.1 304 Not Modified\r\nContent-Length: 4\r\n\r\nNEXT", 304, "", State::Whole},
      {"304 without one", "HTTP/1.1 304 Not Modified\r\n\r\nNEXT", 304, "", State::Whole},
      {"gzip", ok + "Content-Encoding: gzip\r\nContent-Length: " + std::to_string(gz.size()) + "\r\n\r\n" + gz + "NEXT",
       200, page, State::Whole},
      {"gzip, chunked", ok + "Content-Encoding: x-gzip\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks(gzipped(big), 700) +
                            "0\r\n\r\n",
       200, big, State::Whole},
      {"gzip as a transfer coding", ok + "Transfer-Encoding: gzip, chunked\r\n\r\n" + chunks(gz, 10) + "0\r\n\r\n",
       200, page, State::Whole},
      {"two gzip members", ok + "Content-Encoding: gzip\r\n\r\n" + gzipped("first ") + gzipped("second"), 200,
       "first second", State::Whole},
      {"deflate (zlib data)", ok + "Content-Encoding: deflate\r\n\r\n" + harness::zlibbed(big), 200, big, State::Whole},
      {"deflate (raw data)", ok + "Content-Encoding: Deflate\r\n\r\n" + harness::rawDeflated(page), 200, page, State::Whole},
      {"identity coding", ok + "Content-Encoding: identity\r\nContent-Length: 2\r\n\r\nab", 200, "ab", State::Whole},
      {"empty gzip body", ok + "Content-Encoding: gzip\r\nContent-Length: 0\r\n\r\n", 200, "", State::Whole},
      {"to the close", ok + "Content-Type: text/html\r\n\r\n" + page, 200, page, State::Whole},
      {"lines ended by LF alone", "HTTP/1.0 200 OK\nContent-Length: 2\n\nokNEXT", 200, "ok", State::Whole, SIZE_MAX,
       true},
      {"not HTTP", "-----BEGIN PUBLIC KEY-----\r\n\r\nx", 0, "-----BEGIN PUBLIC KEY-----\r\n\r\nx", State::Whole},
      {"cut before its length", ok + "Content-Length: 10\r\n\r\nshort", 200, "short", State::Cut},
      {"cut before its last chunk", ok + "Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n", 200, "abc", State::Cut},
      {"gzip cut inside its data", ok + "Content-Encoding: gzip\r\nContent-Length: 10\r\n\r\n" + gz.substr(0, 10), 200,
       "", State::Invalid},
      {"corrupt gzip", ok + "Content-Encoding: gzip\r\n\r\nthis is not gzip data", 200, "", State::Invalid},
      {"a coding not known", ok + "Content-Encoding: br\r\nContent-Length: 2\r\n\r\nabNEXT", 200, "", State::Invalid},
      {"two codings", ok + "Content-Encoding: gzip, deflate\r\nContent-Length: 2\r\n\r\nabNEXT", 200, "",
       State::Invalid},
      {"bad chunk size", ok + "Transfer-Encoding: chunked\r\n\r\n2\r\nab\r\nzz\r\nabc\r\n0\r\n\r\n", 200, "ab",
       State::Invalid},
      {"body past the bound", ok + "Content-Length: 10\r\n\r\n0123456789", 200, "0123", State::TooLarge, 4},
      {"inflated past the bound", ok + "Content-Encoding: gzip\r\n\r\n" + gzipped(std::string(1 << 20, '\0')), 200,
       std::string(1000, '\0'), State::TooLarge, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReplyReader::Options options;
    options.maxBody = c.maxBody;
    options.bareLf = c.bareLf;
    Read whole = readInPieces(c.reply, {}, options);
    EXPECT_EQ(whole.status, c.status);
    EXPECT_EQ(whole.body, c.body);
    EXPECT_EQ(whole.state, c.state);
    std::size_t next = c.reply.rfind("NEXT");
    if (next != std::string::npos) {
      EXPECT_EQ(whole.used, next);
    }
    // Split once at every byte, then one byte at a time.
    for (std::size_t cut = 1; cut < c.reply.size(); ++cut) {
      SCOPED_TRACE(cut);
      expectSame(readInPieces(c.reply, {cut}, options), whole);
      if (::testing::Test::HasFailure()) break;
    }
    std::vector<std::size_t> bytes;
    for (std::size_t cut = 1; cut < c.reply.size(); ++cut) bytes.push_back(cut);
    expectSame(readInPieces(c.reply, bytes, options), whole);
  }
}

// A small body that inflates without end (here gigabytes of zeros in gzip
// members one after the other) is given up once the bound is reached, not
// inflated to its end first, however large a piece the reader is fed.
TEST(ReplyReaderTest, InflatingStopsAtTheBound) {
  const std::string member = gzipped(std::string(64 << 20, '\0'));
  std::string reply = "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n";
  for (int i = 0; i < 128; ++i) reply += member;
  ReplyReader::Options options;
  options.maxBody = 1000;
  auto start = std::chrono::steady_clock::now();
  Read r = readInPieces(reply, {}, options);
  auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.state, State::TooLarge);
  EXPECT_EQ(r.body, std::string(1000, '\0'));
  EXPECT_EQ(r.used, reply.size());
  EXPECT_LT(tookMs, 3000);
}

TEST(ReplyReaderTest, HeadersAndTheHeaderBlock) {
  std::string reply =
      "HTTP/1.1 100 Continue\r\nX-Early: 1\r\n\r\n"
      "HTTP/1.1 200 OK\r\n   leading fold belongs to no header\r\nX-Note:  first \r\n\tsecond\r\n"
      "Content-disposition: attachment; filename=m.ko\r\nno colon here\r\n"
      "content-length: 2\r\n\r\nok";
  ReplyReader reader;
  reader.feed(reply.data(), reply.size());
  ASSERT_TRUE(reader.complete());
  EXPECT_EQ(reader.status(), 200);
  // The final reply's block, up to where its empty line begins.
  EXPECT_EQ(reader.headerBlock(), reply.substr(reply.find("HTTP/1.1 200"), reply.find("\r\n\r\nok") -
                                                                                reply.find("HTTP/1.1 200")));
  ASSERT_EQ(reader.headers().size(), 3u);
  ASSERT_NE(reader.header("x-note"), nullptr);
  EXPECT_EQ(*reader.header("X-NOTE"), "first second");
  EXPECT_EQ(*reader.header("Content-Disposition"), "attachment; filename=m.ko");
  EXPECT_EQ(*reader.header("Content-Length"), "2");
  EXPECT_EQ(reader.header("X-Early"), nullptr);
  EXPECT_EQ(reader.contentLength(), std::optional<std::uint64_t>(2));
  EXPECT_EQ(reader.headerFault(), ReplyReader::HeaderFault::None);
  // The first block read is the interim reply's.
  EXPECT_EQ(reader.firstBlock(), "HTTP/1.1 100 Continue\r\nX-Early: 1");
}

// A header frames its reply in one way or not at all: a name holding a
// blank, or lengths that are not one number of digits alone, leave the
// reply invalid, without a body and without an end of its own, however its
// bytes are split. One number, given once or more, is the length.
TEST(ReplyReaderTest, AHeaderFramesInOneWayOrNone) {
  using Fault = ReplyReader::HeaderFault;
  const std::string ok = "HTTP/1.1 200 OK\r\n";
  const std::string chunks = "5\r\nhello\r\n0\r\n\r\n";
  const struct {
    const char* name;
    std::string reply;
    Fault fault;
    std::optional<std::uint64_t> length;
  } cases[] = {
      {"lengths that differ, the shorter first", ok + "Content-Length: 5\r\nContent-Length: 10\r\n\r\nhello12345",
       Fault::BadLength, std::nullopt},
      {"lengths that differ, the longer first", ok + "Content-Length: 10\r\nContent-Length: 5\r\n\r\nhello12345",
       Fault::BadLength, std::nullopt},
      {"a length and a second number", ok + "Content-Length: 5 0\r\n\r\nhello", Fault::BadLength, std::nullopt},
      {"a length folded on to a second line", ok + "Content-Length: 5\r\n 0\r\n\r\nhello", Fault::BadLength,
       std::nullopt},
      {"a signed length", ok + "Content-Length: +5\r\n\r\nhello", Fault::BadLength, std::nullopt},
      {"an empty length", ok + "Content-Length:\r\n\r\nhello", Fault::BadLength, std::nullopt},
      {"lengths that differ beside chunks",
       ok + "Content-Length: 1\r\nTransfer-Encoding: chunked\r\nContent-Length: 2\r\n\r\n" + chunks,
       Fault::BadLength, std::nullopt},
      {"lengths that differ in a reply without a body", "HTTP/1.1 204 No Content\r\nContent-Length: 1\r\n"
                                                        "Content-Length: 2\r\n\r\n",
       Fault::BadLength, std::nullopt},
      {"a blank before the colon of Transfer-Encoding",
       ok + "Content-Length: 15\r\nTransfer-Encoding : chunked\r\n\r\n" + chunks, Fault::BadName, 15},
      {"a tab before the colon", ok + "Content-Length\t: 5\r\n\r\nhello", Fault::BadName, std::nullopt},
      {"a blank inside a name", ok + "X Note: 1\r\nContent-Length: 5\r\n\r\nhello", Fault::BadName, 5},
      {"a vertical tab before the colon", ok + "Content-Length: 15\r\nTransfer-Encoding\v: chunked\r\n\r\n" + chunks,
       Fault::BadName, 15},
      {"a form feed before the colon", ok + "Content-Length: 15\r\nTransfer-Encoding\f: chunked\r\n\r\n" + chunks,
       Fault::BadName, 15},
      {"a carriage return before the colon",
       ok + "Content-Length: 15\r\nTransfer-Encoding\r: chunked\r\n\r\n" + chunks, Fault::BadName, 15},
      {"a NUL before the colon",
       ok + "Content-Length: 15\r\nTransfer-Encoding" + std::string(1, '\0') + ": chunked\r\n\r\n" + chunks,
       Fault::BadName, 15},
      {"a separator in a name", ok + "Content-Length(1): 5\r\n\r\nhello", Fault::BadName, std::nullopt},
      {"the same length twice", ok + "Content-Length: 5\r\ncontent-length: 005\r\n\r\nhello", Fault::None, 5},
      {"a length beside chunks", ok + "Content-Length: 15\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks,
       Fault::None, 15},
      {"no length", ok + "Transfer-Encoding: chunked\r\n\r\n" + chunks, Fault::None, std::nullopt},
      {"an interim reply's faults are not the reply's",
       "HTTP/1.1 100 Continue\r\nBad Name: 1\r\nContent-Length: x\r\n\r\n" + ok + "Content-Length: 5\r\n\r\nhello",
       Fault::None, 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ReplyReader reader;
    for (char ch : c.reply) reader.feed(&ch, 1);
    reader.finish();
    EXPECT_TRUE(reader.headerDone());
    EXPECT_EQ(reader.headerFault(), c.fault);
    EXPECT_EQ(reader.contentLength(), c.length);
    if (c.fault == Fault::None) {
      EXPECT_NE(reader.framing(), ReplyReader::Framing::Invalid);
      EXPECT_EQ(reader.bodyState(), State::Whole);
      EXPECT_EQ(reader.body(), "hello");
      continue;
    }
    EXPECT_EQ(reader.framing(), ReplyReader::Framing::Invalid);
    EXPECT_EQ(reader.bodyState(), State::Invalid);
    EXPECT_EQ(reader.body(), "");
    for (std::size_t piece : {0, 1, 7, 4096}) EXPECT_EQ(endOf(c.reply + "NEXT", piece), kUntilClose) << piece;
  }
}

// Chunks that break leave the reply Broken, not read to the close: what
// follows, up to the close, is neither body nor a way back to Whole.
TEST(ReplyReaderTest, ABrokenChunkStaysInvalidToTheClose) {
  std::string reply = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\nzz\r\n";
  ReplyReader reader;
  EXPECT_EQ(reader.feed(reply.data(), reply.size()), reply.size());
  EXPECT_EQ(reader.bodyState(), State::Invalid);
  EXPECT_EQ(reader.feed("3\r\nabc\r\n0\r\n\r\n", 15), 15u);  // taken as the reply's, not as its body
  reader.finish();
  EXPECT_FALSE(reader.complete());
  EXPECT_EQ(reader.framing(), ReplyReader::Framing::Chunked);
  EXPECT_EQ(reader.bodyState(), State::Invalid);
  EXPECT_EQ(reader.body(), "ab");
}

// Each byte is looked at a bounded number of times: megabytes of interim
// replies before the real one take time in proportion to their bytes, fed
// as one piece or in pieces as a connection brings them. A reader that
// copied what follows each block again takes over a minute for the one
// piece; this one takes a fraction of a second.
TEST(ReplyReaderTest, InterimRepliesTakeTimeInProportionToTheirBytes) {
  const std::string interim = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\nX-Progress: 7\r\n\r\n";
  std::string reply;
  while (reply.size() < (16u << 20)) reply += interim;
  const std::size_t blocks = 2 * reply.size() / interim.size();
  reply += "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloNEXT";
  for (std::size_t piece : {reply.size(), std::size_t{4096}}) {
    SCOPED_TRACE(piece);
    auto start = std::chrono::steady_clock::now();
    std::size_t end = endOf(reply, piece);
    auto tookMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(end, reply.size() - 4);
    EXPECT_LT(tookMs, 10000) << blocks << " interim replies";
  }
  ReplyReader reader;
  reader.feed(reply.data(), reply.size());
  EXPECT_EQ(reader.status(), 200);
  EXPECT_EQ(reader.body(), "hello");
  EXPECT_EQ(reader.firstBlock(), "HTTP/1.1 100 Continue");
}

TEST(ReplyReaderTest, StatusLinesAndTextsWithoutAHeader) {
  const struct {
    std::string reply;
    int status;
    bool headerDone;
    bool blankLine;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\n\r\n", 200, true, false},
      {"HTTP/1.1 404\r\n\r\n", 404, true, false},
      {"HTTP/1.1 2000 OK\r\n\r\n", 0, true, false},
      {"HTTP/1.1 abc OK\r\n\r\n", 0, true, false},
      {"HTTP/ 200 OK\r\n\r\n", 0, true, false},
      {"HTTP/1.1 200 OK\r\nno separator", 0, false, false},
      {"http/1.1 200 OK\r\nA: b\r\n\r\n", 0, false, true},
      {"garbage", 0, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    Read r = readInPieces(c.reply, {}, ReplyReader::Options());
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.headerDone, c.headerDone);
    ReplyReader reader;
    for (char ch : c.reply) reader.feed(&ch, 1);
    reader.finish();
    EXPECT_EQ(reader.blankLineSeen(), c.blankLine);
    // Without a header, all of it is the body.
    if (!c.headerDone) {
      EXPECT_EQ(reader.body(), c.reply);
    }
  }
}

TEST(ReplyReaderTest, OnlyWhereItEndsWithoutKeepingTheBody) {
  ReplyReader::Options options;
  options.keepBody = false;
  std::string reply = "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 4\r\n\r\nabcdNEXT";
  ReplyReader reader(options);
  EXPECT_EQ(reader.feed(reply.data(), reply.size()), reply.size() - 4);
  EXPECT_TRUE(reader.complete());
  EXPECT_EQ(reader.body(), "");
  EXPECT_EQ(reader.bodyState(), State::Whole);
}

TEST(HeaderEndTest, StrictAndBareLineFeeds) {
  const struct {
    std::string text;
    bool bareLf;
    std::size_t blockEnd;
    std::size_t bodyStart;
  } cases[] = {
      {"A\r\n\r\nb", false, 1, 5},
      {"A\n\nb", false, std::string::npos, std::string::npos},
      {"A\n\nb", true, 1, 3},
      {"A\r\n\nb", true, 1, 4},
      {"A\n\r\nb", true, 1, 4},
      {"A\r\n\r\nb", true, 1, 5},
      {"A\r\nB\r\n", true, std::string::npos, std::string::npos},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    HeaderEnd end = findHeaderEnd(c.text, 0, c.bareLf);
    EXPECT_EQ(end.blockEnd, c.blockEnd);
    EXPECT_EQ(end.bodyStart, c.bodyStart);
  }
}

}  // namespace
