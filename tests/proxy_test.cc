// The http_proxy setting and the CONNECT tunnel, over a socket pair.
#include "installer/proxy.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "setup/output.h"

namespace {

TEST(ProxySettingTest, EnvironmentIsLowerCasedAndBounded) {
  unsetenv("http_proxy");
  EXPECT_EQ(getHttpProxyEnv(), "");
  setenv("http_proxy", "HTTP://Proxy.Example:3128/", 1);
  EXPECT_EQ(getHttpProxyEnv(), "http://proxy.example:3128/");
  setenv("http_proxy", (std::string(4095, 'a') + ":1").c_str(), 1);
  EXPECT_EQ(getHttpProxyEnv(), "");  // would not fit the buffer: ignored
  setenv("http_proxy", (std::string(4093, 'a') + ":1").c_str(), 1);
  EXPECT_EQ(getHttpProxyEnv().size(), 4095u);
  unsetenv("http_proxy");
}

TEST(ProxySettingTest, Addresses) {
  struct Case {
    const char* text;
    int ok;
    const char* host;
    int port;
  } cases[] = {
      {"http://10.1.2.3:3128/", 1, "10.1.2.3", 3128},
      {"10.1.2.3:8080", 1, "10.1.2.3", 8080},
      {"proxy:1", 1, "proxy", 1},
      {"proxy:65535x", 1, "proxy", 65535},
      {"10.1.2.3", 0, "", 0},
      {"10.1.2.3:0", 0, "", 0},
      {"10.1.2.3:65536", 0, "", 0},
      {"10.1.2.3:", 0, "", 0},
      {"10.1.2.3:99999999999999999999", 0, "", 0},
      {"user:secret@proxy:3128", 0, "", 0},
      {"https://proxy:3128", 0, "", 0},  // "https" becomes the host, "//" no port
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string host;
    int port = 0;
    EXPECT_EQ(parseProxyAddress(c.text, &host, &port), c.ok);
    if (c.ok) {
      EXPECT_EQ(host, c.host);
      EXPECT_EQ(port, c.port);
    }
  }
}

TEST(ProxyTunnelTest, RequestBytes) {
  bool tooLarge = true;
  EXPECT_EQ(formatTunnelRequest("build.example.test", 443, &tooLarge),
            "CONNECT build.example.test:443 HTTP/1.1\nHost: build.example.test:443\n\n");
  EXPECT_FALSE(tooLarge);
  std::string cut = formatTunnelRequest(std::string(3000, 'h'), 443, &tooLarge);
  EXPECT_TRUE(tooLarge);
  EXPECT_EQ(cut.size(), 4095u);
}

struct TunnelRun {
  int result;
  std::string request;  // what the proxy side received
  std::string left;     // what stayed in the socket after the answer
  std::string messages;
  std::chrono::milliseconds took{0};  // of the set-up alone
};

// The proxy side reads the request (handed back through a pipe), answers
// with the given pieces (one write each, each after a pause: `pausesMs` in
// order, 20 ms where it names none) and then, `tlsDelayUs` later, sends
// "TLS", which must stay unread by the tunnel set-up.
TunnelRun runTunnel(const std::vector<std::string>& pieces, bool closeAfter = false, useconds_t tlsDelayUs = 20000,
                    const std::vector<int>& pausesMs = {}) {
  int sv[2];
  int report[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  EXPECT_EQ(pipe(report), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(sv[0]);
    close(report[0]);
    char buf[8192];
    ssize_t n = read(sv[1], buf, sizeof buf);
    ssize_t ignored = write(report[1], buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    close(report[1]);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      usleep(static_cast<useconds_t>(i < pausesMs.size() ? pausesMs[i] : 20) * 1000);
      ignored = write(sv[1], pieces[i].data(), pieces[i].size());
    }
    if (!closeAfter) {
      usleep(tlsDelayUs);
      ignored = write(sv[1], "TLS", 3);
    }
    (void)ignored;
    _exit(0);
  }
  close(sv[1]);
  close(report[1]);
  TunnelRun run;
  testing::internal::CaptureStdout();
  auto start = std::chrono::steady_clock::now();
  run.result = openProxyTunnel(sv[0], "build.example.test", 443);
  run.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  run.messages = testing::internal::GetCapturedStdout();
  char buf[8192];
  ssize_t n = read(sv[0], buf, sizeof buf);
  if (n > 0) run.left.assign(buf, static_cast<std::size_t>(n));
  n = read(report[0], buf, sizeof buf);
  if (n > 0) run.request.assign(buf, static_cast<std::size_t>(n));
  close(sv[0]);
  close(report[0]);
  waitpid(pid, nullptr, 0);
  return run;
}

const char kRequest[] = "CONNECT build.example.test:443 HTTP/1.1\nHost: build.example.test:443\n\n";

TEST(ProxyTunnelTest, AcceptedAnswers) {
  const std::vector<std::vector<std::string>> answers = {
      {"HTTP/1.1 200 Connection established\r\n\r\n"},
      {"HTTP/1.0 200 Connection established\r\nProxy-agent: x\r\n\r\n"},
      {"HTTP/1.1 20", "0 Connection", " established\r\n", "\r\n"},  // in pieces
      {"HTTP/1.1 200 OK\n\n"},
  };
  for (const auto& pieces : answers) {
    SCOPED_TRACE(pieces[0]);
    TunnelRun run = runTunnel(pieces);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.request, kRequest);
    EXPECT_EQ(run.left, "TLS");  // nothing past the blank line was taken
    EXPECT_EQ(run.messages, "");
  }
}

TEST(ProxyTunnelTest, RefusedAnswers) {
  TunnelRun run = runTunnel({"HTTP/1.1 407 Proxy Authentication Required\r\n\r\n"});
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.messages,
            "Proxy returned unexpected response: HTTP/1.1 407 Proxy Authentication Required\r\n\r\n");
  run = runTunnel({"HTTP/1.1 200\r\n\r\n"});  // no blank after the code
  EXPECT_EQ(run.result, 0);
}

