#include "installer/reply_framing.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

constexpr const char* kHttpPrefix = "HTTP/";
constexpr std::size_t kHttpPrefixLength = 5;
// Digits enough for any reply this tool could keep, few enough that the
// number cannot overflow.
constexpr std::size_t kMaxLengthDigits = 18;
constexpr std::size_t kMaxChunkSizeDigits = 15;

std::string lowerCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string trimmed(const std::string& text) {
  std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  std::size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

bool allDigits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::size_t ReplyFraming::feed(const char* data, std::size_t length) {
  std::size_t at = 0;
  while (at < length) {
    switch (state_) {
      case State::Complete:
        return at;
      case State::UntilClose:
        return length;
      case State::Header: {
        std::size_t before = held_.size();
        held_.append(data + at, length - at);
        std::size_t compared = std::min(held_.size(), kHttpPrefixLength);
        if (held_.compare(0, compared, kHttpPrefix, compared) != 0) {
          state_ = State::UntilClose;
          held_.clear();
          return length;
        }
        std::size_t end = held_.find("\r\n\r\n", before < 3 ? 0 : before - 3);
        // Too long a block, wherever the pieces were cut: once the end can
        // no longer come within the limit, or when it came past it.
        if (end == std::string::npos ? held_.size() >= kMaxFramingHeader + 4 : end > kMaxFramingHeader) {
          state_ = State::UntilClose;
          held_.clear();
          return length;
        }
        if (end == std::string::npos) return length;
        at += end + 4 - before;
        held_.resize(end);
        frameFromHeader(held_);
        held_.clear();
        break;
      }
      case State::Body:
      case State::ChunkData: {
        std::uint64_t take = std::min<std::uint64_t>(remaining_, length - at);
        remaining_ -= take;
        at += static_cast<std::size_t>(take);
        if (remaining_ == 0) state_ = state_ == State::Body ? State::Complete : State::ChunkDataEnd;
        break;
      }
      case State::ChunkSize:
      case State::ChunkDataEnd:
      case State::Trailer: {
        std::size_t used = 0;
        bool whole = takeLine(data + at, length - at, &used);
        at += used;
        if (whole) lineDone();
        break;
      }
    }
  }
  return at;
}

bool ReplyFraming::takeLine(const char* data, std::size_t length, std::size_t* used) {
  const void* lf = std::memchr(data, '\n', length);
  std::size_t upTo = lf == nullptr ? length : static_cast<std::size_t>(static_cast<const char*>(lf) - data);
  held_.append(data, upTo);
  *used = lf == nullptr ? length : upTo + 1;
  if (held_.size() > kMaxFramingHeader) {
    state_ = State::UntilClose;
    held_.clear();
    return false;
  }
  return lf != nullptr;
}

void ReplyFraming::lineDone() {
  std::string line;
  line.swap(held_);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  switch (state_) {
    case State::ChunkSize: {
      // The size in hex, then nothing, blanks or a chunk extension.
      std::size_t digits = 0;
      std::uint64_t size = 0;
      while (digits < line.size() && hexValue(line[digits]) >= 0) {
        size = size * 16 + static_cast<std::uint64_t>(hexValue(line[digits]));
        ++digits;
      }
      bool tailOk = digits == line.size() || line[digits] == ';' || line[digits] == ' ' || line[digits] == '\t';
      if (digits == 0 || digits > kMaxChunkSizeDigits || !tailOk) {
        state_ = State::UntilClose;
      } else if (size == 0) {
        state_ = State::Trailer;
      } else {
        remaining_ = size;
        state_ = State::ChunkData;
      }
      break;
    }
    case State::ChunkDataEnd:
      state_ = line.empty() ? State::ChunkSize : State::UntilClose;
      break;
    case State::Trailer:
      if (line.empty()) state_ = State::Complete;
      break;
    default:
      break;
  }
}

void ReplyFraming::frameFromHeader(const std::string& head) {
  state_ = State::UntilClose;
  std::size_t lineEnd = head.find("\r\n");
  std::string statusLine = head.substr(0, lineEnd);
  std::size_t blank = statusLine.find(' ');
  // An interim reply is followed by the real one: no end of its own here.
  if (blank == std::string::npos || statusLine.compare(blank + 1, 1, "1") == 0) return;

  bool haveEncoding = false, haveLength = false;
  std::string encoding;
  std::uint64_t contentLength = 0;
  while (lineEnd != std::string::npos) {
    std::size_t start = lineEnd + 2;
    lineEnd = head.find("\r\n", start);
    std::string line = head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = lowerCase(line.substr(0, colon));
    std::string value = trimmed(line.substr(colon + 1));
    if (name == "transfer-encoding") {
      encoding += (haveEncoding ? "," : "") + value;
      haveEncoding = true;
    } else if (name == "content-length") {
      if (!allDigits(value) || value.size() > kMaxLengthDigits) return;
      std::uint64_t number = std::stoull(value);
      if (haveLength && number != contentLength) return;
      contentLength = number;
      haveLength = true;
    }
  }
  if (haveEncoding) {
    std::size_t comma = encoding.rfind(',');
    std::string last = lowerCase(trimmed(comma == std::string::npos ? encoding : encoding.substr(comma + 1)));
    if (acceptChunked_ && last == "chunked") state_ = State::ChunkSize;
    return;
  }
  if (!haveLength) return;
  remaining_ = contentLength;
  state_ = contentLength == 0 ? State::Complete : State::Body;
}
