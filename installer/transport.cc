#include "installer/transport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <memory>
#include <optional>

#include "installer/proxy.h"
#include "installer/replies.h"
#include "installer/resolve.h"
#include "installer/state.h"
#include "setup/output.h"
#include "setup/unique_fd.h"

namespace {

BIO* sslErrorBio = nullptr;
std::string passPhrase;
// The key file of the context being loaded, so that a fatal exit during
// the load still removes it.
const std::string* activeKeyFile = nullptr;

int passPhraseCallback(char* buffer, int size, int /*rwflag*/, void* /*userdata*/) {
  if (size < static_cast<int>(passPhrase.size()) + 1) return 0;
  std::memcpy(buffer, passPhrase.c_str(), passPhrase.size() + 1);
  return static_cast<int>(passPhrase.size());
}

void initLibraryOnce() {
  if (sslErrorBio != nullptr) return;
  SSL_library_init();
  SSL_load_error_strings();
  sslErrorBio = BIO_new_fp(stderr, BIO_NOCLOSE);
}

void removeActiveKeyFile() {
  if (activeKeyFile != nullptr && !activeKeyFile->empty()) unlink(activeKeyFile->c_str());
}

}  // namespace

[[noreturn]] void fatalSslError(const char* message) {
  removeActiveKeyFile();
  initLibraryOnce();
  std::fflush(stdout);
  BIO_printf(sslErrorBio, "%s\n", message);
  ERR_print_errors(sslErrorBio);
  (void)BIO_flush(sslErrorBio);
  std::exit(0);
}

SSL_CTX* initSslContext(const char* pemPath, const char* phrase) {
  initLibraryOnce();
  catchSigpipe();

  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) fatalSslError("Can't read certificate file");
  if (SSL_CTX_use_certificate_chain_file(context, pemPath) != 1)
    fatalSslError("Can't read certificate file");
  passPhrase = phrase;
  SSL_CTX_set_default_passwd_cb(context, passPhraseCallback);
  // Also fails for a key that does not belong to the loaded certificate.
  if (SSL_CTX_use_PrivateKey_file(context, pemPath, SSL_FILETYPE_PEM) != 1)
    fatalSslError("Can't read key file");
  return context;
}

void destroySslContext(SSL_CTX* context) { SSL_CTX_free(context); }

void checkSslWrite(SSL* connection, int result) {
  if (SSL_get_error(connection, result) != SSL_ERROR_NONE) fatalSslError("SSL write problem");
}

void ClientKeyFile::create() {
  char name[] = "/tmp/XXXXXX";
  UniqueFd fd(mkstemp(name));  // created exclusively, mode 0600
  if (fd) path_ = name;
  activeKeyFile = &path_;
  printDebug("Creating template %s", name);
  std::size_t length = std::strlen(clientKeyPem);
  if (!fd || write(fd.get(), clientKeyPem, length) != static_cast<ssize_t>(length) || fd.close() != 0) {
    remove();
    fatalError("unable to write sec template");
  }
}

SSL_CTX* ClientKeyFile::load() {
  SSL_CTX* context = initSslContext(path_.c_str(), "");
  remove();
  return context;
}

void ClientKeyFile::remove() {
  if (!path_.empty()) unlink(path_.c_str());
  path_.clear();
  if (activeKeyFile == &path_) activeKeyFile = nullptr;
}

