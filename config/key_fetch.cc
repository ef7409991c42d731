#include "config/key_fetch.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "config/config.h"
#include "config/text_reading.h"
#include "installer/reply_framing.h"
#include "installer/resolve.h"
#include "setup/output.h"

const char* keyRequestFormat = "GET %s HTTP/1.0\r\nHost: %s\r\n\r\n\r\n";

namespace {

constexpr std::size_t kRequestBufferSize = 4096;
constexpr const char* kKeyMarker = "-----BEGIN PUBLIC KEY-----";
constexpr const char* kKeyEndMarker = "-----END PUBLIC KEY-----";

// SIGPIPE is ignored while a fetch runs, so a peer that closes early gives
// a write error instead of killing the tool without a word.
class IgnoreSigpipe {
 public:
  IgnoreSigpipe() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    restore_ = ::sigaction(SIGPIPE, &ignore, &saved_) == 0;
  }
  ~IgnoreSigpipe() {
    if (restore_) ::sigaction(SIGPIPE, &saved_, nullptr);
  }
  IgnoreSigpipe(const IgnoreSigpipe&) = delete;
  IgnoreSigpipe& operator=(const IgnoreSigpipe&) = delete;

 private:
  struct sigaction saved_ {};
  bool restore_ = false;
};

struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree {
  void operator()(SSL* ssl) const { SSL_free(ssl); }
};

}  // namespace

const char* getPublicInfoPath() { return "/public_info"; }

std::size_t keyEndLineEnd(const std::string& reply) {
  std::size_t begin = reply.find(kKeyMarker);
  if (begin == std::string::npos) return std::string::npos;
  const std::size_t markerLength = std::strlen(kKeyEndMarker);
  for (std::size_t end = reply.find(kKeyEndMarker, begin); end != std::string::npos;
       end = reply.find(kKeyEndMarker, end + 1)) {
    std::size_t after = end + markerLength;
    if (reply.compare(after, 1, "\n") == 0) return after + 1;
    if (reply.compare(after, 2, "\r\n") == 0) return after + 2;
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

OptText httpGetPublicInfo(const ServerUrl& url) {
  UniqueFd fd = connectToHost(url.host, url.port);
  if (!fd) {
    printDebug("Failed to connect to remote");
    return std::nullopt;
  }
  std::string request = buildKeyRequest("localhost");
  trace("%s", request.c_str());
  ssize_t sent = ::send(fd.get(), request.data(), request.size(), MSG_NOSIGNAL);
  if (sent <= 0) {
    printError(L"Failed to write data to socket\n");
    return std::nullopt;
  }
  // The reply may come in several segments (headers and body apart): it is
  // read until the peer closes, the buffer is full, the reply's
  // Content-Length is met or the key's end line is in, whichever comes
  // first; a server may keep the connection open after its reply. A
  // failure once part of the reply is in ends the reply there, as the
  // peer's close would.
  std::string reply;
  ReplyFraming framing(false);
  char piece[kReplyBufferSize - 1];
  while (reply.size() < kReplyBufferSize - 1) {
    ssize_t got = ::recv(fd.get(), piece, kReplyBufferSize - 1 - reply.size(), 0);
    if (got < 0 && errno == EINTR) continue;
    printDebug("ret from recv: %d", static_cast<int>(got));
    if (got < 0 && reply.empty()) {
      printError(L"Failed to read data from socket\n");
      return std::nullopt;
    }
    if (got <= 0) break;
    reply.append(piece, static_cast<std::size_t>(got));
    framing.feed(piece, static_cast<std::size_t>(got));
    if (framing.complete() || keyEndLineEnd(reply) != std::string::npos) break;
  }
  return reply;
}

OptText httpsGetPublicInfo(const ServerUrl& url) {
  printDebug("Connecting to remote");
  UniqueFd fd = connectToHost(url.host, url.port);
  if (!fd) return std::nullopt;
  printDebug("Connected");

  // The managers speak TLS 1.0 only; the library refuses it at its default
  // security level, so this context alone is lowered. Nothing is verified:
  // the key is trusted on first use.
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx(SSL_CTX_new(TLS_client_method()));
  if (!ctx || SSL_CTX_set_min_proto_version(ctx.get(), TLS1_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx.get(), TLS1_VERSION) != 1) {
    printDebug("SSL connect error");
    printError(L"SSL connect error\n");
    return std::nullopt;
  }
  SSL_CTX_set_security_level(ctx.get(), 0);
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);

  std::unique_ptr<SSL, SslFree> ssl(SSL_new(ctx.get()));
  BIO* bio = ssl ? BIO_new_socket(fd.get(), BIO_NOCLOSE) : nullptr;
  if (bio != nullptr) SSL_set_bio(ssl.get(), bio, bio);
  if (bio == nullptr || SSL_connect(ssl.get()) <= 0) {
    ERR_clear_error();
    printDebug("SSL connect error");
    printError(L"SSL connect error\n");
    return std::nullopt;
  }

  std::string request = buildKeyRequest("locahost");
  trace("%s", request.c_str());
  SSL_write(ssl.get(), request.data(), static_cast<int>(request.size()));

  // Records are appended in order until the peer ends or the buffer is
  // full; whatever does not fit is not read.
  std::string reply(kReplyBufferSize - 1, '\0');
  std::size_t length = 0;
  while (length < reply.size()) {
    int n = SSL_read(ssl.get(), reply.data() + length, static_cast<int>(reply.size() - length));
    int error = SSL_get_error(ssl.get(), n);
    if (n > 0) length += static_cast<std::size_t>(n);
    if (error != SSL_ERROR_NONE && error != SSL_ERROR_WANT_READ) break;
  }
  reply.resize(length);
  SSL_shutdown(ssl.get());
  ERR_clear_error();
  return reply;
}

OptText getServerKey(const char* url) {
  IgnoreSigpipe quiet;
  std::unique_ptr<ServerUrl> parsed = parseServerUrl(url);
  if (!parsed) return std::nullopt;
  OptText reply;
  if (parsed->scheme == kSchemeHttp) reply = httpGetPublicInfo(*parsed);
  else if (parsed->scheme == kSchemeHttps) reply = httpsGetPublicInfo(*parsed);
  if (!reply) return std::nullopt;
  // The reply is text: a NUL ends it, and no key is looked for past it.
  reply->resize(std::strlen(reply->c_str()));
  printDebug("REPLY:\n-----\n%s", reply->c_str());
  std::size_t at = reply->find(kKeyMarker);
  if (at == std::string::npos) return std::nullopt;
  std::string key = reply->substr(at);
  printDebug("HEADER\n----\n%s", reply->c_str());
  printDebug("BODY\n----\n%s", key.c_str());
  return key;
}
