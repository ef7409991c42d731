// The http_proxy setting and the CONNECT tunnel, over a socket pair.
#include "installer/proxy.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
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

// How long the proxy side waits for the set-up to end before it gives up
// and closes: a set-up that waits on a proxy's silence fails the test then
// rather than hanging it.
constexpr int kProxyPatienceMs = 10000;
constexpr int kProxyGaveUp = 3;  // the proxy side's exit status then

// The proxy side reads the request (handed back through a pipe), answers
// with the given pieces (one write each, each after a pause: `pausesMs` in
// order, 20 ms where it names none) and then, once the set-up is done,
// sends "TLS", which must stay unread by it; or it closes after the pieces
// (closeAfter).
TunnelRun runTunnel(const std::vector<std::string>& pieces, bool closeAfter = false,
                    const std::vector<int>& pausesMs = {}) {
  int sv[2];
  int report[2];
  int done[2];  // the set-up has ended
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  EXPECT_EQ(pipe(report), 0);
  EXPECT_EQ(pipe(done), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(sv[0]);
    close(report[0]);
    close(done[1]);
    char buf[8192];
    ssize_t n = read(sv[1], buf, sizeof buf);
    ssize_t ignored = write(report[1], buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    close(report[1]);
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      usleep(static_cast<useconds_t>(i < pausesMs.size() ? pausesMs[i] : 20) * 1000);
      ignored = write(sv[1], pieces[i].data(), pieces[i].size());
    }
    if (!closeAfter) {
      pollfd p{done[0], POLLIN, 0};
      if (poll(&p, 1, kProxyPatienceMs) != 1) _exit(kProxyGaveUp);
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
  // The read end stays open here too: no SIGPIPE when the proxy side is gone.
  EXPECT_EQ(write(done[1], "x", 1), 1);
  char buf[8192];
  ssize_t n = read(sv[0], buf, sizeof buf);
  if (n > 0) run.left.assign(buf, static_cast<std::size_t>(n));
  n = read(report[0], buf, sizeof buf);
  if (n > 0) run.request.assign(buf, static_cast<std::size_t>(n));
  close(sv[0]);
  close(report[0]);
  close(done[0]);
  close(done[1]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) == kProxyGaveUp)
      << "the set-up waited " << kProxyPatienceMs << " ms for more of the answer";
  return run;
}

const char kRequest[] = "CONNECT build.example.test:443 HTTP/1.1\nHost: build.example.test:443\n\n";

TEST(ProxyTunnelTest, AcceptedAnswers) {
  const std::vector<std::vector<std::string>> answers = {
      {"HTTP/1.1 200 Connection established\r\n\r\n"},
      {"HTTP/1.0 200 Connection established\r\nProxy-agent: x\r\n\r\n"},
      {"HTTP/1.1 20", "0 Connection", " established\r\n", "\r\n"},  // in pieces
      {"HTTP/1.1 200 OK\n\n"},
      // Bytes after the blank line in the same write go with the answer:
      // nothing of the tunnel can come before the TLS client has spoken.
      {"HTTP/1.1 200 Connection established\r\nContent-Length: 11\r\n\r\n<p>ok</p>\r\n"},
  };
  for (const auto& pieces : answers) {
    SCOPED_TRACE(pieces[0]);
    TunnelRun run = runTunnel(pieces);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.request, kRequest);
    EXPECT_EQ(run.left, "TLS");  // the set-up neither waited for it nor took it
    EXPECT_EQ(run.messages, "");
  }
}

TEST(ProxyTunnelTest, RefusedAnswers) {
  const std::vector<std::string> answers = {
      "HTTP/1.1 407 Proxy Authentication Required\r\n\r\n",
      "HTTP/1.1 200\r\n\r\n",  // no blank after the code
      // Part of a status line, then nothing until the client goes on: the
      // pause ends the answer, which is judged by what came.
      "HTTP/1.1 ",
      "H",
  };
  for (const std::string& answer : answers) {
    SCOPED_TRACE(answer);
    TunnelRun run = runTunnel({answer});
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.messages, "Proxy returned unexpected response: " + answer);
    EXPECT_EQ(run.left, "TLS");
  }
}

// The meter's handlers stay installed after the upload, so the tunnels of
// the reply loop are set up while a resized terminal sends SIGWINCH: a
// stream of signals must not keep the pause after a stalled answer from
// ending.
TEST(ProxyTunnelTest, StalledAnswerEndsUnderAStreamOfSignals) {
  struct sigaction quiet {}, previous {};
  // A handled signal cuts a poll short even with SA_RESTART, which only
  // spares this test's own reads.
  quiet.sa_handler = [](int) {};
  quiet.sa_flags = SA_RESTART;
  sigemptyset(&quiet.sa_mask);
  ASSERT_EQ(sigaction(SIGWINCH, &quiet, &previous), 0);
  std::atomic<bool> stop{false};
  pthread_t setUp = pthread_self();
  std::thread resizer([&] {
    while (!stop) {
      pthread_kill(setUp, SIGWINCH);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });
  TunnelRun run = runTunnel({"HTTP/1.1 "});
  stop = true;
  resizer.join();
  sigaction(SIGWINCH, &previous, nullptr);
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(run.messages, "Proxy returned unexpected response: HTTP/1.1 ");
  EXPECT_EQ(run.left, "TLS");  // the proxy side had not given up
  EXPECT_LT(run.took, std::chrono::milliseconds(kProxyPatienceMs / 2));
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

// A proxy that sends its status line, or only part of it, without the blank
// line and then waits for the client: the set-up goes on once nothing more
// comes, also on a path whose round trip is slow. The proxy side sends the
// tunnel's first bytes only once the set-up is done.
TEST(ProxyTunnelTest, StatusLineAloneThenTheProxyWaits) {
  const struct {
    const char* answer;
    int statusLineMs;  // from the request to the status line
  } cases[] = {
      {"HTTP/1.1 200 Connection established\r\n", 20},
      {"HTTP/1.0 200 OK\nProxy-agent: x\r\n", 20},
      {"HTTP/1.1 200 Connection established\r\n", 600},
      {"HTTP/1.1 200 Conn", 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.answer) + " after " + std::to_string(c.statusLineMs) + " ms");
    TunnelRun run = runTunnel({c.answer}, false, {c.statusLineMs});
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.messages, "");
    EXPECT_EQ(run.left, "TLS");  // sent only after the set-up was done
    // The fault is a wait without end (the proxy side gives up after its
    // patience); the rest is room for a busy machine, where each moment
    // the proxy side is late doubles the pause.
    EXPECT_LT(run.took, std::chrono::milliseconds(kProxyPatienceMs / 2));
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
                              {c.statusLineMs, c.headersMs});
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
