#include "tests/harness/build_service.h"

#include <algorithm>
#include <cstdlib>

#include "installer/state.h"

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

FakeBuildService::FakeBuildService(BuildServiceRoutes routes, std::uint16_t port, std::size_t trailingBytes)
    : routes_(std::make_shared<BuildServiceRoutes>(std::move(routes))) {
  TlsOptions tls;
  tls.requireClientCert = true;
  ServerOptions options;
  options.port = port;
  options.complete = untilHttpRequest(trailingBytes);
  // Large replies to a client slowed by sanitizers must not hit the
  // server's time limit; a test that stalls still ends by its own.
  options.readTimeoutMs = 60000;
  std::shared_ptr<BuildServiceRoutes> table = routes_;
  server_ = std::make_unique<TlsServer>(
      [table](const std::string& request, int) {
        ServiceAnswer answer = table->answer(request);
        Reply reply;
        reply.bytes = std::move(answer.bytes);
        reply.closeNotify = answer.closeNotify;
        reply.close = !answer.hold;
        return reply;
      },
      tls, options);
}

std::vector<std::string> FakeBuildService::requests(std::size_t expected) const {
  if (expected > 0) server_->waitForExchanges(expected);
  std::vector<std::string> out;
  for (const Exchange& e : server_->exchanges())
    if (e.handshakeOk) out.push_back(e.request);
  return out;
}

std::vector<bool> FakeBuildService::clientCertificates(std::size_t expected) const {
  if (expected > 0) server_->waitForExchanges(expected);
  // The certificate block of the embedded credential, as the server saw it.
  std::string pem = clientKeyPem;
  std::string embedded = pem.substr(pem.find("-----BEGIN CERTIFICATE-----"));
  std::vector<bool> out;
  for (const Exchange& e : server_->exchanges())
    if (e.handshakeOk) out.push_back(e.clientCertPem == embedded);
  return out;
}

}  // namespace harness
