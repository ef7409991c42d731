// Loopback servers for end-to-end tests; each records every byte it received.
//
// Contract and calling order:
// 1. Create the Sandbox first, then the servers (declared after it, so they
//    are destroyed before it). A server listens on 127.0.0.1 from its
//    constructor on (port 0 picks a free one: port()), and serves in its
//    own thread, one connection at a time, until destroyed.
// 2. Per connection: read the request until `complete` says it is whole
//    (or the peer half-closes, or `readTimeoutMs` passes); call the handler
//    with the request bytes and the connection's index (0, 1, ...); write
//    the reply; close (TLS: with close_notify unless the reply says not);
//    then read on until the peer closes, so no unread byte resets the
//    connection (bytes read then are recorded in `afterReply`); or, with
//    Reply::reset or Reply::resetWithoutFin, reset the connection at once.
// 3. exchanges() gives what was recorded so far; an exchange is recorded
//    once its connection is closed, so after the tool has run call
//    waitForExchanges(n) first. Handlers and completion predicates run on
//    the server's thread: guard any test state they share.
// TlsServer adds a server certificate (tests/data/harness/server.*),
// optional client-certificate requirement, and version limits. ProxyServer
// is an HTTP CONNECT proxy that always tunnels to a loopback port.
// useLoopbackNames() maps host names to 127.0.0.1 for the tool's resolver.
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/harness/sandbox.h"

namespace harness {

// Decides from the bytes received so far whether the request is whole.
using RequestComplete = std::function<bool(const std::string& received)>;
RequestComplete untilBytes(std::size_t n);
// Header end ("\r\n\r\n"), then Content-Length bytes (0 without one), then
// `extra` more bytes (the tool's GETs end with one more "\r\n": extra 2).
RequestComplete untilHttpRequest(std::size_t extra = 0);
RequestComplete untilPeerCloses();

struct Reply {
  std::string bytes;
  // Written one after the other after `bytes`, each after a pause of
  // `pauseMs`, so that the peer surely receives them apart.
  std::vector<std::string> later = {};
  int pauseMs = 300;
  bool closeNotify = true;  // TLS: send close_notify before closing
  bool close = true;        // false: answer nothing more but keep reading until the peer closes
  // TLS: bytes written on the socket outside TLS after the reply, as a
  // broken peer would.
  std::string raw = {};
  // Ends the connection without reading on: once the peer has acknowledged
  // every byte written (so nothing written is lost), a FIN and then a TCP
  // reset, after which the peer's writes fail with EPIPE.
  bool reset = false;
  // Like `reset`, but without the FIN: the peer reads what was written and
  // then, instead of an end of stream, a failure (ECONNRESET).
  bool resetWithoutFin = false;
};
using Handler = std::function<Reply(const std::string& request, int index)>;
// Replies in order, one per connection; later connections get no reply.
Handler scripted(const std::vector<std::string>& replies, bool closeNotify = true);

struct Exchange {
  std::string request;     // bytes read before the reply
  std::string reply;       // bytes sent
  std::string afterReply;  // bytes read after the reply, until the peer closed (TLS: only with Reply::close false)
  // TLS only:
  bool handshakeOk = false;
  std::string tlsError;       // why the handshake failed
  std::string tlsVersion;     // "TLSv1", "TLSv1.2", "TLSv1.3"...
  std::string clientCertPem;  // the client's certificate, "" when none
};

struct ServerOptions {
  std::uint16_t port = 0;  // 0: any free port
  RequestComplete complete = untilHttpRequest();
  int readTimeoutMs = 5000;
};

class Acceptor;

// Base of the three servers: the recording and the listening thread.
class LoopbackServer {
 public:
  virtual ~LoopbackServer();
  std::uint16_t port() const { return port_; }
  std::vector<Exchange> exchanges() const;
  // True once at least `n` connections have been served to the end.
  bool waitForExchanges(std::size_t n, int timeoutMs = 5000) const;

 protected:
  LoopbackServer() = default;
  void listen(std::uint16_t port, std::function<void(int fd, int stopFd)> serve);
  void stop();
  void record(Exchange e);

  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::vector<Exchange> exchanges_;
  std::unique_ptr<Acceptor> acceptor_;
};

// Plain TCP (HTTP) server.
class TcpServer : public LoopbackServer {
 public:
  TcpServer(Handler handler, ServerOptions options = {});
  ~TcpServer() override;

 private:
  void serve(int fd, int stopFd);
  Handler handler_;
  ServerOptions options_;
};

struct TlsOptions {
  std::string certFile;  // default tests/data/harness/server.crt
  std::string keyFile;   // default tests/data/harness/server.key
  bool requireClientCert = false;  // any certificate is accepted, and recorded
  int minVersion = 0;    // TLS1_VERSION, TLS1_2_VERSION...; 0 = library default
  int maxVersion = 0;
  int securityLevel = -1;  // -1 = library default; 0 allows TLS 1.0 and old ciphers
  std::string cipherList;  // TLS 1.2 and older; "" = default (or "DEFAULT:@SECLEVEL=0" at level 0)
};
// Options for a server that speaks TLS 1.0 only, at security level 0.
TlsOptions tls10Only();
TlsOptions tls12Only();

class TlsServer : public LoopbackServer {
 public:
  TlsServer(Handler handler, TlsOptions tls = {}, ServerOptions options = {});
  ~TlsServer() override;

 private:
  void serve(int fd, int stopFd);
  Handler handler_;
  ServerOptions options_;
  SSL_CTX* ctx_ = nullptr;
};

struct ProxyOptions {
  std::uint16_t port = 0;
  // Written one after the other, `chunkDelayMs` apart, the first
  // `answerDelayMs` after the CONNECT request head is in (as on a path
  // with a slow round trip).
  std::vector<std::string> answer = {"HTTP/1.1 200 Connection established\r\n\r\n"};
  int chunkDelayMs = 50;
  int answerDelayMs = 0;
  bool relay = true;            // then tunnel to 127.0.0.1:relayPort
  std::uint16_t relayPort = 0;  // whatever host the request names
  int readTimeoutMs = 5000;
};
ProxyOptions proxyEstablished(std::uint16_t relayPort);
ProxyOptions proxyAuthRequired();  // 407, then close
ProxyOptions proxySplit(std::uint16_t relayPort);  // the 200 answer in several writes
ProxyOptions proxyHttp10(std::uint16_t relayPort);  // "HTTP/1.0 200 ..."

// Exchange::request is the CONNECT head (to its empty line, CR LF or LF alone), reply what was
// answered; the tunnelled bytes are not recorded.
class ProxyServer : public LoopbackServer {
 public:
  explicit ProxyServer(ProxyOptions options);
  ~ProxyServer() override;

 private:
  void serve(int fd, int stopFd);
  ProxyOptions options_;
};

// Writes /etc/hosts mapping each name (and localhost) to 127.0.0.1, and
// /etc/resolv.conf naming a loopback nameserver where nothing answers, so any
// other name fails at once.
void useLoopbackNames(Sandbox& box, const std::vector<std::string>& names);

// Certificate as PEM text of a file (e.g. to compare with what a server saw).
std::string certificatePem(const std::string& file);

}  // namespace harness