TEST(ProxyTunnelTest, ProxyClosingEarly) {
  errno = ENOENT;  // whatever an earlier call left must not show
  TunnelRun run = runTunnel({}, true);
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.messages,
            "Error reading from proxy: the proxy closed the connectionProxy returned unexpected response: ");
  // An answer cut off before its blank line is still judged by its text.
  run = runTunnel({"HTTP/1.1 200 Connection established\r\n"}, true);
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(run.messages, "");
}

// A proxy that sends its status line without the blank line and then waits
// for the client: the set-up goes on once nothing more comes, also on a
// path whose round trip is slow.
TEST(ProxyTunnelTest, StatusLineAloneThenTheProxyWaits) {
  const struct {
    const char* answer;
    int statusLineMs;  // from the request to the status line
  } cases[] = {
      {"HTTP/1.1 200 Connection established\r\n", 20},
      {"HTTP/1.0 200 OK\nProxy-agent: x\r\n", 20},
      {"HTTP/1.1 200 Connection established\r\n", 600},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.answer) + " after " + std::to_string(c.statusLineMs) + " ms");
    TunnelRun run = runTunnel({c.answer}, false, 3000000, {c.statusLineMs});
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.messages, "");
    EXPECT_EQ(run.left, "TLS");  // sent only after the set-up was done
    EXPECT_LT(run.took, std::chrono::milliseconds(2500));
  }
}

// A proxy whose header lines come apart from its status line, as a proxy
// whose second write waits for the first one's acknowledgement sends them:
// a round trip later. The wait for them grows with the time the status
// line took, so on a slow path they are still read as part of the answer.
TEST(ProxyTunnelTest, HeaderLinesARoundTripAfterTheStatusLine) {
  const struct {
    const char* name;
    int statusLineMs;  // from the request to the status line
    int headersMs;     // from the status line to the header lines
  } cases[] = {
      {"fast path", 20, 300},
      {"slow path, headers later than half a second", 600, 800},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TunnelRun run = runTunnel({"HTTP/1.1 200 Connection established\r\n", "Proxy-agent: demo\r\n\r\n"}, false,
                              20000, {c.statusLineMs, c.headersMs});
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.messages, "");
    EXPECT_EQ(run.left, "TLS");  // the header lines were taken, the tunnel's bytes not
  }
}

TEST(ProxyTunnelTest, EndlessAnswerIsBounded) {
  TunnelRun run = runTunnel({std::string(5000, 'x')});
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.messages.size(), std::string("Proxy returned unexpected response: ").size() + 4095);
}

}  // namespace
