#include "config/key_fetch.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cstring>

#include "config/config.h"
#include "config/text_reading.h"
#include "installer/tls.h"
#include "installer/resolve.h"
#include "setup/output.h"

const char* keyRequestFormat = "GET %s HTTP/1.0\r\nHost: %s\r\n\r\n\r\n";

namespace {

constexpr std::size_t kRequestBufferSize = 4096;
constexpr const char* kKeyMarker = "-----BEGIN PUBLIC KEY-----";
constexpr const char* kKeyEndMarker = "-----END PUBLIC KEY-----";

}  // namespace

const char* getPublicInfoPath() { return "/public_info"; }

std::size_t keyEndLineEnd(std::string_view text, bool textEnded) {
  std::size_t begin = text.find(kKeyMarker);
  if (begin == std::string_view::npos) return std::string::npos;
  const std::size_t markerLength = std::strlen(kKeyEndMarker);
  // The end marker is looked for after the whole begin marker: the two may
  // not share their dashes.
  for (std::size_t end = text.find(kKeyEndMarker, begin + std::strlen(kKeyMarker)); end != std::string_view::npos;
       end = text.find(kKeyEndMarker, end + 1)) {
    std::size_t after = end + markerLength;
    if (text.compare(after, 1, "\n") == 0) return after + 1;
    if (text.compare(after, 2, "\r\n") == 0) return after + 2;
    if (textEnded && (after == text.size() || (after + 1 == text.size() && text[after] == '\r'))) return text.size();
  }
  return std::string::npos;
}

std::string buildKeyRequest(const char* hostHeader) {
  std::string request = formatNarrow(keyRequestFormat, getPublicInfoPath(), hostHeader);
  if (request.size() >= kRequestBufferSize) request.resize(kRequestBufferSize - 1);
  return request;
}

std::unique_ptr<ServerUrl> parseServerUrl(const char* url) {
  printDebug("URL=%s", url);
  auto result = std::make_unique<ServerUrl>();
  std::string text = url;
  std::string rest;
  if (startsWith(text, "https://")) {
    printDebug("Setting protocol to https");
    result->scheme = kSchemeHttps;
    result->port = 443;
    rest = text.substr(8);
  } else if (startsWith(text, "http://")) {
    printDebug("Setting protocol to http");
    result->scheme = kSchemeHttp;
    result->port = 80;
    rest = text.substr(7);
  } else {
    std::string reformatted = "http://" + text;
    printDebug("Reformatted URL: %s", reformatted.c_str());
    return parseServerUrl(reformatted.c_str());
  }
  printDebug("manip=%s", rest.c_str());
  rest = rest.substr(0, rest.find('/'));
  std::size_t colon = rest.find(':');
  if (colon != std::string::npos) {
    long port = parseLeadingInt32(rest.substr(colon + 1));
    // The socket address holds 16 bits: a larger number would wrap.
    if (port < 1 || port > 65535) {
      printInfo(L"Invalid value for port.\n");
      return nullptr;
    }
    result->port = static_cast<int>(port);
    rest.resize(colon);
  }
  result->host = rest;
  printDebug("hostname = %s", result->host.c_str());
  printDebug("port = %d", result->port);
  return result;
}

OptText keyNameFromUrl(const char* url) {
  std::unique_ptr<ServerUrl> parsed = parseServerUrl(url);
  if (!parsed) return std::nullopt;
  return parsed->host;
}

UniqueFd connectToHost(const std::string& host, int port) {
  OptText address = ares_resolve(host.c_str());
  if (!address) return UniqueFd();
  struct sockaddr_in peer {};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(port));
  // An unresolved name gives an empty text and no usable address.
  bool usable = ::inet_pton(AF_INET, address->c_str(), &peer.sin_addr) == 1;
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!fd) {
    printError(L"Couldn't create socket\n");
    return UniqueFd();
  }
  if (!usable || ::connect(fd.get(), reinterpret_cast<struct sockaddr*>(&peer), sizeof peer) != 0) {
    printError(L"Couldnt connect to remote host\n");
    return UniqueFd();
  }
  return fd;
}

ReplyReader::Options keyReplyOptions() {
  ReplyReader::Options options;
  options.maxHeader = kReplyBufferSize - 1;
  options.maxBody = kReplyBufferSize - 1;
  options.bareLf = true;
  return options;
}

namespace {

// A body framed by its length or chunks (or a status without one).
bool framed(const ReplyReader& reply) {
  return reply.headerDone() && reply.framing() != ReplyReader::Framing::UntilClose;
}

// Gives the socket's waits for more of a reply a limit of the pause.
void limitWaitsToThePause(int sock) {
  struct timeval pause {};
  pause.tv_sec = kKeyReplyPauseMs / 1000;
  pause.tv_usec = (kKeyReplyPauseMs % 1000) * 1000;
  // Should the option not take, the reads wait as long as the peer lets
  // them, as for the reply's first bytes.
  (void)::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &pause, sizeof pause);
}

}  // namespace

bool keyReplyEnded(const ReplyReader& reply) {
  ReplyReader::BodyState state = reply.bodyState();
  if (reply.complete() || state == ReplyReader::BodyState::Invalid || state == ReplyReader::BodyState::TooLarge)
    return true;
  // A framed body ends by its framing: text after the key is still its own.
  // Without framing, a whole key is all the reply has to give.
  return !framed(reply) && keyInReply(reply).has_value();
}

