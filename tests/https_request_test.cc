// GET exchanges against the fake build service, directly and through the
// CONNECT proxy, inside a private network namespace.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "installer/state.h"
#include "installer/transport.h"
#include "tests/harness/build_service.h"
#include "tests/harness/run.h"
#include "tests/harness/sandbox.h"

namespace {

using harness::FakeBuildService;
using harness::ServiceAnswer;

class HttpsRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.writeFile("/etc/hosts", "127.0.0.1 localhost\n127.0.0.1 build.test\n");
    box_.writeFile("/etc/resolv.conf", "nameserver 127.0.0.53\noptions timeout:1 attempts:1\n");
    buildServiceHost = "build.test";
    unsetenv("http_proxy");
    silentMode = 1;
    debugEnabled = 0;
  }
  void TearDown() override { unsetenv("http_proxy"); }
  harness::Sandbox box_;
};

bool tmpIsEmpty() { return harness::tmpListing().empty(); }

// A reply framed by its length as the reader that read it holds it: the
// header block, its empty line and the body.
std::string held(const ReplyReader& reply) { return reply.headerBlock() + "\r\n\r\n" + reply.body(); }

TEST_F(HttpsRequestTest, RequestBytesReplyAndNewlineAfterACloseNotification) {
  harness::BuildServiceRoutes routes;
  std::string reply = harness::replyOk("6.0.1-35\n");
  routes.on("/check-module.php?cmajor=4&gen=4&beta=0", {reply, true});
  FakeBuildService service(routes);
  std::string request = formatGetRequest("/check-module.php?cmajor=4&gen=4&beta=0");
  ReplyReader text;
  testing::internal::CaptureStdout();
  int count = httpsRequest(request, &text, 1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(count, static_cast<int>(reply.size()));
  EXPECT_EQ(held(text), reply);
  EXPECT_EQ(out, "\n");  // also when silent
  ASSERT_EQ(service.requests(1).size(), 1u);
  EXPECT_EQ(service.requests()[0],
            "GET /check-module.php?cmajor=4&gen=4&beta=0 HTTP/1.0\r\nHost: build.test\r\n\r\n\r\n");
  EXPECT_EQ(service.clientCertificates(1), std::vector<bool>{true});
  EXPECT_TRUE(tmpIsEmpty());  // the key file is gone
}

TEST_F(HttpsRequestTest, PrematureCloseStillGivesTheReply) {
  harness::BuildServiceRoutes routes;
  std::string reply = harness::replyNotFound();
  routes.on("/index.php", {reply, false});
  FakeBuildService service(routes);
  ReplyReader text;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int count = httpsRequest(formatGetRequest("/index.php"), &text, 1);
  std::string err = testing::internal::GetCapturedStderr();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(count, static_cast<int>(reply.size()));
  EXPECT_EQ(held(text), reply);
  EXPECT_EQ(err, "SSL Error: Premature close\n");
  EXPECT_EQ(out, "");  // no newline without the close notification
}

// The GET reads on to the service's close, but bytes after the reply's own
// end are not the reply's.
TEST_F(HttpsRequestTest, BytesAfterTheReplysEndAreNotKept) {
  harness::BuildServiceRoutes routes;
  std::string reply = harness::replyOk("6.0.1-35\n");
  routes.on("/check-module.php?cmajor=4&gen=4&beta=0", {reply + "JUNK AFTER THE END", true});
  FakeBuildService service(routes);
  ReplyReader text;
  testing::internal::CaptureStdout();
  int count = httpsRequest(formatGetRequest("/check-module.php?cmajor=4&gen=4&beta=0"), &text, 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(count, static_cast<int>(reply.size()));
  EXPECT_EQ(held(text), reply);
}

TEST_F(HttpsRequestTest, EmptyReplyAndDebugHeaderDump) {
  harness::BuildServiceRoutes routes;
  routes.on("/empty", {"", true});
  routes.on("/page", {harness::replyOk("body"), true});
  FakeBuildService service(routes);
  ReplyReader text;
  EXPECT_EQ(httpsRequest(formatGetRequest("/empty"), &text, 0), 0);
  EXPECT_FALSE(text.headerDone());
  EXPECT_EQ(text.body(), "");
  debugEnabled = 1;
  testing::internal::CaptureStdout();
  httpsRequest(formatGetRequest("/page"), &text, 0);
  std::string out = testing::internal::GetCapturedStdout();
  debugEnabled = 0;
  EXPECT_NE(out.find("RECEIVING ---\nHTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 4\r\n"
                     "Connection: close\nRECEIVING ---\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("debug: tcp_connect build.test,443\n"), std::string::npos);
}

// The dump shows the reply's text before its first empty line, whatever
// that text is.
TEST_F(HttpsRequestTest, DebugHeaderDumpIsTheTextBeforeTheFirstEmptyLine) {
  const struct {
    const char* path;
    std::string reply;
    std::string dump;
  } cases[] = {
      {"/interim", "HTTP/1.1 100 Continue\r\n\r\n" + harness::replyOk("body"),
       "RECEIVING ---\nHTTP/1.1 100 Continue\nRECEIVING ---\n"},
      {"/text", "not a status line\r\nA: b\r\n\r\nrest", "RECEIVING ---\nnot a status line\r\nA: b\nRECEIVING ---\n"},
      {"/none", "HTTP/1.1 200 OK\r\nno empty line", "RECEIVING ---\n"},
  };
  harness::BuildServiceRoutes routes;
  for (const auto& c : cases) routes.on(c.path, {c.reply, true});
  FakeBuildService service(routes);
  debugEnabled = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    ReplyReader text;
    testing::internal::CaptureStdout();
    EXPECT_EQ(httpsRequest(formatGetRequest(c.path), &text, 0), static_cast<int>(c.reply.size()));
    std::string out = testing::internal::GetCapturedStdout();
    std::size_t dump = out.find("RECEIVING ---\n");
    ASSERT_NE(dump, std::string::npos) << out;
    EXPECT_EQ(out.substr(dump), c.dump);
  }
  debugEnabled = 0;
}

TEST_F(HttpsRequestTest, LongRequestGoesInPiecesOf4096) {
  harness::BuildServiceRoutes routes;
  routes.onPrefix("/", [](const std::string&) { return ServiceAnswer{harness::replyOk("x"), true}; });
  FakeBuildService service(routes);
  std::string tail = " HTTP/1.0\r\nHost: build.test\r\n\r\n\r\n";
  std::string request = "GET /" + std::string(8193 - 5 - tail.size(), 'p') + tail;
  ASSERT_EQ(request.size(), 8193u);
  debugEnabled = 1;
  ReplyReader text;
  testing::internal::CaptureStdout();
  httpsRequest(request, &text, 0);
  std::string out = testing::internal::GetCapturedStdout();
  debugEnabled = 0;
  EXPECT_NE(out.find("debug: Sending 8193 bytes\n"), std::string::npos);
  std::size_t a = out.find("debug: Sent 4096 bytes\n");
  std::size_t b = out.find("debug: Sent 8192 bytes\n");
  std::size_t c = out.find("debug: Sent 8193 bytes\n");
  EXPECT_TRUE(a != std::string::npos && a < b && b < c && c != std::string::npos) << out;
  ASSERT_EQ(service.requests(1).size(), 1u);
  EXPECT_EQ(service.requests()[0], request);
}

// (The largest reply that fits is accepted: see ReplyTallyTest.) The fatal
// end runs in the built tool rather than a forked copy of this process: a
// fork taken while the service thread runs may inherit a lock that thread
// holds, and the copy then hangs instead of dying.
TEST_F(HttpsRequestTest, ReplyTooLargeForTheBufferIsFatal) {
  harness::BuildServiceRoutes routes;
  std::string head = "HTTP/1.1 200 OK\r\nX: y\r\n\r\n";
  // Made only when asked for, in the service's thread: pages are dear.
  routes.onPrefix("/index.php", [head](const std::string&) {
    return ServiceAnswer{head + std::string(kReplyBufferSize - head.size(), 'b'), true};
  });
  FakeBuildService service(routes);
  harness::RunOptions options;
  // Silent: the spinner pauses a millisecond for each piece read.
  options.args = {"--test-connection", "--host", "build.test", "--silent"};
  options.stdinMode = harness::Stdin::kDevNull;
  options.timeoutMs = 60000;
  harness::RunResult r = harness::runTool(options);
  ASSERT_TRUE(r.exited(0)) << harness::describe(r);
  EXPECT_EQ(r.err, "Return data is too large for buffer\n");
  EXPECT_EQ(r.out.find("Connected successfully"), std::string::npos) << r.out;
  ASSERT_EQ(service.requests(1).size(), 1u);
  EXPECT_EQ(service.requests()[0], "GET /index.php HTTP/1.0\r\nHost: build.test\r\n\r\n\r\n");
}

TEST_F(HttpsRequestTest, NoServiceListening) {
  ReplyReader text;
  testing::internal::CaptureStdout();
  EXPECT_EQ(httpsRequest(formatGetRequest("/index.php"), &text, 0), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Couldn't connect socket: Connection refused\nFailed to create a socket to remote host.\n");
  EXPECT_FALSE(text.headerDone());  // untouched
  EXPECT_TRUE(tmpIsEmpty());
}

TEST_F(HttpsRequestTest, UnresolvableHost) {
  buildServiceHost = "nowhere.invalid";
  ReplyReader text;
  testing::internal::CaptureStdout();
  EXPECT_EQ(httpsRequest(formatGetRequest("/index.php"), &text, 0), -1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("Couldn't connect socket: ", 0), 0u) << out;
  EXPECT_NE(out.find("\nFailed to create a socket to remote host.\n"), std::string::npos);
}

TEST_F(HttpsRequestTest, HandshakeFailureIsReportedWithItsClass) {
  // A plain TCP listener that closes every connection at once.
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(443);
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  std::thread closer([listener] { close(accept(listener, nullptr, nullptr)); });
  ReplyReader text;
  testing::internal::CaptureStdout();
  EXPECT_EQ(httpsRequest(formatGetRequest("/index.php"), &text, 0), -1);
  std::string out = testing::internal::GetCapturedStdout();
  closer.join();
  close(listener);
  EXPECT_EQ(out, "\nSSL connect failed to remote: 5\n");
  EXPECT_TRUE(tmpIsEmpty());
}

TEST_F(HttpsRequestTest, ThroughTheProxyTunnel) {
  harness::BuildServiceRoutes routes;
  routes.on("/index.php", {harness::replyOk("hello"), true});
  FakeBuildService service(routes);
  // One also sends a body after its blank line, with the answer: the body
  // is the answer's, not the start of the TLS stream.
  harness::ProxyOptions withBody = harness::proxyEstablished(443);
  withBody.answer = {"HTTP/1.1 200 Connection established\r\nContent-Length: 14\r\n\r\n<p>tunnel</p>\n"};
  const harness::ProxyOptions proxies[] = {harness::proxyEstablished(443), harness::proxySplit(443),
                                           harness::proxyHttp10(443), withBody};
  std::size_t served = 0;
  for (const harness::ProxyOptions& options : proxies) {
    SCOPED_TRACE(options.answer[0]);
    harness::ProxyServer proxy(options);
    setenv("http_proxy", ("HTTP://127.0.0.1:" + std::to_string(proxy.port()) + "/").c_str(), 1);
    ReplyReader text;
    EXPECT_GT(httpsRequest(formatGetRequest("/index.php"), &text, 0), 0);
    EXPECT_EQ(held(text), harness::replyOk("hello"));
    proxy.waitForExchanges(1);
    ASSERT_EQ(proxy.exchanges().size(), 1u);
    EXPECT_EQ(proxy.exchanges()[0].request, "CONNECT build.test:443 HTTP/1.1\nHost: build.test:443\n\n");
    ++served;
    ASSERT_EQ(service.requests(served).size(), served);
    EXPECT_EQ(service.requests().back(), "GET /index.php HTTP/1.0\r\nHost: build.test\r\n\r\n\r\n");
  }
}

TEST_F(HttpsRequestTest, ProxyRefusingTheTunnel) {
  harness::ProxyServer proxy(harness::proxyAuthRequired());
  setenv("http_proxy", ("127.0.0.1:" + std::to_string(proxy.port())).c_str(), 1);
  ReplyReader text;
  testing::internal::CaptureStdout();
  EXPECT_EQ(httpsRequest(formatGetRequest("/index.php"), &text, 0), -1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("Proxy returned unexpected response: HTTP/1.1 407", 0), 0u) << out;
  EXPECT_NE(out.find("\nFailed to create a socket to remote host.\n"), std::string::npos);
}

TEST_F(HttpsRequestTest, ProxyWithoutAPortIsNotUsed) {
  harness::BuildServiceRoutes routes;
  routes.on("/index.php", {harness::replyOk("direct"), true});
  FakeBuildService service(routes);
  setenv("http_proxy", "127.0.0.1", 1);
  ReplyReader text;
  EXPECT_GT(httpsRequest(formatGetRequest("/index.php"), &text, 0), 0);
  EXPECT_EQ(held(text), harness::replyOk("direct"));
}

}  // namespace
