// The fake kernel-module build service's answers, for end-to-end tests.
//
// - BuildServiceRoutes maps a request to its answer: by exact request path
//   (with its query), by path prefix through a function, else a 404 page.
//   The path is the second word of the request line.
// - A request is whole after its header, its Content-Length bytes and two
//   more (the GET's trailing CR LF, the upload's uncounted "\n\n").
// - The reply helpers build the service's replies as the installer reads
//   them: status lines, Location, the status markers, an attachment.
// - ServiceAnswer::closeNotify false makes the service drop the TCP
//   connection without a TLS close notification after the reply; hold
//   keeps the connection open after the reply until the tool closes it (or
//   the server's minute of patience is over), as a keep-alive server does.
//
// FakeBuildService serves the routes from the shared TlsServer on
// 127.0.0.1:443 (inside a Sandbox), requiring a client certificate; it tells
// per connection whether that was the tool's embedded one, and records every
// request byte. For the CONNECT proxy use the shared ProxyServer with
// proxyEstablished(443) and its kin (servers.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/harness/servers.h"

namespace harness {

struct ServiceAnswer {
  std::string bytes;
  bool closeNotify = true;
  bool hold = false;
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
  // trailingBytes: bytes that follow a request's Content-Length (the tool's
  // GETs and upload send 2; a plain HTTP client 0).
  explicit FakeBuildService(BuildServiceRoutes routes, std::uint16_t port = 443,
                            std::size_t trailingBytes = 2);

  // Every request of a finished handshake, in order. A connection is
  // recorded once the client has closed it, which may come a moment after
  // the tool's call returned: give the count expected to wait for it.
  std::vector<std::string> requests(std::size_t expected = 0) const;
  // Per finished handshake: whether the client presented the embedded
  // certificate.
  std::vector<bool> clientCertificates(std::size_t expected = 0) const;
  TlsServer& server() { return *server_; }

 private:
  std::shared_ptr<BuildServiceRoutes> routes_;
  std::unique_ptr<TlsServer> server_;
};

}  // namespace harness
