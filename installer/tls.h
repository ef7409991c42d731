// TLS pieces shared by the build-service transport and the manager key
// fetch: owners of the library's objects, the handshake over a socket, the
// classes of a read's result, and the SIGPIPE catcher.
#pragma once

#include <openssl/ssl.h>
#include <signal.h>

#include <memory>

struct SslCtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
  void operator()(SSL* s) const { SSL_free(s); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;

// A TLS connection over sock (which stays open when the connection goes)
// after its handshake. *handshake gets SSL_connect's result, or 0 when no
// connection object could be had (the result is then empty). Nothing is
// printed: the callers report a failure each in their own way.
SslPtr startTls(SSL_CTX* context, int sock, int* handshake);

// The TLS error class of a failed call. The peer's close without a close
// notification, which this TLS library reports as a protocol error
// (unexpected EOF), is given as SSL_ERROR_SYSCALL, the class it always had.
int sslErrorClass(SSL* connection, int result);

// What a TLS read means for a reply loop; Complete is the reply loop's
// own: the reply has ended by its framing.
enum class ReadOutcome { Data, Retry, PrematureClose, CloseNotify, Failure, Complete };
// Classifies the result of one SSL_read (through sslErrorClass).
ReadOutcome classifySslRead(SSL* connection, int result);

// Installs an empty SIGPIPE handler, so that a write to a connection the
// peer has closed fails with an error instead of ending the process (a
// handler, unlike SIG_IGN, is not handed on to the programs the tool runs).
// *previous, when given, gets the action it replaces; false when it could
// not be installed.
bool catchSigpipe(struct sigaction* previous = nullptr);

// Catches SIGPIPE for its lifetime, then puts the previous action back.
class SigpipeCaught {
 public:
  SigpipeCaught() : restore_(catchSigpipe(&saved_)) {}
  ~SigpipeCaught() {
    if (restore_) ::sigaction(SIGPIPE, &saved_, nullptr);
  }
  SigpipeCaught(const SigpipeCaught&) = delete;
  SigpipeCaught& operator=(const SigpipeCaught&) = delete;

 private:
  struct sigaction saved_ {};
  bool restore_;
};
