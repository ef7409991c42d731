// TLS client transport to the build service.
//
// - Every exchange is one new TCP connection (through the http_proxy tunnel
//   when one is set) and one new TLS handshake presenting clientKeyPem; the
//   service's certificate is not checked, and there are no time-outs.
// - Order of one exchange: key file, initSslContext, removal of the key
//   file, tcp_connect, handshake, request, reply, close notification,
//   release of connection, context and socket. A GET's reply is read until
//   the service closes; the upload's ends by its own framing when it has
//   one. Either way the reply is read once, by the reply reader that then
//   holds it; bytes after the reply's end are not its own.
// - The key file is created 0600 under /tmp and removed on every path,
//   fatal exits included.
// - Fatal TLS failures end the process with status 0 (fatalSslError).
#pragma once

#include <openssl/ssl.h>

#include <cstddef>
#include <ctime>
#include <memory>
#include <string>

#include "installer/reply_reader.h"
#include "installer/tls.h"
#include "setup/settings.h"

// Largest reply kept, with room for the terminating zero of the original
// buffer: a reply that would reach this size ends the process.
constexpr std::size_t kReplyBufferSize = 52428800;
// Requests and replies move in pieces of at most this many bytes.
constexpr std::size_t kPieceSize = 4096;

// One GET exchange. The reply byte count, or -1 when the connection or the
// handshake failed (*reply then untouched). *reply becomes the reader that
// read the reply, to its own end (its header, its decoded body and how it
// ended): whatever judges the reply takes it from there, and the reply's
// bytes are not kept besides. newlineAfterReply ends the spinner line after
// a close notification, also when silent.
int httpsRequest(const std::string& request, ReplyReader* reply, int newlineAfterReply);

// A connected TCP socket to host:port (through the proxy tunnel when
// http_proxy names one), or -1 after its message. Descriptor 0 is valid.
int tcp_connect(const char* host, int port);

// A new TLS client context with the certificate and key of the PEM file;
// ends the process on failure. Installs the empty SIGPIPE handler.
SSL_CTX* initSslContext(const char* pemPath, const char* passPhrase);
void destroySslContext(SSL_CTX* context);
// Returns when the write succeeded; otherwise "SSL write problem", fatal.
void checkSslWrite(SSL* connection, int result);
// The message, the TLS library's queued errors, exit status 0.
[[noreturn]] void fatalSslError(const char* message);

// The temporary copy of clientKeyPem for one context load. The file exists
// only between create() and the end of load(); fatal exits remove it too.
class ClientKeyFile {
 public:
  ClientKeyFile() = default;
  ClientKeyFile(const ClientKeyFile&) = delete;
  ClientKeyFile& operator=(const ClientKeyFile&) = delete;
  ~ClientKeyFile() { remove(); }
  // Writes clientKeyPem to a new "/tmp/XXXXXX" file; fatal on failure.
  void create();
  // initSslContext on the file, then removes it.
  SSL_CTX* load();
  void remove();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The client context of one exchange: the key file is made, loaded and
// removed again. Fatal when the key can't be written or loaded.
SslCtxPtr loadClientContext();

// One SSL_write of the whole piece; "SSL write problem" is fatal. With
// traceResult the write's result is traced before it is checked.
void writeTls(SSL* connection, const void* data, std::size_t length, bool traceResult = false);

// Gathers the TLS records written on the connection into socket writes of up
// to `size` bytes: a long stream of small records then costs far fewer
// system calls and packets. The records and their order are unchanged; each
// SSL_write still makes its own record. Without memory for the buffer the
// records go out one by one as before. Call flushTlsWrites before waiting
// for the peer.
void bufferTlsWrites(SSL* connection, int size);
// Writes out what is gathered; a failure is "SSL write problem", fatal.
void flushTlsWrites(SSL* connection);

// Turns Nagle's algorithm off on the socket (TCP_NODELAY): each write then
// goes out at once, where a small last segment would otherwise wait until the
// peer acknowledged the data before it, and the peer may delay that some
// 40 ms. A socket that refuses the option works as it did.
void sendWithoutDelay(int sock);

// Sends the client's close notification once the reply is in. Traces, each
// made of label, the seconds since start and its text: " seconds to read"
// followed by readEnd, then " seconds to shutdown\n". After the service's
// own close notification (peerClosed) a shutdown that fails is fatal. After
// a reply complete by its framing the service may keep the connection: the
// notification is sent without waiting for the service's, and whether it
// could be sent no longer matters.
void shutdownTls(SSL* connection, std::time_t start, const char* label, const char* readEnd, bool peerClosed);

// How the service's replies are read: bounded as the reply buffer is, the
// body kept.
ReplyReader::Options serviceReplyOptions();

class ReplyTally;
// Reads a reply into `reader`, counting in tally the bytes the reader takes
// as the reply's; bytes after the reply's end are not its own. With
// untilClose the read goes on until the service closes, as the GETs wait
// for it: PrematureClose (after "SSL Error: Premature close\n" on standard
// error) or CloseNotify. Without it, a reply that ends by its own framing
// ends the read at once (Complete: the service may keep the connection
// open); one without such framing is read to the close too. The reader is
// told when the connection ended. On Complete and CloseNotify the caller
// then shuts down. verbose draws the spinner and the read traces of the
// GETs. Ends the process on a read error or a reply too large for the
// buffer.
ReadOutcome readTlsReply(SSL* connection, ReplyReader* reader, ReplyTally* tally, bool verbose, bool untilClose);

// Counts a reply's bytes: it may reach kReplyBufferSize - 1 bytes, the
// room the reply buffer had beside its terminating zero.
class ReplyTally {
 public:
  explicit ReplyTally(std::size_t limit = kReplyBufferSize) : limit_(limit) {}
  // false when the reply with these bytes would reach the limit.
  bool add(std::size_t length);
  std::size_t count() const { return count_; }

 private:
  std::size_t limit_;
  std::size_t count_ = 0;
};
