// Fetching a manager's public key from the manager itself.
//
// - The URL names the scheme ("http://" or "https://", exact case; none
//   means plain HTTP), the host and an optional port; a path is ignored and
//   the request always asks for "/public_info".
// - One connection per fetch, always direct (no proxy, no client
//   certificate). HTTPS is TLS 1.0 only and the server certificate is not
//   checked: the key is trusted on first use. That context alone runs at
//   security level 0, since TLS 1.0 is refused at the library's default.
// - The reply is read until the peer closes or 8095 bytes are in, however
//   many segments or records it comes in; over plain HTTP also until its
//   Content-Length is met (installer/reply_framing.h, chunked not counted)
//   or the key's end line (keyEndLineEnd) is in, as a server may keep the
//   connection open after its reply. Bytes that come in the same receive
//   are kept too. The key is the reply from "-----BEGIN PUBLIC KEY-----"
//   to its end; beyond the framing, the status line and headers are not
//   looked at.
// - A broken connection never raises SIGPIPE in the tool during a fetch.
// - getServerKey and keyNameFromUrl are declared in config/config.h.
#pragma once

#include <memory>
#include <string>

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

// A connected TCP socket, or none (after "Couldn't create socket\n" or
// "Couldnt connect to remote host\n"; silently when the resolver cannot be
// set up).
UniqueFd connectToHost(const std::string& host, int port);

// The reply text, or nothing.
OptText httpGetPublicInfo(const ServerUrl& url);
OptText httpsGetPublicInfo(const ServerUrl& url);
