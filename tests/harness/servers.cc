#include "tests/harness/servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "setup/unique_fd.h"
#include "tests/harness/deadline.h"

namespace harness {

namespace {

constexpr int kDrainMs = 3000;  // how long a closed connection waits for the peer to close

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error("server: " + what + ": " + std::strerror(errno));
}

// Waits until `fd` is ready for `events`; false on time-out or stop.
bool waitFd(int fd, short events, int stopFd, Clock::time_point deadline) {
  for (;;) {
    pollfd p[2] = {{fd, events, 0}, {stopFd, POLLIN, 0}};
    int n = ::poll(p, 2, msLeft(deadline));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || p[1].revents) return false;
    return true;
  }
}

std::string sslErrors() {
  std::string out;
  unsigned long e;
  while ((e = ERR_get_error()) != 0) {
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    if (!out.empty()) out += "; ";
    out += buf;
  }
  return out;
}

// One connection, plain or TLS, on a non-blocking socket.
struct Stream {
  int fd;
  int stopFd;
  SSL* ssl = nullptr;

  // Waits for what OpenSSL asks for; false on time-out, stop or failure.
  bool retry(int rc, Clock::time_point deadline) {
    int err = SSL_get_error(ssl, rc);
    if (err == SSL_ERROR_WANT_READ) return waitFd(fd, POLLIN, stopFd, deadline);
    if (err == SSL_ERROR_WANT_WRITE) return waitFd(fd, POLLOUT, stopFd, deadline);
    return false;
  }

  // >0 bytes, 0 end of stream, -1 time-out, stop or error.
  ssize_t read(char* buf, std::size_t size, Clock::time_point deadline) {
    for (;;) {
      if (ssl) {
        int n = SSL_read(ssl, buf, static_cast<int>(size));
        if (n > 0) return n;
        int err = SSL_get_error(ssl, n);
        if (err == SSL_ERROR_ZERO_RETURN) return 0;
        if (err == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) return 0;  // closed without close_notify
        if (err == SSL_ERROR_SSL) {
          ERR_clear_error();
          return 0;  // OpenSSL 3 reports an unclean end as an error
        }
        if (!retry(n, deadline)) return -1;
      } else {
        ssize_t n = ::read(fd, buf, size);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return -1;
        if (!waitFd(fd, POLLIN, stopFd, deadline)) return -1;
      }
    }
  }

  bool writeAll(const std::string& data, Clock::time_point deadline) {
    std::size_t done = 0;
    while (done < data.size()) {
      if (ssl) {
        int n = SSL_write(ssl, data.data() + done, static_cast<int>(data.size() - done));
        if (n > 0) {
          done += static_cast<std::size_t>(n);
        } else if (!retry(n, deadline)) {
          return false;
        }
      } else {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
          done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
          continue;
        } else if (n < 0 && errno == EAGAIN) {
          if (!waitFd(fd, POLLOUT, stopFd, deadline)) return false;
        } else {
          return false;
        }
      }
    }
    return true;
  }
};

// Reads until `complete` holds, the peer half-closes, or the time-out.
std::string readRequest(Stream& s, const RequestComplete& complete, int timeoutMs) {
  std::string got;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!complete(got)) {
    char buf[16384];
    ssize_t n = s.read(buf, sizeof buf, deadline);
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  return got;
}

// After the reply: half-close, then read until the peer closes, so unread
// bytes never turn the close into a reset that could cost the peer its reply.
std::string drain(int fd, int stopFd) {
  ::shutdown(fd, SHUT_WR);
  std::string got;
  auto deadline = Clock::now() + std::chrono::milliseconds(kDrainMs);
  for (;;) {
    char buf[16384];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      got.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) break;
    if (errno == EINTR) continue;
    if (errno != EAGAIN || !waitFd(fd, POLLIN, stopFd, deadline)) break;
  }
  return got;
}

std::size_t contentLength(const std::string& head) {
  std::string lower;
  for (char c : head) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  auto at = lower.find("\r\ncontent-length:");
  if (at == std::string::npos) return 0;
  return static_cast<std::size_t>(std::strtoull(lower.c_str() + at + 17, nullptr, 10));
}

