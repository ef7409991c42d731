#include "tests/harness/build_service.h"

#include <algorithm>
#include <cstdlib>

namespace harness {

void BuildServiceRoutes::on(const std::string& path, ServiceAnswer answer) {
  routes_.push_back({path, false, [answer](const std::string&) { return answer; }});
}

void BuildServiceRoutes::onPrefix(const std::string& prefix, Handler handler) {
  routes_.push_back({prefix, true, std::move(handler)});
}

ServiceAnswer BuildServiceRoutes::answer(const std::string& request) const {
  std::string path = requestPath(request);
  for (auto it = routes_.rbegin(); it != routes_.rend(); ++it) {
    bool match = it->prefix ? path.compare(0, it->path.size(), it->path) == 0 : path == it->path;
    if (match) return it->handler(request);
  }
  return {replyNotFound(), true};
}

std::string requestPath(const std::string& request) {
  std::size_t lineEnd = request.find_first_of("\r\n");
  std::string line = request.substr(0, lineEnd);
  std::size_t first = line.find(' ');
  if (first == std::string::npos) return "";
  std::size_t second = line.find(' ', first + 1);
  return line.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
}

std::size_t postRequestLength(const std::string& bytes) {
  std::size_t end = bytes.find("\r\n\r\n");
  if (end == std::string::npos) return 0;
  std::size_t at = bytes.find("Content-Length: ");
  if (at == std::string::npos || at > end) return end + 4;
  long long length = std::atoll(bytes.c_str() + at + 16);
  std::size_t total = end + 4 + static_cast<std::size_t>(length) + 2;  // + the uncounted "\n\n"
  return bytes.size() >= total ? total : 0;
}

bool getHeaderComplete(const std::string& bytes) { return bytes.find("\r\n\r\n") != std::string::npos; }

std::string replyOk(const std::string& body, const std::string& headers) {
  return "HTTP/1.1 200 OK\r\n" + headers + "Content-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

std::string replyRedirect(const std::string& location) {
  return "HTTP/1.1 302 Found\r\nLocation: " + location + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

std::string replyBadRequest() {
  return "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

std::string replyNotFound() {
  std::string body = "<html><body>Not Found</body></html>";
  return "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

std::string replyStatusPage(const std::string& status, const std::string& url, const std::string& percent,
                            const std::string& avgTime) {
  return replyOk("<html><body>\n<!-- STATUS: " + status + " -->\n<!-- PERCENT: " + percent +
                 " -->\n<!-- AVGTIME: " + avgTime + " -->\n<!-- URL: " + url + " -->\n</body></html>\n");
}

std::string replyAttachment(const std::string& fileName, const std::string& data) {
  return "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
         "Content-Disposition: attachment; filename=" + fileName + "\r\nContent-Length: " +
         std::to_string(data.size()) + "\r\nConnection: close\r\n\r\n" + data;
}

}  // namespace harness

// ----- TLS service and CONNECT proxy -----

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

#include "installer/state.h"

namespace harness {
namespace {

int listenOn(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<uint16_t>(port));
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(fd, 16) != 0) {
    close(fd);
    throw std::runtime_error("fake server: cannot listen on port " + std::to_string(port));
  }
  return fd;
}

// Waits for a connection while watching the stop flag; -1 when stopping.
int acceptUnlessStopped(int listener, const std::atomic<bool>& stop) {
  while (!stop) {
    pollfd p{listener, POLLIN, 0};
    if (poll(&p, 1, 50) > 0) {
      int fd = accept(listener, nullptr, nullptr);
      if (fd >= 0) return fd;
    }
  }
  return -1;
}

bool readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}

X509* embeddedCertificate() {
  BIO* bio = BIO_new_mem_buf(clientKeyPem, -1);
  X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);  // skips the key block
  BIO_free(bio);
  return cert;
}

// A throw-away server identity: the client checks nothing of it.
SSL_CTX* serverContext() {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("fake build service"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_sign(cert, key, EVP_sha256());
  SSL_CTX_use_certificate(ctx, cert);
  SSL_CTX_use_PrivateKey(ctx, key);
  X509_free(cert);
  EVP_PKEY_free(key);
  // Ask for a client certificate and require one; which one it is is
  // checked after the handshake.
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                     [](int, X509_STORE_CTX*) { return 1; });
  return ctx;
}

}  // namespace

FakeBuildService::FakeBuildService(BuildServiceRoutes routes, int port) : routes_(std::move(routes)) {
  listener_ = listenOn(port);
  context_ = serverContext();
  thread_ = std::thread([this] { serve(); });
}

FakeBuildService::~FakeBuildService() {
  stop_ = true;
  thread_.join();
  close(listener_);
  SSL_CTX_free(static_cast<SSL_CTX*>(context_));
}

std::vector<std::string> FakeBuildService::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<bool> FakeBuildService::clientCertificates() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return certificates_;
}

