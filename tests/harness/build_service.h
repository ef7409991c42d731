// The fake kernel-module build service's answers, for end-to-end tests.
//
// - BuildServiceRoutes maps a request to its answer: by exact request path
//   (with its query), by path prefix through a function, else a 404 page.
//   The path is the second word of the request line.
// - requestLength tells when a request has fully arrived: a POST after its
//   header, Content-Length bytes and the two uncounted "\n\n"; a GET once its
//   header has ended and no more bytes follow shortly (so a trailing CR LF is
//   recorded too).
// - The reply helpers build the service's replies as the installer reads
//   them: status lines, Location, the status markers, an attachment.
// - ServiceAnswer::closeNotify false makes the service drop the TCP
//   connection without a TLS close notification after the reply.
//
// FakeBuildService serves the routes with TLS on 127.0.0.1:443 (inside a
// Sandbox: its network namespace is private) from a thread, one connection
// at a time. It requires a client certificate and records, per connection,
// whether it was the tool's embedded one, and every request byte.
// ConnectProxy is an HTTP CONNECT proxy on 127.0.0.1 that records each tunnel
// request and answers in one of several ways, then relays the tunnel.
// Create both after the Sandbox and destroy them before it.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace harness {

struct ServiceAnswer {
  std::string bytes;
  bool closeNotify = true;
  // Then this many 'b' bytes, made while sending (for very large replies).
  std::size_t filler = 0;
};

class BuildServiceRoutes {
 public:
  using Handler = std::function<ServiceAnswer(const std::string& request)>;
  void on(const std::string& path, ServiceAnswer answer);
  void onPrefix(const std::string& prefix, Handler handler);
  ServiceAnswer answer(const std::string& request) const;

 private:
  struct Route {
    std::string path;
    bool prefix;
    Handler handler;
  };
  std::vector<Route> routes_;  // later routes win
};

// The path of a request ("" when the request line is not there).
std::string requestPath(const std::string& request);
// 0 while incomplete (a GET needs the caller's idle wait: see above);
// otherwise the length of the complete request.
std::size_t postRequestLength(const std::string& bytes);
bool getHeaderComplete(const std::string& bytes);

std::string replyOk(const std::string& body, const std::string& headers = "Content-Type: text/html\r\n");
std::string replyRedirect(const std::string& location);
std::string replyBadRequest();
std::string replyNotFound();
// A page of a build still running: the four markers.
std::string replyStatusPage(const std::string& status, const std::string& url,
                            const std::string& percent = "50", const std::string& avgTime = "60");
// The finished module: Content-Disposition with the name, Content-Length.
std::string replyAttachment(const std::string& fileName, const std::string& data);

class FakeBuildService {
 public:
  explicit FakeBuildService(BuildServiceRoutes routes, int port = 443);
  ~FakeBuildService();
  FakeBuildService(const FakeBuildService&) = delete;
  FakeBuildService& operator=(const FakeBuildService&) = delete;

  // Every complete request received so far, in order.
  std::vector<std::string> requests() const;
  // Per finished handshake: whether the client presented the embedded
  // certificate (a missing one fails the handshake and is not listed).
  std::vector<bool> clientCertificates() const;

 private:
  void serve();
  void handle(int fd);

  BuildServiceRoutes routes_;
  int listener_ = -1;
  void* context_ = nullptr;  // SSL_CTX
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::vector<bool> certificates_;
  std::thread thread_;
};

class ConnectProxy {
 public:
  enum class Answer {
    k200,        // "HTTP/1.1 200 Connection established", then the tunnel
    k200Split,   // the same answer in three pieces with pauses between
    k200Http10,  // "HTTP/1.0 200 Connection established"
    k407,        // "HTTP/1.1 407 Proxy Authentication Required", then close
  };
  explicit ConnectProxy(Answer answer, int port = 3128);
  ~ConnectProxy();
  ConnectProxy(const ConnectProxy&) = delete;
  ConnectProxy& operator=(const ConnectProxy&) = delete;
  int port() const { return port_; }
  // The request bytes of each tunnel, up to their blank line.
  std::vector<std::string> requests() const;

 private:
  void serve();
  void handle(int fd);

  Answer answer_;
  int port_;
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::thread thread_;
};

}  // namespace harness