std::string pemOf(X509* cert) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (!bio) return std::string();
  PEM_write_bio_X509(bio, cert);
  char* data = nullptr;
  long len = BIO_get_mem_data(bio, &data);
  std::string out(data ? data : "", len > 0 ? static_cast<std::size_t>(len) : 0);
  BIO_free(bio);
  return out;
}

void sleepMs(int ms, int stopFd) {
  pollfd p{stopFd, POLLIN, 0};
  ::poll(&p, 1, ms);
}

// Writes the reply's bytes, then each later piece after its pause; what
// was written.
std::string writeReply(Stream& s, const Reply& reply, Clock::time_point deadline) {
  std::string written;
  if (!s.writeAll(reply.bytes, deadline)) return written;
  written = reply.bytes;
  for (const std::string& piece : reply.later) {
    sleepMs(reply.pauseMs, s.stopFd);
    if (!s.writeAll(piece, deadline)) break;
    written += piece;
  }
  return written;
}

// Waits until the peer has acknowledged everything written.
void waitAcknowledged(int fd, int stopFd) {
  auto deadline = Clock::now() + std::chrono::milliseconds(kDrainMs);
  for (;;) {
    int unacked = 0;
    if (::ioctl(fd, SIOCOUTQ, &unacked) != 0 || unacked == 0 || msLeft(deadline) == 0) break;
    sleepMs(1, stopFd);
  }
}