void FakeBuildService::serve() {
  for (;;) {
    int fd = acceptUnlessStopped(listener_, stop_);
    if (fd < 0) return;
    handle(fd);
    close(fd);
  }
}

void FakeBuildService::handle(int fd) {
  SSL* ssl = SSL_new(static_cast<SSL_CTX*>(context_));
  SSL_set_fd(ssl, fd);
  if (SSL_accept(ssl) != 1) {
    SSL_free(ssl);
    ERR_clear_error();
    return;
  }
  X509* peer = SSL_get1_peer_certificate(ssl);
  X509* mine = embeddedCertificate();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    certificates_.push_back(peer && mine && X509_cmp(peer, mine) == 0);
  }
  X509_free(peer);
  X509_free(mine);

  std::string request;
  char buf[16384];
  for (;;) {
    bool post = request.compare(0, 5, "POST ") == 0;
    if (post && postRequestLength(request) != 0) break;
    // A GET is complete once its header ended and nothing more follows.
    if (!post && getHeaderComplete(request) && SSL_pending(ssl) == 0 && !readable(fd, 100)) break;
    int n = SSL_read(ssl, buf, sizeof buf);
    if (n <= 0) break;
    request.append(buf, static_cast<std::size_t>(n));
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
  }
  ServiceAnswer answer = routes_.answer(request);
  std::size_t sent = 0;
  while (sent < answer.bytes.size()) {
    int n = SSL_write(ssl, answer.bytes.data() + sent,
                      static_cast<int>(std::min<std::size_t>(answer.bytes.size() - sent, 1 << 20)));
    if (n <= 0) break;
    sent += static_cast<std::size_t>(n);
  }
  std::string fill(std::min<std::size_t>(answer.filler, 1 << 16), 'b');
  for (std::size_t left = answer.filler; left > 0;) {
    int n = SSL_write(ssl, fill.data(), static_cast<int>(std::min(left, fill.size())));
    if (n <= 0) break;
    left -= static_cast<std::size_t>(n);
  }
  if (answer.closeNotify) {
    SSL_shutdown(ssl);
    // Wait for the client's own close notification before closing, so its
    // shutdown never meets a reset connection.
    while (readable(fd, 2000) && SSL_read(ssl, buf, sizeof buf) > 0) {
    }
  }
  SSL_free(ssl);
  ERR_clear_error();
}

ConnectProxy::ConnectProxy(Answer answer, int port) : answer_(answer), port_(port) {
  listener_ = listenOn(port);
  thread_ = std::thread([this] { serve(); });
}

ConnectProxy::~ConnectProxy() {
  stop_ = true;
  thread_.join();
  close(listener_);
}

std::vector<std::string> ConnectProxy::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

void ConnectProxy::serve() {
  for (;;) {
    int fd = acceptUnlessStopped(listener_, stop_);
    if (fd < 0) return;
    handle(fd);
    close(fd);
  }
}

void ConnectProxy::handle(int fd) {
  std::string request;
  char buf[16384];
  while (request.find("\n\n") == std::string::npos && request.find("\r\n\r\n") == std::string::npos) {
    if (!readable(fd, 2000)) return;
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return;
    request.append(buf, static_cast<std::size_t>(n));
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
  }
  auto send = [fd](const std::string& text) { return write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()); };
  switch (answer_) {
    case Answer::k407:
      send("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n");
      return;
    case Answer::k200Http10:
      send("HTTP/1.0 200 Connection established\r\n\r\n");
      break;
    case Answer::k200Split:
      send("HTTP/1.1 20");
      usleep(30000);
      send("0 Connection established\r\n");
      usleep(30000);
      send("\r\n");
      break;
    case Answer::k200:
      send("HTTP/1.1 200 Connection established\r\n\r\n");
      break;
  }
  // Only loopback exists in the sandbox: the tunnel goes to the requested
  // port on 127.0.0.1, whatever the host.
  std::size_t colon = request.find(':');
  std::size_t space = request.find(' ', colon);
  int target = std::atoi(request.substr(colon + 1, space - colon - 1).c_str());
  int upstream = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(static_cast<uint16_t>(target));
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(upstream, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
    close(upstream);
    return;
  }
  pollfd both[2] = {{fd, POLLIN, 0}, {upstream, POLLIN, 0}};
  while (!stop_) {
    if (poll(both, 2, 100) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (!(both[i].revents & (POLLIN | POLLHUP))) continue;
      ssize_t n = read(both[i].fd, buf, sizeof buf);
      if (n <= 0) {
        close(upstream);
        return;
      }
      if (write(both[1 - i].fd, buf, static_cast<std::size_t>(n)) != n) {
        close(upstream);
        return;
      }
    }
  }
  close(upstream);
}

}  // namespace harness