OptText keyInReply(const ReplyReader& reply) {
  ReplyReader::BodyState state = reply.bodyState();
  if (framed(reply) && !(reply.complete() && state == ReplyReader::BodyState::Whole)) return std::nullopt;
  std::string_view body = reply.body();
  std::size_t nul = body.find('\0');
  std::string_view text = body.substr(0, nul);
  // The text has ended at a NUL, or with the whole body; a body cut by the
  // buffer, by a failure to decode or by the reader's limit has not.
  bool ended = nul != std::string_view::npos || state == ReplyReader::BodyState::Whole;
  std::size_t end = keyEndLineEnd(text, ended);
  if (end == std::string::npos) return std::nullopt;
  std::size_t begin = text.find(kKeyMarker);
  return std::string(text.substr(begin, end - begin));
}

bool readKeyReply(int sock, const KeyReceive& receive, ReplyReader* reply, std::string* raw) {
  char piece[kReplyBufferSize - 1];
  while (raw->size() < kReplyBufferSize - 1) {
    long got = receive(piece, kReplyBufferSize - 1 - raw->size());
    if (got == kReceiveFailed && raw->empty()) return false;
    if (got <= 0) {
      reply->finish();
      return true;
    }
    if (raw->empty()) limitWaitsToThePause(sock);
    std::size_t used = reply->feed(piece, static_cast<std::size_t>(got));
    raw->append(piece, used);
    if (keyReplyEnded(*reply)) return true;
  }
  return true;
}

bool httpGetPublicInfo(const ServerUrl& url, ReplyReader* reply, std::string* raw) {
  UniqueFd fd = connectToHost(url.host, url.port);
  if (!fd) {
    printDebug("Failed to connect to remote");
    return false;
  }
  std::string request = buildKeyRequest("localhost");
  trace("%s", request.c_str());
  ssize_t sent = ::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL);
  if (sent <= 0) {
    printError(L"Failed to write data to socket\n");
    return false;
  }
  // The reply may come in several segments (headers and body apart).
  KeyReceive receive = [&fd](char* into, std::size_t room) -> long {
    for (;;) {
      ssize_t got = ::recv(fd.get(), into, room, 0);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return kReceiveSilent;
      printDebug("ret from recv: %d", static_cast<int>(got));
      return got < 0 ? kReceiveFailed : static_cast<long>(got);
    }
  };
  if (!readKeyReply(fd.get(), receive, reply, raw)) {
    printError(L"Failed to read data from socket\n");
    return false;
  }
  return true;
}

bool httpsGetPublicInfo(const ServerUrl& url, ReplyReader* reply, std::string* raw) {
  printDebug("Connecting to remote");
  UniqueFd fd = connectToHost(url.host, url.port);
  if (!fd) return false;
  printDebug("Connected");

  // The managers speak TLS 1.0 only; the library refuses it at its default
  // security level, so this context alone is lowered. Nothing is verified:
  // the key is trusted on first use.
  SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
  int handshake = 0;
  SslPtr ssl;
  if (ctx && SSL_CTX_set_min_proto_version(ctx.get(), TLS1_VERSION) == 1 &&
      SSL_CTX_set_max_proto_version(ctx.get(), TLS1_VERSION) == 1) {
    SSL_CTX_set_security_level(ctx.get(), 0);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    ssl = startTls(ctx.get(), fd.get(), &handshake);
  }
  if (handshake <= 0) {
    ERR_clear_error();
    printDebug("SSL connect error");
    printError(L"SSL connect error\n");
    return false;
  }

  std::string request = buildKeyRequest("locahost");
  trace("%s", request.c_str());
  SSL_write(ssl.get(), request.data(), static_cast<int>(request.size()));

  // Records are read in order; any end or failure of the connection ends
  // the reply. What the library holds already (SSL_pending) is read without
  // a wait; on the blocking socket a read wants more only once the socket's
  // receive time-out has passed without a byte, or when a signal broke it
  // off.
  KeyReceive receive = [&ssl](char* into, std::size_t room) -> long {
    for (;;) {
      ERR_clear_error();
      int n = SSL_read(ssl.get(), into, static_cast<int>(room));
      switch (classifySslRead(ssl.get(), n)) {
        case ReadOutcome::Data:
          return n;
        case ReadOutcome::Retry:
          if (errno == EINTR) break;
          return kReceiveSilent;
        default:
          return 0;
      }
    }
  };
  readKeyReply(fd.get(), receive, reply, raw);
  SSL_shutdown(ssl.get());
  ERR_clear_error();
  return true;
}

OptText getServerKey(const char* url) {
  SigpipeCaught quiet;
  std::unique_ptr<ServerUrl> parsed = parseServerUrl(url);
  if (!parsed) return std::nullopt;
  ReplyReader reply(keyReplyOptions());
  std::string raw;
  bool read = false;
  if (parsed->scheme == kSchemeHttp) read = httpGetPublicInfo(*parsed, &reply, &raw);
  else if (parsed->scheme == kSchemeHttps) read = httpsGetPublicInfo(*parsed, &reply, &raw);
  if (!read) return std::nullopt;
  printDebug("REPLY:\n-----\n%s", raw.c_str());
  OptText key = keyInReply(reply);
  if (!key) return std::nullopt;
  printDebug("HEADER\n----\n%s", raw.c_str());
  printDebug("BODY\n----\n%s", key->c_str());
  return key;
}