// Once the peer has everything written: a FIN when asked for, then the
// coming close sends a reset. A reset after the FIN leaves the peer's
// socket broken for writes (EPIPE, and SIGPIPE unless caught), not merely
// reset; without the FIN the peer's next read fails with ECONNRESET.
void prepareReset(int fd, int stopFd, bool fin) {
  waitAcknowledged(fd, stopFd);
  if (fin) {
    ::shutdown(fd, SHUT_WR);
    waitAcknowledged(fd, stopFd);
  }
  struct linger hard {1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

}  // namespace

// The listening socket and the thread that accepts on it.
class Acceptor {
 public:
  Acceptor(std::uint16_t port, std::function<void(int, int)> serve) : serve_(std::move(serve)) {
    listen_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listen_) fail("socket");
    int one = 1;
    ::setsockopt(listen_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listen_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
      fail("bind 127.0.0.1:" + std::to_string(port));
    if (::listen(listen_.get(), 16) != 0) fail("listen");
    socklen_t len = sizeof addr;
    ::getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) fail("pipe");
    stopRead_.reset(fds[0]);
    stopWrite_.reset(fds[1]);
    thread_ = std::thread([this] { loop(); });
  }
  ~Acceptor() { stop(); }
  void stop() {
    if (!thread_.joinable()) return;
    char c = 0;
    (void)!::write(stopWrite_.get(), &c, 1);
    thread_.join();
  }
  std::uint16_t port() const { return port_; }

 private:
  void loop() {
    for (;;) {
      pollfd p[2] = {{listen_.get(), POLLIN, 0}, {stopRead_.get(), POLLIN, 0}};
      if (::poll(p, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (p[1].revents) return;
      UniqueFd conn(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (!conn) continue;
      try {
        serve_(conn.get(), stopRead_.get());
      } catch (const std::exception& e) {
        std::fprintf(stderr, "server: %s\n", e.what());
      }
    }
  }

  std::function<void(int, int)> serve_;
  UniqueFd listen_, stopRead_, stopWrite_;
  std::uint16_t port_ = 0;
  std::thread thread_;
};

RequestComplete untilBytes(std::size_t n) {
  return [n](const std::string& got) { return got.size() >= n; };
}

RequestComplete untilHttpRequest(std::size_t extra) {
  return [extra](const std::string& got) {
    auto end = got.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    return got.size() >= end + 4 + contentLength(got.substr(0, end + 2)) + extra;
  };
}

RequestComplete untilPeerCloses() {
  return [](const std::string&) { return false; };
}

Handler scripted(const std::vector<std::string>& replies, bool closeNotify) {
  return [replies, closeNotify](const std::string&, int index) {
    Reply r;
    r.closeNotify = closeNotify;
    if (index >= 0 && static_cast<std::size_t>(index) < replies.size()) r.bytes = replies[static_cast<std::size_t>(index)];
    return r;
  };
}

LoopbackServer::~LoopbackServer() { stop(); }

void LoopbackServer::listen(std::uint16_t port, std::function<void(int, int)> serve) {
  std::signal(SIGPIPE, SIG_IGN);
  acceptor_ = std::make_unique<Acceptor>(port, std::move(serve));
  port_ = acceptor_->port();
}

void LoopbackServer::stop() {
  if (acceptor_) acceptor_->stop();
}

void LoopbackServer::record(Exchange e) {
  std::lock_guard<std::mutex> lock(mutex_);
  exchanges_.push_back(std::move(e));
}

std::vector<Exchange> LoopbackServer::exchanges() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return exchanges_;
}

bool LoopbackServer::waitForExchanges(std::size_t n, int timeoutMs) const {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (exchanges_.size() >= n) return true;
    }
    if (msLeft(deadline) == 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

TcpServer::TcpServer(Handler handler, ServerOptions options)
    : handler_(std::move(handler)), options_(std::move(options)) {
  listen(options_.port, [this](int fd, int stopFd) { serve(fd, stopFd); });
}

TcpServer::~TcpServer() { stop(); }

void TcpServer::serve(int fd, int stopFd) {
  Stream s{fd, stopFd};
  Exchange e;
  e.request = readRequest(s, options_.complete, options_.readTimeoutMs);
  int index;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    index = static_cast<int>(exchanges_.size());
  }
  Reply reply = handler_(e.request, index);
  auto deadline = Clock::now() + std::chrono::milliseconds(options_.readTimeoutMs);
  e.reply = writeReply(s, reply, deadline);
  if (!reply.close) {
    e.afterReply = readRequest(s, untilPeerCloses(), options_.readTimeoutMs);
  }
  if (reply.reset || reply.resetWithoutFin)
    prepareReset(fd, stopFd, !reply.resetWithoutFin);
  else
    e.afterReply += drain(fd, stopFd);
  record(std::move(e));
}

TlsOptions tls10Only() {
  TlsOptions o;
  o.minVersion = TLS1_VERSION;
  o.maxVersion = TLS1_VERSION;
  o.securityLevel = 0;
  return o;
}

TlsOptions tls12Only() {
  TlsOptions o;
  o.minVersion = TLS1_2_VERSION;
  o.maxVersion = TLS1_2_VERSION;
  return o;
}

namespace {
int acceptAnyCertificate(int, X509_STORE_CTX*) { return 1; }
}  // namespace

TlsServer::TlsServer(Handler handler, TlsOptions tls, ServerOptions options)
    : handler_(std::move(handler)), options_(std::move(options)) {
  std::string dir = TAVRIK_TEST_DATA_DIR "/harness/";
  if (tls.certFile.empty()) tls.certFile = dir + "server.crt";
  if (tls.keyFile.empty()) tls.keyFile = dir + "server.key";
  ctx_ = SSL_CTX_new(TLS_server_method());
  if (!ctx_) throw std::runtime_error("server: SSL_CTX_new: " + sslErrors());
  if (tls.securityLevel >= 0) SSL_CTX_set_security_level(ctx_, tls.securityLevel);
  std::string ciphers = tls.cipherList;
  if (ciphers.empty() && tls.securityLevel == 0) ciphers = "DEFAULT:@SECLEVEL=0";
  if (!ciphers.empty() && SSL_CTX_set_cipher_list(ctx_, ciphers.c_str()) != 1)
    throw std::runtime_error("server: cipher list: " + sslErrors());
  if (tls.minVersion) SSL_CTX_set_min_proto_version(ctx_, tls.minVersion);
  if (tls.maxVersion) SSL_CTX_set_max_proto_version(ctx_, tls.maxVersion);
  if (SSL_CTX_use_certificate_chain_file(ctx_, tls.certFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx_, tls.keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
    throw std::runtime_error("server: certificate " + tls.certFile + ": " + sslErrors());
  if (tls.requireClientCert)
    SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, acceptAnyCertificate);
  listen(options_.port, [this](int fd, int stopFd) { serve(fd, stopFd); });
}

TlsServer::~TlsServer() {
  stop();
  SSL_CTX_free(ctx_);
}

void TlsServer::serve(int fd, int stopFd) {
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx_), SSL_free);
  Exchange e;
  if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) {
    e.tlsError = sslErrors();
    record(std::move(e));
    return;
  }
  Stream s{fd, stopFd, ssl.get()};
  auto deadline = Clock::now() + std::chrono::milliseconds(options_.readTimeoutMs);
  ERR_clear_error();
  for (;;) {
    int rc = SSL_accept(ssl.get());
    if (rc == 1) {
      e.handshakeOk = true;
      break;
    }
    int err = SSL_get_error(ssl.get(), rc);
    if ((err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) || !s.retry(rc, deadline)) {
      e.tlsError = sslErrors();
      if (e.tlsError.empty()) e.tlsError = "handshake ended (error " + std::to_string(err) + ")";
      break;
    }
  }
  e.tlsVersion = SSL_get_version(ssl.get());
  if (X509* cert = SSL_get1_peer_certificate(ssl.get())) {
    e.clientCertPem = pemOf(cert);
    X509_free(cert);
  }
  if (!e.handshakeOk) {
    drain(fd, stopFd);
    record(std::move(e));
    return;
  }
  e.request = readRequest(s, options_.complete, options_.readTimeoutMs);
  ERR_clear_error();
  int index;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    index = static_cast<int>(exchanges_.size());
  }
  Reply reply = handler_(e.request, index);
  deadline = Clock::now() + std::chrono::milliseconds(options_.readTimeoutMs);
  e.reply = writeReply(s, reply, deadline);
  if (!reply.close) e.afterReply = readRequest(s, untilPeerCloses(), options_.readTimeoutMs);
  if (reply.closeNotify) {
    SSL_shutdown(ssl.get());  // our close_notify; the peer's answer is not awaited
  } else {
    SSL_set_quiet_shutdown(ssl.get(), 1);
  }
  ERR_clear_error();
  if (!reply.raw.empty()) {
    Stream plain{fd, stopFd};
    if (plain.writeAll(reply.raw, deadline)) e.reply += reply.raw;
  }
  if (reply.reset || reply.resetWithoutFin)
    prepareReset(fd, stopFd, !reply.resetWithoutFin);
  else
    drain(fd, stopFd);  // raw TLS records: not part of the exchange
  record(std::move(e));
}

