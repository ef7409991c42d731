// One HTTP reply, read once as its bytes arrive: where it ends, its header
// lines and its decoded body. Every reader of a reply in the tool goes
// through it, and whatever judges the reply takes the reader that read it.
//
// - The header block runs from the status line to its empty line, which
//   begins at the first "\r\n\r\n" (with Options::bareLf also an empty line
//   ended by LF alone); the block does not hold the CR LF of its last line.
//   A line beginning with a blank continues the header before it (a folded
//   line). Header names are matched without regard to case, each at the
//   start of its line.
// - Interim replies (1xx) are skipped: the next reply takes their place.
//   1xx, 204 and 304 have no body whatever their headers say.
// - The header frames the body in one way or the reply is invalid: a line
//   whose name is not a token (a blank or a control character before its
//   colon, say), or Content-Length values
//   that are not all the same number of digits alone, leave it without an
//   end of its own and without a body (HeaderFault says which).
// - Otherwise the body ends: with a Transfer-Encoding whose last coding is
//   chunked, after the last chunk, its trailer and the empty line (chunked
//   wins over a Content-Length); with another Transfer-Encoding at the
//   close; else after its Content-Length; else at the close. Once the reply
//   has ended, further bytes are not its own.
// - The body is decoded as it comes: the chunks joined, then a single
//   gzip or deflate coding (Content-Encoding, or a transfer coding before
//   chunked) inflated; any other coding, or chunks or data that do not
//   parse, make the body Invalid (the bytes still count as the reply's up
//   to the close).
// - Bounds: a header block longer than Options::maxHeader gives up the
//   header: the reply is then read as text to the close; a chunk or
//   trailer line longer than it breaks the chunks; a decoded body is kept
//   up to Options::maxBody bytes (TooLarge past them, or when no memory can
//   be had for it, and nothing more is inflated).
// - A reply that does not begin with "HTTP/" has no header: all of it is
//   its body, to the close.
// - Each byte is looked at a bounded number of times, however many header
//   blocks, chunks or pieces the reply comes in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

constexpr std::size_t kMaxReplyHeader = 65536;

struct ReplyHeader {
  std::string name;   // as sent
  std::string value;  // blanks around it removed, folded lines joined by one blank
};

// Where a header block ends in `text`, looking from `from` on (a text
// already searched up to n bytes can be searched again from n - 3):
// blockEnd is where its empty line begins (npos when there is none yet),
// bodyStart the first byte after that empty line.
struct HeaderEnd {
  std::size_t blockEnd;
  std::size_t bodyStart;
};
HeaderEnd findHeaderEnd(std::string_view text, std::size_t from, bool bareLf);

class Inflater;

class ReplyReader {
 public:
  struct Options {
    std::size_t maxHeader = kMaxReplyHeader;
    std::size_t maxBody = SIZE_MAX;
    bool bareLf = false;
    bool keepBody = true;  // false: only where the reply ends
  };
  // How the body ends: NoBody (1xx, 204, 304), Length, Chunked, UntilClose
  // (also for a reply without a header), or Invalid: the header frames it
  // in no one way.
  enum class Framing { NoBody, Length, Chunked, UntilClose, Invalid };
  enum class BodyState {
    Whole,     // ended by its framing, or by the close for UntilClose, and decoded
    Cut,       // not (yet) at the end its framing gives
    Invalid,   // a header that frames nothing, chunks or coding that do not parse, or a coding not known
    TooLarge,  // decoded past maxBody
  };
  // Why the final header frames no body.
  enum class HeaderFault {
    None,
    BadName,      // a header line whose name is not a token ("Transfer-Encoding : chunked")
    BadLength,    // Content-Length values that differ, or one that is not digits alone
  };

  ReplyReader();
  explicit ReplyReader(Options options);
  ~ReplyReader();
  ReplyReader(const ReplyReader&) = delete;
  ReplyReader& operator=(const ReplyReader&) = delete;
  ReplyReader(ReplyReader&&) noexcept;
  ReplyReader& operator=(ReplyReader&&) noexcept;

