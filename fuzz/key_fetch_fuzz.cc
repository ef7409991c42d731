// The key fetch under arbitrary input: a key URL, and the reply a manager
// sends to the real fetch over loopback.
//
// Input: the URL text up to the first newline, then the reply. The URL is
// parsed (parseServerUrl, keyNameFromUrl); the reply is served by a server
// thread on 127.0.0.1, in plain text, or over TLS 1.0 in records of at most
// 1024 bytes when the URL begins with "https://", and the key is fetched
// from there with getServerKey.
//
// Besides the sanitizers it checks that a parsed URL holds a host without
// "/" or ":" and a port the socket address can hold, that the request is
// the fixed one of its transport, and that a key is whole and the same
// however the reply's pieces came: it begins with the marker and is the
// decoded body's text from its first marker through the first END line
// after it (the marker and its line end, or the marker where the text has
// ended), judged against the reply reader over all of the reply the buffer
// holds; a body framed by its length or chunks gives a key only read whole,
// and a reply that holds a whole key gives it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "config/config.h"
#include "config/key_fetch.h"
#include "installer/reply_reader.h"
#include "setup/unique_fd.h"

namespace {

constexpr const char* kMarker = "-----BEGIN PUBLIC KEY-----";
constexpr const char* kEndMarker = "-----END PUBLIC KEY-----";
constexpr std::size_t kTlsRecord = 1024;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "key_fetch_fuzz: %s\n", what);
  std::abort();
}

void check(bool holds, const char* what) {
  if (!holds) fail(what);
}

// What the server thread sends next, and what it received; one exchange at
// a time, the fetch waits for the server to have closed its end.
struct Exchange {
  std::mutex mutex;
  std::condition_variable done;
  std::string reply;
  bool tls = false;
  std::string request;
  unsigned long served = 0;
};

Exchange exchange;
int listener = -1;
int port = 0;
SSL_CTX* serverContext = nullptr;

// Reads the request: the fetch sends its GET whole and then waits.
std::string readRequest(int fd, SSL* ssl) {
  std::string request;
  char chunk[512];
  while (request.size() < 4096 && request.find("\r\n\r\n\r\n") == std::string::npos) {
    int n = ssl ? SSL_read(ssl, chunk, sizeof chunk) : static_cast<int>(::recv(fd, chunk, sizeof chunk, 0));
    if (n <= 0) break;
    request.append(chunk, static_cast<std::size_t>(n));
  }
  return request;
}

// Until the fetch closes: no unread byte resets the connection.
void drain(int fd) {
  char chunk[512];
  while (::recv(fd, chunk, sizeof chunk, 0) > 0) {
  }
}

void serveOne(int fd) {
  std::string reply;
  bool tls;
  {
    std::lock_guard<std::mutex> lock(exchange.mutex);
    reply = exchange.reply;
    tls = exchange.tls;
  }
  std::string request;
  if (tls) {
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(serverContext), SSL_free);
    if (ssl && SSL_set_fd(ssl.get(), fd) == 1 && SSL_accept(ssl.get()) == 1) {
      request = readRequest(fd, ssl.get());
      // Several records, so that the fetch has to join them.
      for (std::size_t at = 0; at < reply.size(); at += kTlsRecord) {
        std::size_t n = std::min(kTlsRecord, reply.size() - at);
        if (SSL_write(ssl.get(), reply.data() + at, static_cast<int>(n)) <= 0) break;
      }
      SSL_shutdown(ssl.get());
    }
  } else {
    request = readRequest(fd, nullptr);
    std::size_t sent = 0;
    while (sent < reply.size()) {
      ssize_t n = ::send(fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
  }
  ::shutdown(fd, SHUT_WR);
  drain(fd);
  std::lock_guard<std::mutex> lock(exchange.mutex);
  exchange.request = request;
  ++exchange.served;
  exchange.done.notify_all();
}

void serve() {
  // No signal comes here: a write to a fetch that has stopped reading gives
  // EPIPE, and libFuzzer's time-out alarm, whose handler does not restart
  // calls, goes to the fetching thread. The fetch itself keeps the process's
  // own SIGPIPE disposition.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  for (;;) {
    UniqueFd connection(::accept(listener, nullptr, nullptr));
    if (!connection) continue;
    serveOne(connection.get());
  }
}

// A self-signed P-256 certificate made at start: its handshakes cost far
// less than an RSA key's, and the fetch checks no certificate anyway.
void useNewCertificate(SSL_CTX* context) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  if (!key || !cert) fail("no key or certificate");
  X509_NAME* name = X509_get_subject_name(cert.get());
  bool made = X509_set_version(cert.get(), 2) == 1 && ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1) == 1 &&
              X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) != nullptr &&
              X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400L * 365) != nullptr &&
              X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                         reinterpret_cast<const unsigned char*>("manager"), -1, -1, 0) == 1 &&
              X509_set_issuer_name(cert.get(), name) == 1 && X509_set_pubkey(cert.get(), key.get()) == 1 &&
              X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
  if (!made || SSL_CTX_use_certificate(context, cert.get()) != 1 || SSL_CTX_use_PrivateKey(context, key.get()) != 1)
    fail("no TLS server certificate");
}

