// The transport's failure texts from the built tool, each against a
// loopback peer (or a /tmp) that fails in that one way. The tool starts with
// the default signal dispositions, so a write to a reset connection would
// kill it by SIGPIPE without its own handler.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/harness/fixtures.h"
#include "tests/harness/pty.h"
#include "tests/harness/run.h"
#include "tests/harness/sandbox.h"
#include "tests/harness/servers.h"

namespace {

using harness::Install;
using harness::LoopbackServer;
using harness::Reply;
using harness::RunResult;
using harness::Sandbox;

const char* const kHost = "build.example.test";

// The build service on 127.0.0.1:443 answering every connection with
// `reply`, after reading the request, or at once when `readRequest` is off.
std::unique_ptr<LoopbackServer> service(Reply reply, bool readRequest = true) {
  harness::TlsOptions tls;
  tls.requireClientCert = true;
  harness::ServerOptions options;
  options.port = 443;
  options.complete = readRequest ? harness::untilHttpRequest(2) : harness::untilBytes(0);
  return std::make_unique<harness::TlsServer>([reply](const std::string&, int) { return reply; }, tls, options);
}

struct TransportFailure {
  const char* name;
  std::vector<std::string> args;
  // Lays out what the case needs and starts its server, if any.
  std::function<std::unique_ptr<LoopbackServer>(Sandbox&)> setUp;
  std::string errStart;  // what standard error begins with
  std::string outHas;    // found in standard output
};

TEST(TransportE2E, FailureTexts) {
  const std::vector<std::string> connectionTest = {"--host", kHost, "--test-connection"};
  const std::string connected = std::string("Connected successfully to '") + kHost + "'\n";
  const TransportFailure cases[] = {
      // The service resets the connection as soon as the handshake is done,
      // reading nothing: the upload of a package larger than any socket
      // buffer runs into the reset.
      {"SSL write problem",
       {"--host", kHost, "--no-binary", "--force-update", "--silent"},
       [](Sandbox& box) {
         std::string tree = "/lib/modules/" + harness::kernelRelease() + "/build";
         box.makeTree(tree, {".config", "Makefile", "include/linux/a.h"});
         harness::shell("head -c 8388608 /dev/urandom > " + tree + "/include/linux/noise.h");
         Reply reply;
         reply.closeNotify = false;
         reply.reset = true;
         return service(reply, false);
       },
       "SSL write problem\n", ""},
      // Plain text where a TLS record belongs.
      {"SSL read problem", connectionTest,
       [](Sandbox&) {
         Reply reply;
         reply.closeNotify = false;
         reply.raw = "HTTP/1.1 200 OK\r\n\r\nnot a TLS record";
         return service(reply);
       },
       "SSL read problem\n", ""},
      // The reply comes in many one-byte records, each read after a spinner
      // step's pause, then the close notification, then a reset: the reset
      // is in long before the tool answers the notification.
      {"Shutdown failed", connectionTest,
       [](Sandbox&) {
         Reply reply;
         reply.bytes = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n";
         reply.later.assign(300, "x");
         reply.pauseMs = 0;
         reply.reset = true;
         return service(reply);
       },
       "Shutdown failed\n", ""},
      {"key file that cannot be created", connectionTest,
       [](Sandbox&) {
         harness::shell("mount -o remount,ro /tmp");
         return std::unique_ptr<LoopbackServer>();
       },
       "unable to write sec template\n", ""},
      {"key file that cannot be written whole", connectionTest,
       [](Sandbox&) {
         harness::shell("mount -o remount,size=1m /tmp && head -c 2097152 /dev/zero > /tmp/fill 2>/dev/null");
         return std::unique_ptr<LoopbackServer>();
       },
       "unable to write sec template\n", ""},
      // The service drops the connection without a close notification: the
      // reply still counts.
      {"premature close", connectionTest,
       [](Sandbox&) {
         Reply reply;
         reply.bytes = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\nindex";
         reply.closeNotify = false;
         return service(reply);
       },
       "SSL Error: Premature close\n", connected},
  };
  for (const TransportFailure& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    harness::installProduct(box, Install::kAgentOnly);
    for (const char* f : {"/etc/redhat-release", "/etc/debian_version", "/etc/arch-release", "/etc/SuSE-release"})
      box.remove(f);
    harness::useLoopbackNames(box, {kHost});
    std::unique_ptr<LoopbackServer> server = c.setUp(box);
    harness::RunOptions options;
    options.args = c.args;
    options.stdinMode = harness::Stdin::kDevNull;
    RunResult r = harness::runTool(options);
    harness::shell("mount -o remount,rw /tmp 2>/dev/null; rm -f /tmp/fill");
    EXPECT_TRUE(r.exited(0)) << harness::describe(r).substr(0, 4000);
    EXPECT_EQ(0u, r.err.find(c.errStart)) << r.err;
    EXPECT_NE(std::string::npos, r.out.find(c.outHas)) << r.out.substr(0, 4000);
    EXPECT_EQ(std::string::npos, r.out.find("Kernel module is now installed."));
    // The client key never stays behind, whatever failed (a fatal exit
    // leaves the package's directory).
    std::string left = harness::tmpListing();
    EXPECT_EQ("", harness::shell("printf %s " + harness::shellQuote(left) + " | grep -v '^tavrik-kestrin' || true"));
  }
}

// The service stops taking the upload after the handshake, and the package
// is small: the whole request is still gathered for its socket write when
// the closing boundary has been written, so the write that fails is the one
// that sends it all. "SSL write problem" then follows the meter's first line
// directly, as after any other failed write of the request: the meter never
// shows the request as sent, nor ends its line. The preloaded shim makes
// that write fail in the kernel with EPIPE and SIGPIPE; the tool runs with
// the default dispositions, so its own SIGPIPE handler is what keeps it to
// its exit status 0.
TEST(TransportE2E, UploadWhoseLastWriteFailsEndsBeforeTheMeterDoes) {
  Sandbox box;
  harness::installProduct(box, Install::kAgentOnly);
  for (const char* f : {"/etc/redhat-release", "/etc/debian_version", "/etc/arch-release", "/etc/SuSE-release"})
    box.remove(f);
  harness::useLoopbackNames(box, {kHost});
  std::string tree = "/lib/modules/" + harness::kernelRelease() + "/build";
  box.makeTree(tree, {".config", "Makefile", "include/linux/a.h"});
  // Some 10 KB of package: a request far below one socket write, far above
  // any write of the handshake.
  harness::shell("head -c 10000 /dev/urandom > " + tree + "/include/linux/noise.h");
  std::unique_ptr<LoopbackServer> server = service(Reply{});

  const char* asan = std::getenv("ASAN_OPTIONS");
  harness::Pty pty(24, 80);
  pty.startTool({"--host", kHost, "--no-binary", "--force-update"},
                {{"LD_PRELOAD", TAVRIK_CLOSED_PEER_LIB},
                 {"TAVRIK_SHUT_WRITES_OVER", "6000"},
                 {"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"}});
  harness::PtyExit e = pty.wait(20000);
  const std::string& out = pty.output();
  EXPECT_TRUE(e.exited(0)) << "status " << e.exitCode << ", signal " << e.signal << "\n" << out;

  // 80 columns: the label field, 0%, nothing sent, no rate, no estimate.
  const std::string firstLine = "\ruploading kernel package" + std::string(21, ' ') +
                                "   0%    0     0.0KB/s   --:-- ETA";
  ASSERT_EQ(80u, firstLine.size());
  std::size_t meter = out.find("\ruploading kernel package");
  ASSERT_NE(std::string::npos, meter) << out;
  EXPECT_EQ(firstLine + "SSL write problem\r\n", out.substr(meter)) << out;
  EXPECT_EQ(std::string::npos, out.find("Starting module build..."));

  // None of the request reached the service: it all went in that one write.
  ASSERT_TRUE(server->waitForExchanges(1));
  EXPECT_EQ("", server->exchanges()[0].request);
}

}  // namespace