  // Reads the next bytes; returns how many of them are the reply's: all of
  // them, unless the reply ends within them (0 once it has ended).
  std::size_t feed(const char* data, std::size_t length);
  // The connection ended: a body read to the close is whole, and a header
  // that never ended makes the reply a text without a header.
  void finish();

  bool complete() const { return state_ == State::Complete; }  // ended by its own framing
  // Nothing that follows can change how the reply is judged: it ended by
  // its framing, or its framing can't be followed (a header that frames it
  // in no one way, chunks that do not parse). A reader that need not read
  // to the close may stop here.
  bool settled() const { return state_ == State::Complete || state_ == State::Broken; }
  bool headerDone() const { return headerDone_; }  // the final reply's header block is in
  // A reply read as text without a header holds "\r\n\r\n" somewhere.
  bool blankLineSeen() const { return blankLineSeen_; }
  int status() const { return status_; }  // 0 when the status line does not parse
  const std::string& headerBlock() const { return headerBlock_; }
  // The first header block read, an interim reply's too ("" before one).
  const std::string& firstBlock() const { return firstBlock_; }
  const std::vector<ReplyHeader>& headers() const { return headers_; }
  // The first header of that name, or nullptr.
  const std::string* header(const std::string& name) const;
  Framing framing() const { return framing_; }
  HeaderFault headerFault() const { return headerFault_; }
  // The Content-Length, read once when the header came: its number when
  // every Content-Length header gives the same digits; none without one,
  // or with a BadLength fault. The body is framed by it unless chunked.
  const std::optional<std::uint64_t>& contentLength() const { return contentLength_; }
  bool coded() const { return coding_ != Coding::Identity; }
  const std::string& body() const { return body_; }
  // Hands the body over (it may be as large as a whole reply).
  std::string takeBody() { return std::move(body_); }
  BodyState bodyState() const;

 private:
  enum class State {
    Head,          // a header block, an interim reply's or the final one
    Length,        // body bytes up to the Content-Length
    ChunkSize,     // a chunk's size line
    ChunkData,     // a chunk's bytes
    ChunkDataEnd,  // the line end after a chunk's bytes
    Trailer,       // the trailer's lines after the last chunk, to its empty line
    ToClose,       // a body that the close ends
    Text,          // no header: all of it is the body, to the close
    Broken,        // framing that can't be followed: nothing more is body, to the close
    Complete,      // ended by its framing: further bytes are not the reply's
  };
  enum class Coding { Identity, Gzip, Deflate, Unknown };

  std::size_t feedHead(const char* data, std::size_t length);
  void startReply(const std::string& block);
  void frameBody();
  void readAsText(const char* data, std::size_t length);  // gives up the header: what is held becomes the body
  void noteBlankLine(const char* data, std::size_t length);
  bool takeLine(const char* data, std::size_t length, std::size_t* used);
  void lineDone();
  void emit(const char* data, std::size_t length);
  void keep(const char* data, std::size_t length);
  void broken();

  Options options_;
  State state_ = State::Head;
  Framing framing_ = Framing::UntilClose;
  HeaderFault headerFault_ = HeaderFault::None;
  Coding coding_ = Coding::Identity;
  std::unique_ptr<Inflater> inflater_;
  std::string held_;  // the header block so far, or the current line
  std::string tail_;  // the last bytes of a text read without a header
  std::string headerBlock_;
  std::string firstBlock_;
  std::vector<ReplyHeader> headers_;
  std::optional<std::uint64_t> contentLength_;
  std::string body_;
  std::uint64_t remaining_ = 0;  // body or chunk bytes still to come
  int status_ = 0;
  bool headerDone_ = false;
  bool blankLineSeen_ = false;
  bool finished_ = false;
  bool invalid_ = false;
  bool tooLarge_ = false;
};
