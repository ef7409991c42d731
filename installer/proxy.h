// The http_proxy setting and the CONNECT tunnel through it.
//
// - getHttpProxyEnv gives the lower-cased value of http_proxy, "" when it is
//   unset or does not fit its 4096-byte buffer (such a value is ignored).
// - parseProxyAddress accepts an optional "http://", a host, ':' and a port
//   from 1 to 65535 (text after the digits is ignored); 1 when usable.
// - openProxyTunnel sends the CONNECT request for host:port on a connected
//   socket and reads the proxy's answer up to its blank line (bounded to
//   4095 bytes, in as many pieces as it comes; its lines may end with LF
//   alone; bytes after the blank line in the same read are not the
//   answer's and are dropped; once any byte is in, a pause without more
//   bytes ends it too: three seconds, or twice the time the first bytes
//   took when that is longer); 1 when the answer holds " 200 ".
#pragma once

#include <string>

constexpr std::size_t kProxyBufferSize = 4096;

std::string getHttpProxyEnv();
int parseProxyAddress(const std::string& proxy, std::string* host, int* port);

// The CONNECT request's exact bytes (lines end with LF alone), cut to
// kProxyBufferSize - 1; *tooLarge tells whether it had to be cut.
std::string formatTunnelRequest(const std::string& host, int port, bool* tooLarge);
int openProxyTunnel(int sock, const std::string& host, int port);
