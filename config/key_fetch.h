// Fetching a manager's public key from the manager itself.
//
// - The URL names the scheme ("http://" or "https://", exact case; none
//   means plain HTTP), the host and an optional port; a path is ignored and
//   the request always asks for "/public_info".
// - One connection per fetch, always direct (no proxy, no client
//   certificate). HTTPS is TLS 1.0 only and the server certificate is not
//   checked: the key is trusted on first use. That context alone runs at
//   security level 0, since TLS 1.0 is refused at the library's default.
// - The reply is read by the one reply reader (installer/reply_reader.h,
//   lines ended by LF alone taken too), the same way over both transports.
//   It ends by its framing (its length, its last chunk, a status without a
//   body); without framing, as soon as its body holds a whole key; when the
//   peer closes or the connection fails; when 8095 bytes are in; when the
//   body can't be decoded or decodes past 8095 bytes; or, once its first
//   bytes are in, when nothing more comes for kKeyReplyPauseMs (as a close
//   would; for the first bytes the fetch waits as long as the peer lets
//   it). Bytes after the reply's end are not kept.
// - A key is whole or nothing: the decoded body's text (which ends at a
//   NUL) from "-----BEGIN PUBLIC KEY-----" through the first "-----END
//   PUBLIC KEY-----" after it and that line's end (LF or CR LF; the text
//   may also end right after it). What follows the key is not part of it.
//   A body framed by its length or chunks gives a key only once read whole
//   and decoded within 8095 bytes; without framing the key must lie within
//   the first 8095 bytes of the body. A header that frames the reply in
//   more ways than one, or holds a name that is not a token, gives no key
//   (the reply reader's rule for every reply). A reply that does not begin
//   with "HTTP/" is all body. The status line is not looked at.
// - A broken connection never raises SIGPIPE in the tool during a fetch.
// - getServerKey and keyNameFromUrl are declared in config/config.h.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "installer/reply_reader.h"
#include "setup/settings.h"
#include "setup/unique_fd.h"

struct ServerUrl {
  int scheme = 0;  // 0 not set, 1 plain HTTP, 2 HTTPS
  std::string host;
  int port = 0;
};

constexpr int kSchemeHttp = 1;
constexpr int kSchemeHttps = 2;
constexpr std::size_t kReplyBufferSize = 8096;  // the reply and its terminator

extern const char* keyRequestFormat;
const char* getPublicInfoPath();

// How long a reply that holds no whole key yet may fall silent before it
// is taken as ended: a manager may send text before its key, or the key in
// pieces, a moment apart.
constexpr int kKeyReplyPauseMs = 3000;

// Where the key ends in `text`: past the line end (LF, or CR LF) of the
// first "-----END PUBLIC KEY-----" after the first "-----BEGIN PUBLIC
// KEY-----", or, when `textEnded`, at the text's end where that end marker
// (and at most a CR) closes it; npos while there is no whole key.
std::size_t keyEndLineEnd(std::string_view text, bool textEnded);

// The request as sent: the template with "/public_info" and `hostHeader`.
std::string buildKeyRequest(const char* hostHeader);

// Nothing, after "Invalid value for port.\n", when the port after ":" is
// below 1 or above 65535.
std::unique_ptr<ServerUrl> parseServerUrl(const char* url);

// How a key reply is read: bounded as its buffer is.
ReplyReader::Options keyReplyOptions();
// True once the fetch has read what it needs of the reply (see above).
bool keyReplyEnded(const ReplyReader& reply);
// The whole key the reply read holds, or nothing.
OptText keyInReply(const ReplyReader& reply);

// One receive: the bytes read into `room` bytes at `into`, 0 at the end,
// kReceiveFailed on a failure, kReceiveSilent when nothing came within the
// socket's receive time-out.
using KeyReceive = std::function<long(char* into, std::size_t room)>;
constexpr long kReceiveFailed = -1;
constexpr long kReceiveSilent = -2;
// Reads a key reply from `sock` through `receive` into `reply` (and its
// bytes into *raw) until keyReplyEnded; false when the first receive
// failed. Once the first bytes are in, the socket waits at most
// kKeyReplyPauseMs for more. A failure or a silence later ends the reply as
// the peer's close does.
bool readKeyReply(int sock, const KeyReceive& receive, ReplyReader* reply, std::string* raw);

// A connected TCP socket, or none (after "Couldn't create socket\n" or
// "Couldnt connect to remote host\n"; silently when the resolver cannot be
// set up).
UniqueFd connectToHost(const std::string& host, int port);

// The reply read into `reply` and *raw; false when there is none.
bool httpGetPublicInfo(const ServerUrl& url, ReplyReader* reply, std::string* raw);
bool httpsGetPublicInfo(const ServerUrl& url, ReplyReader* reply, std::string* raw);
