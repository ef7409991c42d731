#include "installer/reply_reader.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>
#include <string_view>

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

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The characters a header name may hold (a token); a blank, a control
// character or a separator is none of them.
bool isTokenChar(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return u > 0x20 && u < 0x7f && std::strchr("\"(),/:;<=>?@[\\]{}", u) == nullptr;
}

std::string trimmed(const std::string& text) {
  std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  std::size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// The comma-separated items of a header value, lower-cased, empty ones left out.
std::vector<std::string> listItems(const std::string& value) {
  std::vector<std::string> items;
  std::size_t start = 0;
  for (;;) {
    std::size_t comma = value.find(',', start);
    std::string item = lowerCase(trimmed(value.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
    if (!item.empty()) items.push_back(item);
    if (comma == std::string::npos) return items;
    start = comma + 1;
  }
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

// "HTTP/" version, one blank, three digits, then the end or a blank.
int parseStatusLine(const std::string& line) {
  std::size_t blank = line.find(' ');
  if (blank == std::string::npos || blank == kHttpPrefixLength) return 0;
  std::size_t code = blank + 1;
  if (line.size() < code + 3 || (line.size() > code + 3 && line[code + 3] != ' ')) return 0;
  int status = 0;
  for (std::size_t i = code; i < code + 3; ++i) {
    if (line[i] < '0' || line[i] > '9') return 0;
    status = status * 10 + (line[i] - '0');
  }
  return status < 100 ? 0 : status;
}

}  // namespace

HeaderEnd findHeaderEnd(std::string_view text, std::size_t from, bool bareLf) {
  constexpr std::size_t npos = std::string_view::npos;
  if (!bareLf) {
    std::size_t end = text.find("\r\n\r\n", from);
    return {end, end == npos ? npos : end + 4};
  }
  // A line ends with LF, a CR before it belonging to it: the empty line is
  // an LF (after an optional CR) right after the previous line's LF.
  for (std::size_t lf = text.find('\n', from); lf != npos; lf = text.find('\n', lf + 1)) {
    std::size_t next = lf + 1;
    std::size_t blockEnd = lf > 0 && text[lf - 1] == '\r' ? lf - 1 : lf;
    if (text.compare(next, 1, "\n") == 0) return {blockEnd, next + 1};
    if (text.compare(next, 2, "\r\n") == 0) return {blockEnd, next + 2};
  }
  return {npos, npos};
}

// Inflates one gzip or deflate coding as its bytes come. A deflate body is
// zlib data as HTTP names it, or raw deflate data as some servers send it:
// its first two bytes tell which.
class Inflater {
 public:
  explicit Inflater(bool gzip) : gzip_(gzip) {}
  ~Inflater() {
    if (ready_) inflateEnd(&stream_);
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Gives the decoded bytes to `out`, which returns false once it wants no
  // more: the rest is then not inflated. False when the data does not parse.
  template <typename Out>
  bool push(const char* data, std::size_t length, Out out) {
    fed_ = fed_ || length > 0;
    if (!ready_) {
      pending_.append(data, length);
      if (!gzip_ && pending_.size() < 2) return true;
      if (!start()) return false;
      std::string first;
      first.swap(pending_);
      return inflateSome(first.data(), first.size(), out);
    }
    return inflateSome(data, length, out);
  }
  // The coded data is whole: nothing was sent (an empty body), or the
  // coding's own end was reached.
  bool whole() const { return !fed_ || ended_; }

 private:
  bool start() {
    int windowBits = 15 + 16;  // gzip only
    if (!gzip_) {
      auto cmf = static_cast<unsigned char>(pending_[0]);
      auto flg = static_cast<unsigned char>(pending_[1]);
      bool zlibHeader = (cmf & 0x0f) == 8 && ((cmf << 8) | flg) % 31 == 0;
      windowBits = zlibHeader ? 15 : -15;
    }
    ready_ = inflateInit2(&stream_, windowBits) == Z_OK;
    return ready_;
  }

  template <typename Out>
  bool inflateSome(const char* data, std::size_t length, Out out) {
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    stream_.avail_in = static_cast<uInt>(length);
    unsigned char piece[16384];
    for (;;) {
      if (ended_ && stream_.avail_in > 0) {
        // A gzip body may be several members one after the other; nothing
        // may follow a deflate stream.
        if (!gzip_ || inflateReset(&stream_) != Z_OK) return false;
        ended_ = false;
      }
      stream_.next_out = piece;
      stream_.avail_out = sizeof piece;
      int result = inflate(&stream_, Z_NO_FLUSH);
      std::size_t produced = sizeof piece - stream_.avail_out;
      if (produced > 0 && !out(reinterpret_cast<const char*>(piece), produced)) return true;
      if (result == Z_STREAM_END) {
        ended_ = true;
      } else if (result == Z_BUF_ERROR) {
        return true;  // no progress possible until more comes
      } else if (result != Z_OK) {
        return false;
      }
      if (stream_.avail_in == 0 && stream_.avail_out > 0) return true;
    }
  }

  bool gzip_;
  bool ready_ = false;
  bool ended_ = false;
  bool fed_ = false;
  std::string pending_;
  z_stream stream_{};
};

ReplyReader::ReplyReader() : ReplyReader(Options()) {}
ReplyReader::ReplyReader(Options options) : options_(options) {}
ReplyReader::~ReplyReader() = default;
ReplyReader::ReplyReader(ReplyReader&&) noexcept = default;
ReplyReader& ReplyReader::operator=(ReplyReader&&) noexcept = default;

const std::string* ReplyReader::header(const std::string& name) const {
  std::string wanted = lowerCase(name);
  for (const ReplyHeader& h : headers_)
    if (lowerCase(h.name) == wanted) return &h.value;
  return nullptr;
}

ReplyReader::BodyState ReplyReader::bodyState() const {
  if (invalid_ || state_ == State::Broken) return BodyState::Invalid;
  if (tooLarge_) return BodyState::TooLarge;
  bool ended = complete() || (finished_ && (state_ == State::ToClose || state_ == State::Text));
  if (!ended) return BodyState::Cut;
  if (inflater_ && !inflater_->whole()) return BodyState::Invalid;
  return BodyState::Whole;
}

std::size_t ReplyReader::feed(const char* data, std::size_t length) {
  std::size_t at = 0;
  while (at < length) {
    switch (state_) {
      case State::Complete:
        return at;
      case State::Text:
        noteBlankLine(data + at, length - at);
        emit(data + at, length - at);
        return length;
      case State::ToClose:
        emit(data + at, length - at);
        return length;
      case State::Broken:
        return length;
      case State::Head:
        at += feedHead(data + at, length - at);
        break;
      case State::Length:
      case State::ChunkData: {
        std::uint64_t take = std::min<std::uint64_t>(remaining_, length - at);
        emit(data + at, static_cast<std::size_t>(take));
        remaining_ -= take;
        at += static_cast<std::size_t>(take);
        if (remaining_ == 0) state_ = state_ == State::Length ? State::Complete : State::ChunkDataEnd;
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

void ReplyReader::finish() {
  finished_ = true;
  if (state_ == State::Head) readAsText(nullptr, 0);
}

std::size_t ReplyReader::feedHead(const char* data, std::size_t length) {
  constexpr std::size_t npos = std::string::npos;
  const std::size_t before = held_.size();
  // Every header block begins "HTTP/"; anything else is a text without one.
  if (before < kHttpPrefixLength) {
    std::size_t n = std::min(length, kHttpPrefixLength - before);
    if (std::memcmp(data, kHttpPrefix + before, n) != 0) {
      readAsText(data, length);
      return length;
    }
  }
  // The block's end is looked for where the held bytes meet the new ones,
  // then in the new ones alone, and only the block's own bytes are held:
  // a piece holding many blocks (interim replies) is never copied whole for
  // each of them. Positions are counted from the block's start.
  std::string_view in(data, length);
  std::size_t blockEnd = npos, bodyStart = npos;
  if (before > 0) {
    std::size_t back = std::min<std::size_t>(before, 3);
    std::string edge = held_.substr(before - back);
    edge.append(in.substr(0, 3));
    HeaderEnd end = findHeaderEnd(edge, 0, options_.bareLf);
    if (end.blockEnd != npos) {
      blockEnd = before - back + end.blockEnd;
      bodyStart = before - back + end.bodyStart;
    }
  }
  if (blockEnd == npos) {
    HeaderEnd end = findHeaderEnd(in, 0, options_.bareLf);
    if (end.blockEnd != npos) {
      blockEnd = before + end.blockEnd;
      bodyStart = before + end.bodyStart;
    }
  }
  // Too long a block, wherever the pieces were cut: once the end can no
  // longer come within the limit, or when it came past it.
  if (blockEnd == npos ? before + length >= options_.maxHeader + 4 : blockEnd > options_.maxHeader) {
    readAsText(data, length);
    return length;
  }
  if (blockEnd == npos) {
    held_.append(data, length);
    return length;
  }
  if (blockEnd <= before) {
    held_.resize(blockEnd);
  } else {
    held_.append(data, blockEnd - before);
  }
  std::string block;
  block.swap(held_);
  startReply(block);
  return bodyStart - before;
}

void ReplyReader::readAsText(const char* data, std::size_t length) {
  state_ = State::Text;
  framing_ = Framing::UntilClose;
  std::string text;
  text.swap(held_);
  noteBlankLine(text.data(), text.size());
  emit(text.data(), text.size());
  noteBlankLine(data, length);
  emit(data, length);
}

void ReplyReader::noteBlankLine(const char* data, std::size_t length) {
  static const char kBlankLine[] = "\r\n\r\n";
  if (blankLineSeen_ || length == 0) return;
  std::string edge = tail_;
  edge.append(data, std::min<std::size_t>(length, 3));
  if (edge.find(kBlankLine) != std::string::npos ||
      std::search(data, data + length, kBlankLine, kBlankLine + 4) != data + length) {
    blankLineSeen_ = true;
    return;
  }
  tail_.append(data + (length > 3 ? length - 3 : 0), std::min<std::size_t>(length, 3));
  if (tail_.size() > 3) tail_.erase(0, tail_.size() - 3);
}

void ReplyReader::startReply(const std::string& block) {
  if (firstBlock_.empty()) firstBlock_ = block;
  std::size_t lf = block.find('\n');
  std::string statusLine = block.substr(0, lf);
  if (!statusLine.empty() && statusLine.back() == '\r') statusLine.pop_back();
  int status = parseStatusLine(statusLine);
  // An interim reply: the real one follows, and nothing of this one counts.
  if (status >= 100 && status < 200) return;

  std::vector<ReplyHeader> headers;
  std::size_t start = lf == std::string::npos ? block.size() + 1 : lf + 1;
  while (start <= block.size()) {
    lf = block.find('\n', start);
    std::string line = block.substr(start, lf == std::string::npos ? std::string::npos : lf - start);
    start = lf == std::string::npos ? block.size() + 1 : lf + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && isBlank(line[0])) {
      // A folded line continues the header before it; one before any header
      // belongs to none.
      std::string more = trimmed(line);
      if (!headers.empty() && !more.empty())
        headers.back().value += (headers.back().value.empty() ? "" : " ") + more;
      continue;
    }
    std::size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) continue;
    std::string name = line.substr(0, colon);
    // "Transfer-Encoding : chunked" (or a control character before the
    // colon) is read as a header by some and as none by others: a reply
    // that can be read two ways has no framing to trust.
    if (!std::all_of(name.begin(), name.end(), isTokenChar)) {
      if (headerFault_ == HeaderFault::None) headerFault_ = HeaderFault::BadName;
      continue;
    }
    headers.push_back({name, trimmed(line.substr(colon + 1))});
  }
  headerDone_ = true;
  status_ = status;
  headerBlock_ = block;
  headers_ = std::move(headers);
  frameBody();
}

void ReplyReader::frameBody() {
  std::vector<std::string> codings;
  bool haveTransfer = false, haveLength = false;
  std::uint64_t length = 0;
  for (const ReplyHeader& h : headers_) {
    std::string name = lowerCase(h.name);
    if (name == "transfer-encoding") {
      haveTransfer = true;
      for (std::string& item : listItems(h.value)) codings.push_back(item);
    } else if (name == "content-length") {
      // One number, however often it is given: two that differ, or one
      // that is not digits alone, are two framings.
      if (!allDigits(h.value) || h.value.size() > kMaxLengthDigits ||
          (haveLength && std::stoull(h.value) != length)) {
        if (headerFault_ == HeaderFault::None) headerFault_ = HeaderFault::BadLength;
        continue;
      }
      length = std::stoull(h.value);
      haveLength = true;
    }
  }
  if (haveLength && headerFault_ != HeaderFault::BadLength) contentLength_ = length;
  if (headerFault_ != HeaderFault::None) {
    framing_ = Framing::Invalid;
    state_ = State::Broken;
    return;
  }
  state_ = State::ToClose;
  framing_ = Framing::UntilClose;
  if (status_ == 204 || status_ == 304) {
    framing_ = Framing::NoBody;
    state_ = State::Complete;
    return;
  }
  if (status_ != 0 && haveTransfer && !codings.empty() && codings.back() == "chunked") {
    codings.pop_back();
    framing_ = Framing::Chunked;
    state_ = State::ChunkSize;
  } else if (status_ != 0 && !haveTransfer && haveLength) {
    framing_ = Framing::Length;
    remaining_ = length;
    state_ = length == 0 ? State::Complete : State::Length;
  }
  for (const ReplyHeader& h : headers_)
    if (lowerCase(h.name) == "content-encoding")
      for (std::string& item : listItems(h.value)) codings.push_back(item);
  codings.erase(std::remove(codings.begin(), codings.end(), "identity"), codings.end());
  if (codings.empty()) return;
  const std::string& coding = codings[0];
  if (codings.size() == 1 && (coding == "gzip" || coding == "x-gzip")) {
    coding_ = Coding::Gzip;
  } else if (codings.size() == 1 && coding == "deflate") {
    coding_ = Coding::Deflate;
  } else {
    coding_ = Coding::Unknown;
    invalid_ = true;
    return;
  }
  if (options_.keepBody) inflater_ = std::make_unique<Inflater>(coding_ == Coding::Gzip);
}

bool ReplyReader::takeLine(const char* data, std::size_t length, std::size_t* used) {
  const void* lf = std::memchr(data, '\n', length);
  std::size_t upTo = lf == nullptr ? length : static_cast<std::size_t>(static_cast<const char*>(lf) - data);
  held_.append(data, upTo);
  *used = lf == nullptr ? length : upTo + 1;
  if (held_.size() > options_.maxHeader) {
    held_.clear();
    broken();
    return false;
  }
  return lf != nullptr;
}

void ReplyReader::lineDone() {
  std::string line;
  line.swap(held_);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  switch (state_) {
    case State::ChunkSize: {
      // The size in hex, then nothing, blanks or a chunk extension.
      std::size_t digits = 0;
      std::uint64_t size = 0;
      while (digits < line.size() && digits <= kMaxChunkSizeDigits && hexValue(line[digits]) >= 0) {
        size = size * 16 + static_cast<std::uint64_t>(hexValue(line[digits]));
        ++digits;
      }
      bool tailOk = digits == line.size() || line[digits] == ';' || isBlank(line[digits]);
      if (digits == 0 || digits > kMaxChunkSizeDigits || !tailOk) {
        broken();
      } else if (size == 0) {
        state_ = State::Trailer;
      } else {
        remaining_ = size;
        state_ = State::ChunkData;
      }
      break;
    }
    case State::ChunkDataEnd:
      if (line.empty()) state_ = State::ChunkSize;
      else broken();
      break;
    case State::Trailer:
      if (line.empty()) state_ = State::Complete;
      break;
    default:
      break;
  }
}

// Chunks that do not parse: the body can't be read, and the reply has no
// end of its own any more.
void ReplyReader::broken() { state_ = State::Broken; }

void ReplyReader::emit(const char* data, std::size_t length) {
  if (!options_.keepBody || invalid_ || tooLarge_ || length == 0) return;
  if (coding_ == Coding::Identity) {
    keep(data, length);
  } else if (!inflater_->push(data, length, [this](const char* out, std::size_t n) {
               keep(out, n);
               return !tooLarge_;
             })) {
    invalid_ = true;
  }
}

void ReplyReader::keep(const char* data, std::size_t length) {
  if (tooLarge_) return;
  std::size_t room = options_.maxBody - body_.size();
  bool fits = length <= room;
  try {
    body_.append(data, fits ? length : room);
  } catch (const std::bad_alloc&) {
    // No memory for the body: it is dropped, as one past the bound is.
    std::string().swap(body_);
    fits = false;
  }
  if (!fits) tooLarge_ = true;
}