int tcp_connect(const char* host, int port) {
  std::string proxyHost;
  int proxyPort = 0;
  std::string proxy = getHttpProxyEnv();
  bool tunnel = !proxy.empty() && parseProxyAddress(proxy, &proxyHost, &proxyPort);
  const char* connectHost = tunnel ? proxyHost.c_str() : host;
  int connectPort = tunnel ? proxyPort : port;

  OptText address = ares_resolve(connectHost);
  if (!address) return -1;
  // An unresolved name gives "", which inet_addr turns into 255.255.255.255:
  // the connect below then fails with its own message.
  struct sockaddr_in target {};
  target.sin_family = AF_INET;
  target.sin_port = htons(static_cast<uint16_t>(connectPort));
  target.sin_addr.s_addr = inet_addr(address->c_str());

  UniqueFd sock(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
  if (!sock) {
    printError(L"Couldn't create socket: %s", std::strerror(errno));
    return -1;
  }
  printDebug("socket successful");
  if (connect(sock.get(), reinterpret_cast<struct sockaddr*>(&target), sizeof target) != 0) {
    printError(L"Couldn't connect socket: %s", std::strerror(errno));
    return -1;
  }
  if (tunnel && !openProxyTunnel(sock.get(), host, port)) return -1;
  printDebug("connect successful");
  printDebug("sock = %d", sock.get());
  return sock.release();
}

SslCtxPtr loadClientContext() {
  ClientKeyFile keyFile;
  keyFile.create();
  return SslCtxPtr(keyFile.load());
}

void writeTls(SSL* connection, const void* data, std::size_t length, bool traceResult) {
  ERR_clear_error();
  int result = SSL_write(connection, data, static_cast<int>(length));
  if (traceResult) printDebug("Checking return status: %d", result);
  checkSslWrite(connection, result);
}

void bufferTlsWrites(SSL* connection, int size) {
  BIO* sockBio = SSL_get_wbio(connection);
  BIO* buffer = BIO_new(BIO_f_buffer());
  if (buffer == nullptr || BIO_set_write_buffer_size(buffer, size) != 1) {
    BIO_free(buffer);
    return;
  }
  // The socket BIO stays the read BIO and becomes the end of the write chain:
  // one reference for each. SSL_set0_wbio drops the one it held as write BIO.
  BIO_up_ref(sockBio);
  BIO_push(buffer, sockBio);
  SSL_set0_wbio(connection, buffer);
}

void flushTlsWrites(SSL* connection) {
  ERR_clear_error();
  if (BIO_flush(SSL_get_wbio(connection)) != 1) fatalSslError("SSL write problem");
}

void sendWithoutDelay(int sock) {
  int one = 1;
  (void)setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

void shutdownTls(SSL* connection, std::time_t start, const char* label, const char* readEnd, bool peerClosed) {
  printDebug("%s%2.0f seconds to read%s", label, std::difftime(std::time(nullptr), start), readEnd);
  ERR_clear_error();
  int shutdown = SSL_shutdown(connection);
  printDebug("%s%2.0f seconds to shutdown\n", label, std::difftime(std::time(nullptr), start));
  if (peerClosed && shutdown != 1) fatalSslError("Shutdown failed");
  // The service may have closed after a complete reply: its reset or close
  // is no failure of this exchange.
  ERR_clear_error();
}

ReplyReader::Options serviceReplyOptions() {
  ReplyReader::Options options;
  options.maxHeader = kReplyBufferSize;
  options.maxBody = kReplyBufferSize - 1;
  return options;
}

bool ReplyTally::add(std::size_t length) {
  if (count_ + length >= limit_) return false;
  count_ += length;
  return true;
}

ReadOutcome readTlsReply(SSL* connection, ReplyReader* reader, ReplyTally* tally, bool verbose, bool untilClose) {
  char piece[kPieceSize];
  for (;;) {
    if (verbose) {
      showSpinner();
      printDebug("pending: %d", SSL_pending(connection));
      printDebug("SSL_read");
    }
    ERR_clear_error();
    std::time_t before = std::time(nullptr);
    int n = SSL_read(connection, piece, sizeof piece);
    if (verbose) {
      printDebug("SSL_read_over");
      printDebug("** %2.0f seconds to SSL_read", std::difftime(std::time(nullptr), before));
      printDebug("received %d SSL_read", n);
    }
    switch (classifySslRead(connection, n)) {
      case ReadOutcome::Data: {
        if (verbose) printDebug("SSL_ERROR_NONE");
        // Bytes past the reply's end are not its own, however the service's
        // writes were split into records.
        std::size_t used = reader->feed(piece, static_cast<std::size_t>(n));
        if (!tally->add(used)) fatalError("Return data is too large for buffer");
        if (!untilClose && reader->settled()) return ReadOutcome::Complete;
        break;
      }
      case ReadOutcome::Retry:
        if (verbose) printDebug("SSL_ERROR_WANT_READ");
        break;
      case ReadOutcome::PrematureClose:
        reader->finish();
        std::fflush(stdout);
        std::fputs("SSL Error: Premature close\n", stderr);
        return ReadOutcome::PrematureClose;
      case ReadOutcome::CloseNotify:
        reader->finish();
        return ReadOutcome::CloseNotify;
      case ReadOutcome::Failure:
        fatalSslError("SSL read problem");
      case ReadOutcome::Complete:
        break;  // not a read's class
    }
  }
}

namespace {

// The reply's text before its first empty line, whatever that text is: the
// first header block (an interim reply's too), or the start of a text
// without a header; none when there is no empty line.
std::optional<std::string> textBeforeFirstEmptyLine(const ReplyReader& reply) {
  if (!reply.firstBlock().empty()) return reply.firstBlock();
  if (reply.headerDone()) return std::nullopt;
  HeaderEnd end = findHeaderEnd(reply.body(), 0, false);
  if (end.blockEnd == std::string::npos) return std::nullopt;
  return reply.body().substr(0, end.blockEnd);
}

}  // namespace

int httpsRequest(const std::string& request, ReplyReader* reply, int newlineAfterReply) {
  SslCtxPtr context = loadClientContext();

  printDebug("tcp_connect %s,%d", buildServiceHost.c_str(), buildServicePort);
  UniqueFd sock(tcp_connect(buildServiceHost.c_str(), buildServicePort));
  if (!sock) {
    printPlain("\nFailed to create a socket to remote host.\n");
    return -1;
  }
  int handshake = 0;
  SslPtr connection = startTls(context.get(), sock.get(), &handshake);
  if (handshake <= 0) {
    // Without memory for the connection it fails as a handshake would.
    printPlain("\nSSL connect failed to remote: %d\n",
               connection ? sslErrorClass(connection.get(), handshake) : SSL_ERROR_SSL);
    return -1;
  }

  printDebug("---- Sending: %s", request.c_str());
  printDebug("---- Sending: ");
  printDebug("Sending %d bytes", static_cast<int>(request.size()));
  std::size_t sent = 0;
  while (sent < request.size()) {
    std::size_t length = std::min(kPieceSize, request.size() - sent);
    writeTls(connection.get(), request.data() + sent, length, true);
    sent += length;
    printDebug("Sent %d bytes", static_cast<int>(sent));
  }
  (void)BIO_flush(SSL_get_wbio(connection.get()));

  ReplyTally tally;
  ReplyReader reader(serviceReplyOptions());
  printDebug("Waiting for reply...");
  std::time_t start = std::time(nullptr);
  // An HTTP/1.0 request: the service closes after its reply.
  if (readTlsReply(connection.get(), &reader, &tally, true, true) == ReadOutcome::CloseNotify) {
    printDebug("SSL_ERROR_ZERO_RETURN");
    shutdownTls(connection.get(), start, "** ", "\n", true);
    if (newlineAfterReply) printPlain("\n");
    if (debugEnabled) {
      printPlain("RECEIVING ---\n");
      if (std::optional<std::string> head = textBeforeFirstEmptyLine(reader))
        printPlain("%s\nRECEIVING ---\n", head->c_str());
    }
  }
  *reply = std::move(reader);
  int count = static_cast<int>(tally.count());
  connection.reset();
  context.reset();
  sock.reset();
  return count;
}
