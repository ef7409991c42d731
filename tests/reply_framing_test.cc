// Where a reply ends by its own framing: the same end however its bytes
// are split, and no end where the framing is missing or does not parse.
#include "installer/reply_framing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr std::size_t kUntilClose = std::string::npos;

// Where the framing ends the reply when fed in pieces of `piece` bytes
// (0: all at once), or kUntilClose.
std::size_t endOf(const std::string& reply, std::size_t piece, bool chunked = true) {
  ReplyFraming framing(chunked);
  std::size_t at = 0;
  while (at < reply.size()) {
    std::size_t length = piece == 0 ? reply.size() - at : std::min(piece, reply.size() - at);
    std::size_t used = framing.feed(reply.data() + at, length);
    if (framing.complete()) return at + used;
    EXPECT_EQ(used, length);
    at += length;
  }
  return kUntilClose;
}

TEST(ReplyFramingTest, EndsWhereTheFramingSaysHoweverTheBytesAreSplit) {
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
      {"interim reply", "HTTP/1.1 100 Continue\r\nContent-Length: 0\r\n\r\nHTTP/1.1 200 OK\r\n\r\n", false},
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

TEST(ReplyFramingTest, WithoutChunkedOnlyALengthEndsAReply) {
  std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n";
  EXPECT_EQ(endOf(chunked, 0, false), kUntilClose);
  EXPECT_EQ(endOf(chunked, 0, true), chunked.size());
  std::string sized = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nab";
  EXPECT_EQ(endOf(sized, 1, false), sized.size());
}

TEST(ReplyFramingTest, HugeHeaderBlockHasNoEndOfItsOwn) {
  std::string start = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nX: ";
  std::string largest = start + std::string(kMaxFramingHeader - start.size(), 'x') + "\r\n\r\n";
  for (std::size_t piece : {0, 1, 4096}) {
    EXPECT_EQ(endOf(largest, piece), largest.size());
    EXPECT_EQ(endOf(start + "x" + largest.substr(start.size()), piece), kUntilClose);  // one byte more
  }
  std::string reply = "HTTP/1.1 200 OK\r\nX: " + std::string(kMaxFramingHeader, 'x') + "\r\nContent-Length: 0\r\n\r\n";
  EXPECT_EQ(endOf(reply, 4096), kUntilClose);
  std::string chunkLine = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1;" +
                          std::string(kMaxFramingHeader, 'e') + "\r\na\r\n0\r\n\r\n";
  EXPECT_EQ(endOf(chunkLine, 4096), kUntilClose);
}

TEST(ReplyFramingTest, NothingMoreIsTakenOnceComplete) {
  ReplyFraming framing;
  std::string reply = "HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n";
  EXPECT_EQ(framing.feed(reply.data(), reply.size()), reply.size());
  EXPECT_TRUE(framing.complete());
  EXPECT_EQ(framing.feed("more", 4), 0u);
  EXPECT_TRUE(framing.complete());
}

}  // namespace