ProxyOptions proxyEstablished(std::uint16_t relayPort) {
  ProxyOptions o;
  o.relayPort = relayPort;
  return o;
}

ProxyOptions proxyAuthRequired() {
  ProxyOptions o;
  o.answer = {
      "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"proxy\"\r\n"
      "Content-Length: 0\r\n\r\n"};
  o.relay = false;
  return o;
}

ProxyOptions proxySplit(std::uint16_t relayPort) {
  ProxyOptions o;
  o.answer = {"HTTP/1.1 2", "00 Connection established\r\n", "Proxy-agent: test\r\n", "\r\n"};
  o.relayPort = relayPort;
  return o;
}

ProxyOptions proxyHttp10(std::uint16_t relayPort) {
  ProxyOptions o;
  o.answer = {"HTTP/1.0 200 Connection established\r\n\r\n"};
  o.relayPort = relayPort;
  return o;
}

ProxyServer::ProxyServer(ProxyOptions options) : options_(std::move(options)) {
  listen(options_.port, [this](int fd, int stopFd) { serve(fd, stopFd); });
}

// A CONNECT head ends at its first empty line, whose lines may end in CR LF
// or, as the tool writes them, in LF alone. 0 while it has not ended.
static std::size_t connectHeadLength(const std::string& got) {
  std::size_t crlf = got.find("\r\n\r\n");
  std::size_t lf = got.find("\n\n");
  std::size_t end = crlf == std::string::npos ? 0 : crlf + 4;
  if (lf != std::string::npos && (end == 0 || lf + 2 < end)) end = lf + 2;
  return end;
}
static RequestComplete untilConnectHead() {
  return [](const std::string& got) { return connectHeadLength(got) != 0; };
}

