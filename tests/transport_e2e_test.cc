// The transport's failure texts from the built tool, each against a
// loopback peer (or a /tmp) that fails in that one way. The tool starts with
// the default signal dispositions, so a write to a reset connection would
// kill it by SIGPIPE without its own handler.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/harness/fixtures.h"
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

}  // namespace
