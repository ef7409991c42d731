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
//   lines ended by LF alone taken too), the same way over both transports:
//   until it ends by its framing (its length, its last chunk, a status
//   without a body), the peer closes, 8095 bytes are in, a body read to the
//   close holds the key's end line (keyEndLineEnd), or the body so far shows
//   it can't hold a key (text ended by a NUL without the marker; without
//   framing also text without the marker that could not begin one).
//   Bytes after the reply's end are not kept.
// - The key is the decoded body, up to a NUL, from "-----BEGIN PUBLIC
//   KEY-----" to its end; a body framed by its length or chunks gives a key
//   only when it is whole. A reply that does not begin with "HTTP/" is all
//   body. The status line is not looked at.
// - A broken connection never raises SIGPIPE in the tool during a fetch.
// - getServerKey and keyNameFromUrl are declared in config/config.h.
#pragma once

#include <functional>
#include <memory>
#include <string>

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

// Where the key's end line ends in a reply: the first "-----END PUBLIC
// KEY-----" after the first "-----BEGIN PUBLIC KEY-----" that is followed by
// its line end (LF, or CR LF), counted past that line end; npos while there
// is none.
std::size_t keyEndLineEnd(const std::string& reply);

// The request as sent: the template with "/public_info" and `hostHeader`.
std::string buildKeyRequest(const char* hostHeader);

// Nothing, after "Invalid value for port.\n", when the port after ":" is
// below 1 or above 65535.
std::unique_ptr<ServerUrl> parseServerUrl(const char* url);

// How a key reply is read: bounded as its buffer is.
ReplyReader::Options keyReplyOptions();
// True once the fetch has read what it needs of the reply (see above).
bool keyReplyEnded(const ReplyReader& reply);
// The key the reply read holds, or nothing.
OptText keyInReply(const ReplyReader& reply);

// One receive: the bytes read into `room` bytes at `into`, 0 at the end,
// -1 on a failure.
using KeyReceive = std::function<long(char* into, std::size_t room)>;
// Reads a key reply into `reply` (and its bytes into *raw) until
// keyReplyEnded; false when the first receive failed. A failure later ends
// the reply as the peer's close does.
bool readKeyReply(const KeyReceive& receive, ReplyReader* reply, std::string* raw);

// A connected TCP socket, or none (after "Couldn't create socket\n" or
// "Couldnt connect to remote host\n"; silently when the resolver cannot be
// set up).
UniqueFd connectToHost(const std::string& host, int port);

// The reply read into `reply` and *raw; false when there is none.
bool httpGetPublicInfo(const ServerUrl& url, ReplyReader* reply, std::string* raw);
bool httpsGetPublicInfo(const ServerUrl& url, ReplyReader* reply, std::string* raw);
