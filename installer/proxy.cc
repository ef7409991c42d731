#include "installer/proxy.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "installer/reply_reader.h"
#include "setup/output.h"

std::string getHttpProxyEnv() {
  const char* value = std::getenv("http_proxy");
  if (value == nullptr) return std::string();
  std::string text(value);
  // A value that does not fit the buffer with its terminator is not used:
  // a cut one could name a different host or port.
  if (text.size() >= kProxyBufferSize) return std::string();
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

int parseProxyAddress(const std::string& proxy, std::string* host, int* port) {
  std::string rest = proxy;
  if (rest.compare(0, 7, "http://") == 0) rest.erase(0, 7);
  std::size_t colon = rest.find(':');
  if (colon == std::string::npos) return 0;
  const char* digits = rest.c_str() + colon + 1;
  // The port is the number at the start of what follows; a trailing "/" or
  // any other text after the digits is ignored.
  long value = 0;
  const char* p = digits;
  while (*p >= '0' && *p <= '9' && value <= 65535) value = value * 10 + (*p++ - '0');
  if (p == digits || value < 1 || value > 65535) return 0;
  *host = rest.substr(0, colon);
  *port = static_cast<int>(value);
  return 1;
}

std::string formatTunnelRequest(const std::string& host, int port, bool* tooLarge) {
  std::string request =
      formatNarrow("CONNECT %s:%d HTTP/1.1\nHost: %s:%d\n\n", host.c_str(), port, host.c_str(), port);
  *tooLarge = request.size() > kProxyBufferSize - 1;
  if (*tooLarge) request.resize(kProxyBufferSize - 1);
  return request;
}

namespace {

// How long the rest of an answer may take once its first bytes are in, at
// the least. A proxy's header lines may come well after its status line (a
// busy or distant proxy, or its second write held back until the first is
// acknowledged), so the pause is a few seconds, or twice the time the first
// bytes took to come when that is longer; a proxy that never sends its
// blank line is still given up on.
constexpr int kAnswerPauseMs = 3000;

int answerPauseMs(std::chrono::steady_clock::duration firstBytesTook) {
  long long took = std::chrono::duration_cast<std::chrono::milliseconds>(firstBytesTook).count();
  long long pause = std::max<long long>(kAnswerPauseMs, 2 * took);
  return static_cast<int>(std::min<long long>(pause, std::numeric_limits<int>::max()));
}

// True once something more can be read within the pause. The pause ends
// at a fixed moment: a signal (the meter's SIGWINCH or SIGALRM) that cuts a
// wait short must not start it over, or a stream of them would never let it
// end.
bool morePending(int sock, int waitMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    pollfd p{sock, POLLIN, 0};
    int n = ::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
    if (n < 0 && errno == EINTR) continue;
    return n > 0;
  }
}

// Reads the answer up to its blank line, in as many pieces as it comes.
// Bytes after the blank line that come in the same read are not the
// answer's (a body, or junk) and are dropped, as after any reply's end: the
// TLS client speaks first, so nothing of the tunnel can be there yet. Some
// proxies send a status line alone, or only
// part of one, and then wait for the client: once any byte is in, a pause
// without more bytes ends the answer, and the answer is judged by what came.
// `sent` is when the request went out.
std::string readProxyAnswer(int sock, std::chrono::steady_clock::time_point sent) {
  std::string answer;
  char piece[kProxyBufferSize];
  int pauseMs = -1;  // set once the first bytes are in
  while (answer.size() < kProxyBufferSize - 1) {
    if (pauseMs >= 0 && !morePending(sock, pauseMs)) break;
    ssize_t n = recv(sock, piece, kProxyBufferSize - 1 - answer.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // Only a proxy that closed without answering at all is reported; a
      // cut answer is judged by what arrived.
      if (n == 0 && answer.empty()) printError(L"Error reading from proxy: %s", "the proxy closed the connection");
      break;
    }
    if (pauseMs < 0) pauseMs = answerPauseMs(std::chrono::steady_clock::now() - sent);
    answer.append(piece, static_cast<std::size_t>(n));
    // It ends at its blank line, found as a reply's header block's end is.
    HeaderEnd end = findHeaderEnd(answer, 0, true);
    if (end.blockEnd != std::string::npos) {
      answer.resize(end.bodyStart);
      break;
    }
  }
  return answer;
}

}  // namespace

int openProxyTunnel(int sock, const std::string& host, int port) {
  bool tooLarge = false;
  std::string request = formatTunnelRequest(host, port, &tooLarge);
  if (tooLarge) printError(L"Error porxy url too large.\n");
  auto sent = std::chrono::steady_clock::now();
  ssize_t written = write(sock, request.data(), request.size());
  if (written < static_cast<ssize_t>(request.size()))
    printError(L"Error writing to proxy: %s", std::strerror(errno));
  std::string answer = readProxyAnswer(sock, sent);
  if (answer.find(" 200 ") == std::string::npos) {
    printError(L"Proxy returned unexpected response: %s", answer.c_str());
    return 0;
  }
  return 1;
}
