#include "installer/tls.h"

#include <openssl/err.h>

namespace {

void ignoreSigpipe(int) {}

}  // namespace

SslPtr startTls(SSL_CTX* context, int sock, int* handshake) {
  *handshake = 0;
  SslPtr connection(SSL_new(context));
  if (!connection) return connection;
  BIO* bio = BIO_new_socket(sock, BIO_NOCLOSE);
  if (bio == nullptr) return connection;
  SSL_set_bio(connection.get(), bio, bio);
  ERR_clear_error();
  *handshake = SSL_connect(connection.get());
  return connection;
}

int sslErrorClass(SSL* connection, int result) {
  int error = SSL_get_error(connection, result);
  if (error == SSL_ERROR_SSL && ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
    ERR_clear_error();
    return SSL_ERROR_SYSCALL;
  }
  return error;
}

ReadOutcome classifySslRead(SSL* connection, int result) {
  switch (sslErrorClass(connection, result)) {
    case SSL_ERROR_NONE:
      return ReadOutcome::Data;
    case SSL_ERROR_WANT_READ:
      return ReadOutcome::Retry;
    case SSL_ERROR_SYSCALL:
      return ReadOutcome::PrematureClose;
    case SSL_ERROR_ZERO_RETURN:
      return ReadOutcome::CloseNotify;
    default:
      return ReadOutcome::Failure;
  }
}

bool catchSigpipe(struct sigaction* previous) {
  struct sigaction action {};
  action.sa_handler = ignoreSigpipe;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  return ::sigaction(SIGPIPE, &action, previous) == 0;
}