ProxyServer::~ProxyServer() { stop(); }

void ProxyServer::serve(int fd, int stopFd) {
  Stream client{fd, stopFd};
  Exchange e;
  std::string got = readRequest(client, untilConnectHead(), options_.readTimeoutMs);
  std::size_t headLength = connectHeadLength(got);
  auto end = headLength == 0 ? std::string::npos : headLength;
  std::string early;  // tunnel bytes the client sent before the answer
  if (end != std::string::npos) {
    e.request = got.substr(0, headLength);
    early = got.substr(headLength);
  } else {
    e.request = got;
  }
  auto deadline = Clock::now() + std::chrono::milliseconds(options_.readTimeoutMs);
  for (std::size_t i = 0; i < options_.answer.size(); ++i) {
    sleepMs(i > 0 ? options_.chunkDelayMs : options_.answerDelayMs, stopFd);
    if (!client.writeAll(options_.answer[i], deadline)) break;
    e.reply += options_.answer[i];
  }
  if (!options_.relay || end == std::string::npos) {
    e.afterReply = early + drain(fd, stopFd);
    record(std::move(e));
    return;
  }

  UniqueFd up(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(options_.relayPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (!up || ::connect(up.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    e.afterReply = drain(fd, stopFd);
    record(std::move(e));
    return;
  }
  if (!early.empty()) (void)!::send(up.get(), early.data(), early.size(), MSG_NOSIGNAL);
  // Relay both ways; an end of stream on one side half-closes the other.
  bool clientOpen = true, upOpen = true;
  while (clientOpen || upOpen) {
    pollfd p[3] = {{fd, static_cast<short>(clientOpen ? POLLIN : 0), 0},
                   {up.get(), static_cast<short>(upOpen ? POLLIN : 0), 0},
                   {stopFd, POLLIN, 0}};
    int n = ::poll(p, 3, 30000);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || p[2].revents) break;
    for (int i = 0; i < 2; ++i) {
      if (!p[i].revents) continue;
      int from = i == 0 ? fd : up.get();
      int to = i == 0 ? up.get() : fd;
      char buf[16384];
      ssize_t r = ::read(from, buf, sizeof buf);
      if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (r <= 0) {
        ::shutdown(to, SHUT_WR);
        (i == 0 ? clientOpen : upOpen) = false;
        continue;
      }
      // Blocking-style send on the non-blocking client socket: wait while full.
      std::size_t done = 0;
      while (done < static_cast<std::size_t>(r)) {
        ssize_t w = ::send(to, buf + done, static_cast<std::size_t>(r) - done, MSG_NOSIGNAL);
        if (w > 0) {
          done += static_cast<std::size_t>(w);
        } else if (w < 0 && (errno == EAGAIN || errno == EINTR)) {
          if (!waitFd(to, POLLOUT, stopFd, Clock::now() + std::chrono::seconds(10))) break;
        } else {
          break;
        }
      }
    }
  }
  record(std::move(e));
}

void useLoopbackNames(Sandbox& box, const std::vector<std::string>& names) {
  std::string hosts = "127.0.0.1\tlocalhost\n";
  for (const auto& n : names) hosts += "127.0.0.1\t" + n + "\n";
  box.writeFile("/etc/hosts", hosts);
  // Nothing listens on port 53 in the sandbox: a query is refused at once.
  box.writeFile("/etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n");
}

std::string certificatePem(const std::string& file) {
  FILE* f = std::fopen(file.c_str(), "r");
  if (!f) return std::string();
  X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  if (!cert) return std::string();
  std::string pem = pemOf(cert);
  X509_free(cert);
  return pem;
}

}  // namespace harness
