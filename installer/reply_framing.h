// Where an HTTP reply ends by its own framing, found as its bytes arrive.
//
// - The reply begins with "HTTP/"; its header block ends at the first
//   "\r\n\r\n". Header names are matched without regard to case, each at the
//   start of a header line.
// - A Transfer-Encoding whose last coding is "chunked": the reply ends after
//   the last chunk (size 0), its trailer lines and the empty line after
//   them. Any other Transfer-Encoding gives no end (its length is the
//   connection's).
// - Otherwise a Content-Length (digits only; repeated, it must repeat the
//   same number): the reply ends after that many bytes of body.
// - A reply with neither, an interim (1xx) reply, a header block longer than
//   kMaxFramingHeader (or a chunk or trailer line longer than that), or
//   framing that does not parse has no end of its own:
//   it lasts until the peer closes, and complete() stays false.
// - The bytes are only looked at: the caller keeps them as they came. Only
//   the header block and the chunk line being read are held here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr std::size_t kMaxFramingHeader = 65536;

class ReplyFraming {
 public:
  // With acceptChunked false a chunked reply has no end of its own either:
  // only a Content-Length ends a reply.
  explicit ReplyFraming(bool acceptChunked = true) : acceptChunked_(acceptChunked) {}

  // Looks at the next `length` bytes of the reply. Returns how many of them
  // belong to the reply: all of them, unless the reply ends within them.
  // Once complete, further bytes are not the reply's (0 is returned).
  std::size_t feed(const char* data, std::size_t length);
  bool complete() const { return state_ == State::Complete; }

 private:
  enum class State { Header, Body, ChunkSize, ChunkData, ChunkDataEnd, Trailer, Complete, UntilClose };
  // Decides how the body is framed from the header block (without its
  // final empty line).
  void frameFromHeader(const std::string& head);
  // Adds bytes to the current line; true once the line (up to its LF) is
  // whole. *used gets the bytes taken.
  bool takeLine(const char* data, std::size_t length, std::size_t* used);
  void lineDone();

  bool acceptChunked_;
  State state_ = State::Header;
  std::string held_;           // the header block so far, or the current line
  std::uint64_t remaining_ = 0;  // body or chunk bytes still to come
};