void startServer() {
  listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener, 4) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    fail("no loopback listener");
  port = ntohs(address.sin_port);

  // The managers speak TLS 1.0 only.
  serverContext = SSL_CTX_new(TLS_server_method());
  if (!serverContext) fail("no TLS server context");
  SSL_CTX_set_security_level(serverContext, 0);
  SSL_CTX_set_min_proto_version(serverContext, TLS1_VERSION);
  SSL_CTX_set_max_proto_version(serverContext, TLS1_VERSION);
  if (SSL_CTX_set_cipher_list(serverContext, "DEFAULT:@SECLEVEL=0") != 1) fail("no TLS cipher list");
  useNewCertificate(serverContext);
  std::thread(serve).detach();
}

void checkUrl(const std::string& url) {
  std::unique_ptr<ServerUrl> parsed = parseServerUrl(url.c_str());
  OptText name = keyNameFromUrl(url.c_str());
  if (!parsed) {
    check(!name, "a key name from a URL that does not parse");
    return;
  }
  check(parsed->scheme == kSchemeHttp || parsed->scheme == kSchemeHttps, "a parsed URL without its scheme");
  check(parsed->port >= 1 && parsed->port <= 65535, "a port the socket address cannot hold");
  check(parsed->host.find_first_of("/:") == std::string::npos, "a host holding a path or a port");
  check(parsed->host.size() <= url.size(), "a host longer than the URL");
  check(name && *name == parsed->host, "the key name is not the URL's host");
}

void checkFetch(const std::string& reply, bool tls) {
  unsigned long before;
  {
    std::lock_guard<std::mutex> lock(exchange.mutex);
    exchange.reply = reply;
    exchange.tls = tls;
    before = exchange.served;
  }
  std::string url = std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port) + "/";
  OptText key = getServerKey(url.c_str());

  std::string request;
  {
    std::unique_lock<std::mutex> lock(exchange.mutex);
    if (!exchange.done.wait_for(lock, std::chrono::seconds(5), [&] { return exchange.served > before; }))
      fail("the fetch never reached the loopback server");
    request = exchange.request;
  }
  // Nothing arrives when the alarm broke off the connect or the handshake.
  check(request.empty() || request == buildKeyRequest(tls ? "locahost" : "localhost"),
        "the request is not the fixed one");

  // The reader over all the reply the buffer holds, as the fetch reads it:
  // the close is seen only when the reply ends before the buffer is full.
  ReplyReader whole(keyReplyOptions());
  std::string raw = reply.substr(0, kReplyBufferSize - 1);
  whole.feed(raw.data(), raw.size());
  if (reply.size() < kReplyBufferSize - 1) whole.finish();
  const std::string& body = whole.body();
  std::size_t nul = body.find('\0');
  std::string text = body.substr(0, nul);
  bool bodyWhole = whole.bodyState() == ReplyReader::BodyState::Whole;
  bool textEnded = nul != std::string::npos || bodyWhole;
  bool framed = whole.headerDone() && whole.framing() != ReplyReader::Framing::UntilClose;
  bool framedWhole = framed && whole.complete() && bodyWhole;
  std::size_t at = text.find(kMarker);
  // The first end marker after the begin marker that its line end follows.
  std::size_t endLine = std::string::npos;
  if (at != std::string::npos) {
    for (std::size_t end = text.find(kEndMarker, at + std::strlen(kMarker)); end != std::string::npos;
         end = text.find(kEndMarker, end + 1)) {
      std::size_t after = end + std::strlen(kEndMarker);
      if (text.compare(after, 1, "\n") == 0 || text.compare(after, 2, "\r\n") == 0) {
        endLine = end;
        break;
      }
    }
  }
  if (!key) {
    // A whole key with its line end, in a body that may give one, is found
    // however the pieces came.
    check(request.empty() || endLine == std::string::npos || (framed && !framedWhole),
          "no key from a reply holding a whole one");
    return;
  }
  check(!framed || framedWhole, "a key from a framed body not read whole");
  check(at != std::string::npos, "a key from a reply whose body holds no marker");
  check(text.compare(at, key->size(), *key) == 0, "a key that is not the body's text from its first marker");
  std::size_t keyEnd = at + key->size();
  if (endLine != std::string::npos && endLine < keyEnd) {
    // It ends with the first END line's line end.
    std::size_t after = endLine + std::strlen(kEndMarker);
    std::size_t lineEnd = after + (text.compare(after, 1, "\n") == 0 ? 1 : 2);
    check(keyEnd == lineEnd, "a key that does not end with its first END line");
  } else {
    // Without a line end, only where the text has ended right after the
    // end marker (and at most a CR).
    check(textEnded && keyEnd == text.size(), "a key cut before its END line");
    std::string tail = text.substr(0, keyEnd);
    if (!tail.empty() && tail.back() == '\r') tail.pop_back();
    std::size_t endLength = std::strlen(kEndMarker);
    check(tail.size() >= at + std::strlen(kMarker) + endLength &&
              tail.compare(tail.size() - endLength, endLength, kEndMarker) == 0,
          "a key that does not end with the end marker");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  silentMode = 1;
  startServer();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  std::size_t newline = input.find('\n');
  std::string url = input.substr(0, newline);
  std::string reply = newline == std::string::npos ? std::string() : input.substr(newline + 1);
  checkUrl(url);
  checkFetch(reply, url.compare(0, 8, "https://") == 0);
  return 0;
}
