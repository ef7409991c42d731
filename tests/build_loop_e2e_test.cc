// Module retrieval against the fake build service: the queries, the upload
// and the build's reply loop to the installed module, directly and through
// the proxy tunnel, and the loop's failures. The loop's 5-second pauses are
// skipped by a preloaded shim, except where their length is what is tested.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/harness/build_service.h"
#include "tests/harness/coding.h"
#include "tests/harness/fixtures.h"
#include "tests/harness/pty.h"
#include "tests/harness/run.h"
#include "tests/harness/sandbox.h"
#include "tests/harness/servers.h"

namespace {

using harness::BuildServiceRoutes;
using harness::FakeBuildService;
using harness::Install;
using harness::RunResult;
using harness::Sandbox;

const char* const kHost = "build.example.test";

std::string moduleName() { return "zeltdriver-kestrin-" + harness::kernelRelease() + ".ko"; }

// A machine with a header tree in the release's build/ and no distribution
// marker, whose build service is the loopback name kHost.
void layMachine(Sandbox& box, Install kind) {
  harness::installProduct(box, kind);
  for (const char* f : {"/etc/redhat-release", "/etc/debian_version", "/etc/arch-release", "/etc/SuSE-release"})
    box.remove(f);
  box.makeTree("/lib/modules/" + harness::kernelRelease() + "/build", {".config", "Makefile", "include/linux/a.h"});
  harness::useLoopbackNames(box, {kHost});
}

// A modinfo found first in PATH that reports this installed version.
void fakeModinfo(Sandbox& box, const std::string& version, const std::string& build) {
  box.writeFile("/tmp/bin/modinfo", "#!/bin/sh\necho 'filename: '$1\necho 'version:        " + version + " build " +
                                        build + "'\n",
                0755);
  box.writeFile("/lib/modules/tavrik/" + moduleName(), "installed");
}

// `combined`: standard output and standard error into one pipe.
RunResult runRetrieval(const std::vector<std::string>& args, std::vector<std::pair<std::string, std::string>> env = {},
                       bool combined = false, int timeoutMs = 20000) {
  harness::RunOptions options;
  options.args = args;
  options.combined = combined;
  options.timeoutMs = timeoutMs;
  options.stdinMode = harness::Stdin::kDevNull;
  const char* asan = std::getenv("ASAN_OPTIONS");
  env.push_back({"ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0"});
  env.push_back({"LD_PRELOAD", TAVRIK_NO_PAUSE_LIB});
  env.push_back({"PATH", std::string("/tmp/bin:") + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin")});
  options.env = env;
  return harness::runTool(options);
}

std::vector<std::string> paths(const std::vector<std::string>& requests) {
  std::vector<std::string> list;
  for (const std::string& r : requests) list.push_back(harness::requestPath(r));
  return list;
}

std::string leftovers() { return harness::shell("ls -A /tmp | grep '^tavrik-kestrin' || true"); }

// Upload, a redirect, two status pages, then the module.
BuildServiceRoutes fullBuild() {
  BuildServiceRoutes routes;
  routes.onPrefix("/cache-module.php", [](const std::string&) { return harness::ServiceAnswer{harness::replyOk("no such module"), true}; });
  routes.on("/process.php", {harness::replyRedirect("/queue.php?r=7"), true});
  routes.on("/queue.php?r=7", {harness::replyStatusPage("Queued", "/status.php?r=7&n=1"), true});
  routes.on("/status.php?r=7&n=1", {harness::replyStatusPage("Compiling", "/status.php?r=7&n=2"), true});
  routes.on("/status.php?r=7&n=2", {harness::replyAttachment(moduleName(), "MODULE-BYTES"), true});
  return routes;
}

void expectFullBuild(const RunResult& r, FakeBuildService& service) {
  ASSERT_TRUE(r.exited(0)) << harness::describe(r);
  EXPECT_EQ("MODULE-BYTES", harness::readFile("/lib/modules/pelagent/" + moduleName()));
  EXPECT_NE(std::string::npos, r.out.find("Kernel module is now installed.")) << r.out;
  auto got = paths(service.requests(5));
  ASSERT_EQ(5u, got.size());
  EXPECT_EQ(0u, got[0].find("/cache-module.php?md5="));
  EXPECT_EQ("/process.php", got[1]);
  EXPECT_EQ("/queue.php?r=7", got[2]);
  EXPECT_EQ("/status.php?r=7&n=1", got[3]);
  EXPECT_EQ("/status.php?r=7&n=2", got[4]);
  EXPECT_EQ(0u, service.requests()[2].find(std::string("GET /queue.php?r=7 HTTP/1.0\r\nHost: ") + kHost +
                                          "\r\n\r\n\r\n"));
  EXPECT_EQ("", leftovers());  // package and temporary directory removed
}

TEST(BuildLoopE2E, AgentOnlyWithoutArgumentsBuildsAndInstalls) {
  Sandbox box;
  layMachine(box, Install::kAgentOnly);
  FakeBuildService service(fullBuild());
  RunResult r = runRetrieval({"--host", kHost});
  expectFullBuild(r, service);
  // Module type 3 in the query (no installed driver: no update check).
  EXPECT_NE(std::string::npos, service.requests()[0].find("&cmajor=3&"));
  EXPECT_NE(std::string::npos, service.requests()[1].find("Content-Disposition: form-data;"));
}

TEST(BuildLoopE2E, TheSameThroughTheProxyTunnel) {
  Sandbox box;
  layMachine(box, Install::kAgentOnly);
  FakeBuildService service(fullBuild());
  harness::ProxyServer proxy(harness::proxyEstablished(service.server().port()));
  RunResult r = runRetrieval({"--host", kHost}, {{"http_proxy", "http://127.0.0.1:" + std::to_string(proxy.port())}});
  expectFullBuild(r, service);
  ASSERT_TRUE(proxy.waitForExchanges(5));
  for (const auto& exchange : proxy.exchanges())
    EXPECT_EQ(0u, exchange.request.find(std::string("CONNECT ") + kHost + ":443 HTTP/1.")) << exchange.request;
}

// Proxies that end their answer early: one sends only its status line and
// waits for the client, one closes after the CONNECT. And one on a path
// with a slow round trip whose header lines come apart from its status
// line, later than half a second: they are still taken as its answer, not
// as the start of the TLS handshake.
TEST(BuildLoopE2E, ProxiesThatEndTheirAnswerEarly) {
  harness::ProxyOptions statusLineOnly = harness::proxyEstablished(443);
  statusLineOnly.answer = {"HTTP/1.1 200 Connection established\r\n"};
  harness::ProxyOptions closes;
  closes.answer = {};
  closes.relay = false;
  harness::ProxyOptions slowPath = harness::proxyEstablished(443);
  slowPath.answer = {"HTTP/1.1 200 Connection established\r\n", "Proxy-agent: demo\r\n\r\n"};
  slowPath.answerDelayMs = 600;
  slowPath.chunkDelayMs = 800;
  // A slow proxy: its header lines a second after its status line.
  harness::ProxyOptions slowProxy = harness::proxyEstablished(443);
  slowProxy.answer = {"HTTP/1.0 200 Connection established\r\n", "Proxy-agent: slow\r\n\r\n"};
  slowProxy.chunkDelayMs = 1000;
  const struct {
    const char* name;
    harness::ProxyOptions proxy;
    bool connected;
    std::string out;
  } cases[] = {
      {"status line only", statusLineOnly, true, std::string("Connected successfully to '") + kHost + "'\n"},
      {"header lines a second after the status line", slowProxy, true,
       std::string("Connected successfully to '") + kHost + "'\n"},
      {"header lines late on a slow path", slowPath, true,
       std::string("Connected successfully to '") + kHost + "'\n"},
      {"closes", closes, false,
       std::string("Error reading from proxy: the proxy closed the connectionProxy returned unexpected response: \n"
                   "Failed to create a socket to remote host.\nFailed to connect to '") +
           kHost + "'\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    layMachine(box, Install::kAgentOnly);
    BuildServiceRoutes routes;
    routes.on("/index.php", {harness::replyOk("index"), true});
    FakeBuildService service(routes);
    harness::ProxyServer proxy(c.proxy);
    RunResult r = runRetrieval({"--host", kHost, "--test-connection"},
                               {{"http_proxy", "127.0.0.1:" + std::to_string(proxy.port())}});
    ASSERT_TRUE(r.exited(c.connected ? 0 : 1)) << harness::describe(r);
    EXPECT_EQ(0u, r.out.find("Checking connection to server\n")) << r.out;
    EXPECT_EQ(r.out.size() - c.out.size(), r.out.rfind(c.out)) << r.out;  // the spinner comes before
    EXPECT_EQ(c.connected ? 1u : 0u, service.requests(c.connected ? 1 : 0).size());
  }
}

// The upload asks for an experimental build unless the product's marker
// file says otherwise; --experimental asks for one in any case.
TEST(BuildLoopE2E, ExperimentalMarkerDecidesTheUploadForm) {
  const std::string delimiter = "-----------------------------4664151417711\n";
  const std::string asked = "name=\"nd\"\n\n1\n" + delimiter +
                            "Content-Disposition: form-data; name=\"experimental\"\n\n1\n" + delimiter +
                            "Content-Disposition: form-data; name=\"userfile\"";
  const std::string notAsked = "name=\"nd\"\n\n1\n" + delimiter + "Content-Disposition: form-data; name=\"userfile\"";
  const struct {
    const char* name;
    bool marker;
    bool option;
    bool experimental;
  } cases[] = {
      {"no marker", false, false, true},
      {"marker", true, false, false},
      {"marker and the option", true, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    layMachine(box, Install::kFullAgent);
    if (c.marker) box.writeFile(std::string(harness::kWorkDir) + "/.experimental", "");
    FakeBuildService service(fullBuild());
    std::vector<std::string> args = {"--get-module", "--host", kHost};
    if (c.option) args.push_back("--experimental");
    RunResult r = runRetrieval(args);
    ASSERT_TRUE(r.exited(0)) << harness::describe(r);
    EXPECT_EQ("MODULE-BYTES", harness::readFile("/lib/modules/tavrik/" + moduleName()));
    auto got = service.requests(5);
    ASSERT_EQ(5u, got.size());
    ASSERT_EQ("/process.php", harness::requestPath(got[1]));
    const std::string& upload = got[1];
    EXPECT_NE(upload.find(c.experimental ? asked : notAsked), std::string::npos) << upload.substr(0, 2000);
    EXPECT_EQ(upload.find("name=\"experimental\"") != std::string::npos, c.experimental);
  }
}

TEST(BuildLoopE2E, ModuleCurrentEndsTheRun) {
  Sandbox box;
  layMachine(box, Install::kFullAgent);
  fakeModinfo(box, "6.0.1", "3");
  BuildServiceRoutes routes;
  routes.on("/check-module.php?cmajor=4&gen=4&beta=0", {harness::replyOk("6.0.1-3"), true});
  FakeBuildService service(routes);
  RunResult r = runRetrieval({"--get-module", "--host", kHost});
  ASSERT_TRUE(r.exited(0)) << harness::describe(r);
  EXPECT_NE(std::string::npos, r.out.find("Checking if module needs updated\n"));
  EXPECT_NE(std::string::npos, r.out.find("Module update not needed.\n"));
  EXPECT_EQ(1u, service.requests(1).size());
}

TEST(BuildLoopE2E, ALongerBuildNumberIsNotCurrent) {
  Sandbox box;
  layMachine(box, Install::kFullAgent);
  fakeModinfo(box, "6.0.1", "3");
  BuildServiceRoutes routes;
  routes.on("/check-module.php?cmajor=4&gen=4&beta=0", {harness::replyOk("6.0.1-35"), true});
  FakeBuildService service(routes);
  RunResult r = runRetrieval({"--get-module", "--binary-only", "--host", kHost});
  ASSERT_TRUE(r.exited(1)) << harness::describe(r);
  EXPECT_EQ(std::string::npos, r.out.find("Module update not needed."));
  EXPECT_NE(std::string::npos, r.out.find("No binary module found\n"));
  auto got = paths(service.requests(2));
  ASSERT_EQ(2u, got.size());
  EXPECT_EQ(0u, got[1].find("/cache-module.php?md5="));
}

// A prebuilt module ends the run, also when an earlier reply (the update
// check's, searched for an attachment like every 200 reply) had already
// saved one.
TEST(BuildLoopE2E, PrebuiltModuleIsInstalled) {
  const struct {
    const char* name;
    bool installed;  // then the update check is sent, and answered with an attachment
  } cases[] = {
      {"no installed module", false},
      {"after an update check that saved an attachment", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    layMachine(box, Install::kFullAgent);
    BuildServiceRoutes routes;
    if (c.installed) {
      fakeModinfo(box, "6.0.1", "3");
      routes.on("/check-module.php?cmajor=4&gen=4&beta=0",
                {harness::replyAttachment(moduleName(), "FROM-THE-UPDATE-CHECK"), true});
    }
    routes.onPrefix("/cache-module.php", [](const std::string&) {
      return harness::ServiceAnswer{harness::replyAttachment(moduleName(), "PREBUILT"), true};
    });
    FakeBuildService service(routes);
    RunResult r = runRetrieval({"--get-module", "--host", kHost});
    ASSERT_TRUE(r.exited(0)) << harness::describe(r);
    EXPECT_EQ("PREBUILT", harness::readFile("/lib/modules/tavrik/" + moduleName()));
    EXPECT_EQ(std::string::npos, r.out.find("No binary module found")) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("Creating kernel headers package")) << r.out;
    auto got = paths(service.requests(c.installed ? 2 : 1));
    ASSERT_EQ(c.installed ? 2u : 1u, got.size());
    if (c.installed) {
      EXPECT_EQ("/check-module.php?cmajor=4&gen=4&beta=0", got[0]);
    }
    EXPECT_EQ(0u, got.back().find("/cache-module.php?md5="));
  }
}

// A page that only mentions a file name delivers no module: the run goes
// on to package, upload and build as when no prebuilt module exists.
TEST(BuildLoopE2E, PrebuiltQueryPageWithoutAnAttachmentIsNoModule) {
  const std::string pages[] = {
      "no module for filename foo.ko",
      "Content-Disposition: attachment; filename=" + moduleName() + "\r\nContent-Length: 3\r\n\r\nabc",
  };
  for (const std::string& page : pages) {
    SCOPED_TRACE(page);
    Sandbox box;
    layMachine(box, Install::kAgentOnly);
    BuildServiceRoutes routes = fullBuild();
    routes.onPrefix("/cache-module.php",
                    [page](const std::string&) { return harness::ServiceAnswer{harness::replyOk(page), true}; });
    FakeBuildService service(routes);
    RunResult r = runRetrieval({"--host", kHost});
    expectFullBuild(r, service);
    EXPECT_NE(std::string::npos, r.out.find("\nNo binary module found\nGathering kernel information\n")) << r.out;
  }
}

struct LoopFailure {
  const char* name;
  std::string processReply;
  int exitCode;
  const char* out;
  const char* err;
  bool cleaned;
};

TEST(BuildLoopE2E, LoopFailures) {
  const LoopFailure cases[] = {
      {"404", harness::replyNotFound(), 0, "", "internal error.\n\n", false},
      {"400", harness::replyBadRequest(), 0, "unknown return '400'\n", "", true},
      {"unrecognised", "HTTP/1.1 500 Oops\r\n\r\nbody", 0, "unknown return '0'\n", "", true},
      {"no URL", harness::replyOk("<!-- STATUS: Compiling -->\n"), 0, "Status page without a URL to follow\n", "",
       true},
      // The service closes without a byte of reply.
      {"no reply", "", 0, "Starting module build...\nNo reply from server\n", "", true},
  };
  for (const LoopFailure& c : cases) {
    Sandbox box;
    layMachine(box, Install::kAgentOnly);
    BuildServiceRoutes routes;
    routes.on("/process.php", {c.processReply, true});
    FakeBuildService service(routes);
    RunResult r = runRetrieval({"--host", kHost, "--no-binary"});
    ASSERT_TRUE(r.exited(c.exitCode)) << c.name << harness::describe(r);
    EXPECT_NE(std::string::npos, r.out.find(c.out)) << c.name << r.out;
    EXPECT_EQ(c.err, r.err) << c.name;
    EXPECT_EQ(c.cleaned, leftovers().empty()) << c.name;
  }
}

// The messages the tool flushes reach a shared pipe before the fatal
// error that follows them on standard error, in the order of the calls. On
// a pipe standard output is not line-buffered: without the flush after each
// message every line would come after the error, at the exit.
TEST(BuildLoopE2E, FlushedMessagesComeBeforeTheFatalErrorOnOnePipe) {
  Sandbox box;
  layMachine(box, Install::kAgentOnly);
  BuildServiceRoutes routes;
  routes.on("/process.php", {harness::replyNotFound(), true});
  FakeBuildService service(routes);
  RunResult r = runRetrieval({"--host", kHost, "--no-binary", "--debug"}, {}, true);
  ASSERT_TRUE(r.exited(0)) << harness::describe(r);
  EXPECT_EQ("", r.err);
  const std::string fatal = "internal error.\n\n";
  std::size_t at = r.out.find(fatal);
  ASSERT_NE(std::string::npos, at) << r.out;
  std::string before = r.out.substr(0, at);
  // The progress lines and the debug lines of the whole run, up to the dump
  // of the reply that ends it, all before the error.
  for (const char* text : {"DEBUG!!\n", "Gathering kernel information complete.\n", "Compressing...\n",
                           "debug: Tarball sent\n", "Starting module build...\n", "debug: header = HTTP/1.1 404"})
    EXPECT_NE(std::string::npos, before.find(text)) << text << "\n" << r.out;
  EXPECT_EQ(std::string::npos, r.out.find("debug: ", at)) << r.out;
}

// Any recognised answer of the service counts as a connection.
TEST(BuildLoopE2E, ConnectionTest) {
  const struct {
    const char* name;
    std::string reply;
    bool connected;
  } cases[] = {
      {"200", harness::replyOk("index"), true},
      {"302", harness::replyRedirect("/elsewhere"), true},
      {"400", harness::replyBadRequest(), true},
      {"404", harness::replyNotFound(), true},
      {"500", "HTTP/1.1 500 Oops\r\n\r\nbody", false},
  };
  Sandbox box;
  layMachine(box, Install::kAgentOnly);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BuildServiceRoutes routes;
    routes.on("/index.php", {c.reply, true});
    FakeBuildService service(routes);
    RunResult r = runRetrieval({"--host", kHost, "--test-connection"});
    if (c.connected) {
      ASSERT_TRUE(r.exited(0)) << harness::describe(r);
      EXPECT_NE(std::string::npos, r.out.find(std::string("Connected successfully to '") + kHost + "'\n")) << r.out;
    } else {
      ASSERT_TRUE(r.exited(1)) << harness::describe(r);
      EXPECT_NE(std::string::npos, r.out.find(std::string("Failed to connect to '") + kHost + "'\n")) << r.out;
    }
    EXPECT_EQ(0u, r.out.find("Checking connection to server")) << r.out;
    EXPECT_EQ(paths(service.requests(1)), std::vector<std::string>{"/index.php"});
  }
}

TEST(BuildLoopE2E, FinalPageWithoutMarkersIsShown) {
  Sandbox box;
  layMachine(box, Install::kAgentOnly);
  BuildServiceRoutes routes;
  routes.on("/process.php", {harness::replyOk("Your build failed: see the log\n"), true});
  FakeBuildService service(routes);
  RunResult r = runRetrieval({"--host", kHost, "--no-binary", "--silent"});
  ASSERT_TRUE(r.exited(0)) << harness::describe(r);
  EXPECT_NE(std::string::npos, r.out.find("Your build failed: see the log\n"));
  EXPECT_EQ("", leftovers());
}

// Whether process `pid` has a handler for `sig` (SigCgt in its status).
bool catches(pid_t pid, int sig) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, 7, "SigCgt:") == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1;
  }
  return false;
}

// The pauses between status pages last their 5 seconds while signals
// stream in: the meter's handlers stay installed after the upload, and each
// signal runs one. The service answers status pages without end and notes
// when each request came; from the upload's reply on, no more pages may be
// asked for than 5-second pauses allow in the time that has passed. Load
// only makes the requests later, never more.
TEST(BuildLoopE2E, PausesLastUnderAStreamOfSignals) {
  using Clock = std::chrono::steady_clock;
  const struct {
    const char* name;
    int signal;
    std::function<void(harness::Pty&, int)> send;
  } cases[] = {
      {"window resized every 50 ms", SIGWINCH,
       [](harness::Pty& pty, int i) { pty.setWindowSize(24 + i % 2, 80 + 20 * (i % 2)); }},
      {"SIGALRM every 50 ms", SIGALRM, [](harness::Pty& pty, int) { pty.signal(SIGALRM); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    layMachine(box, Install::kAgentOnly);
    struct Seen {
      std::mutex mutex;
      std::vector<Clock::time_point> at;  // the upload, then each status page
    };
    auto seen = std::make_shared<Seen>();
    auto note = [seen](const std::string& reply) {
      return [seen, reply](const std::string&) {
        std::lock_guard<std::mutex> lock(seen->mutex);
        seen->at.push_back(Clock::now());
        return harness::ServiceAnswer{reply, true};
      };
    };
    BuildServiceRoutes routes;
    routes.onPrefix("/process.php", note(harness::replyStatusPage("Compiling", "/status.php?r=7")));
    routes.onPrefix("/status.php", note(harness::replyStatusPage("Compiling", "/status.php?r=7")));
    FakeBuildService service(routes);
    auto times = [&] {
      std::lock_guard<std::mutex> lock(seen->mutex);
      return seen->at;
    };
    harness::Pty pty;
    pty.startTool({"--host", kHost, "--no-binary"});
    ASSERT_TRUE(service.server().waitForExchanges(1, 60000)) << pty.output();
    ASSERT_TRUE(catches(pty.pid(), c.signal)) << "the signal would not reach a handler";
    const Clock::time_point upload = times().at(0);
    // Past the first pause, with room for a slow start.
    for (int i = 0; Clock::now() < upload + std::chrono::seconds(6); ++i) {
      c.send(pty, i);
      pty.readFor(50);
    }
    std::vector<Clock::time_point> at = times();
    auto allowed = (Clock::now() - upload) / std::chrono::seconds(5);
    EXPECT_LE(static_cast<long long>(at.size() - 1), static_cast<long long>(allowed)) << pty.output();
    // The loop goes on meanwhile: one page asked for after its pause.
    ASSERT_TRUE(service.server().waitForExchanges(2, 60000)) << pty.output();
    at = times();
    for (std::size_t i = 1; i < at.size(); ++i) {
      auto gapMs = std::chrono::duration_cast<std::chrono::milliseconds>(at[i] - at[i - 1]).count();
      if (gapMs < 5000) {
        ADD_FAILURE() << "request " << i << " came " << gapMs << " ms after the one before";
        break;
      }
    }
  }
}

// The upload's reply and the pages after it as web servers frame and code
// them: chunked, gzip or deflate coded, after interim replies. The upload's
// reply comes from a service that keeps the connection open after it, as
// a keep-alive server does: the run must not wait for its close. Each row
// ends with the module installed whole.
constexpr auto kHeldLongerThanARun = std::chrono::seconds(30);

std::string headerOk(const std::string& headers) { return "HTTP/1.1 200 OK\r\n" + headers + "\r\n"; }

std::string statusPage(const std::string& url) {
  return "<html><body>\n<!-- STATUS: Compiling -->\n<!-- PERCENT: 50 -->\n<!-- URL: " + url +
         " -->\n</body></html>\n";
}

std::string moduleHeaders() {
  return "Content-Type: application/octet-stream\r\nContent-Disposition: attachment; filename=" + moduleName() +
         "\r\n";
}

// A retrieval without the prebuilt query on an agent-only machine laid in
// `box`, against a service whose upload reply is `upload` (the connection
// then held open when `hold`) and whose page "/status.php?r=1" is `next`.
// The run must not wait for the service to close a held connection.
RunResult runAgainst(Sandbox& box, const std::string& upload, bool hold, const std::string& next = "") {
  layMachine(box, Install::kAgentOnly);
  BuildServiceRoutes routes;
  harness::ServiceAnswer answer{upload, true};
  answer.hold = hold;
  routes.on("/process.php", answer);
  routes.on("/status.php?r=1", {next, true});
  FakeBuildService service(std::move(routes));
  auto start = std::chrono::steady_clock::now();
  RunResult r = runRetrieval({"--host", kHost, "--no-binary"});
  EXPECT_LT(std::chrono::steady_clock::now() - start, kHeldLongerThanARun);
  return r;
}

TEST(BuildLoopE2E, PagesAndModulesAsServersFrameAndCodeThem) {
  const std::string page = statusPage("/status.php?r=1");
  const std::size_t inUrl = page.find("<!-- URL: /sta") + std::string("<!-- URL: /sta").size();
  const std::string module = "MODULE-BYTES";
  const std::string attachment = harness::replyAttachment(moduleName(), module);
  const std::string moduleGz = harness::gzipped(module);
  const struct {
    const char* name;
    std::string uploadReply;
    std::string moduleReply;
  } cases[] = {
      {"chunked page, a chunk boundary inside the URL marker",
       headerOk("Transfer-Encoding: chunked\r\n") + harness::chunkedAt(page, {inUrl}), attachment},
      {"chunked page with extensions and a trailer",
       headerOk("Transfer-Encoding: chunked\r\n") + harness::chunks(page, 9, ";x=1") + "0\r\nX-Sum: 1\r\n\r\n",
       attachment},
      {"gzip page with its length",
       headerOk("Content-Encoding: gzip\r\nContent-Length: " + std::to_string(harness::gzipped(page).size()) +
                "\r\n") +
           harness::gzipped(page),
       attachment},
      {"deflate page, chunked",
       headerOk("Content-Encoding: deflate\r\nTransfer-Encoding: chunked\r\n") +
           harness::chunks(harness::zlibbed(page), 16) + "0\r\n\r\n",
       attachment},
      {"interim replies before the page", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\n\r\n" +
                                              harness::replyOk(page),
       attachment},
      {"chunked module that also gives a length",
       harness::replyOk(page),
       headerOk(moduleHeaders() + "Content-Length: 12\r\nTransfer-Encoding: chunked\r\n") +
           harness::chunkedAt(module, {6})},
      {"a folded line that looks like a length before the real one", harness::replyOk(page),
       headerOk(moduleHeaders() + "X-Note: size\r\n Content-Length: 3\r\nContent-Length: 12\r\n") + module},
      {"gzip module", harness::replyOk(page),
       headerOk(moduleHeaders() + "Content-Encoding: gzip\r\nContent-Length: " + std::to_string(moduleGz.size()) +
                "\r\n") +
           moduleGz},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    RunResult r = runAgainst(box, c.uploadReply, true, c.moduleReply);
    ASSERT_TRUE(r.exited(0)) << harness::describe(r);
    EXPECT_EQ(module, harness::readFile("/lib/modules/pelagent/" + moduleName()));
    EXPECT_NE(std::string::npos, r.out.find("Kernel module is now installed.")) << r.out;
    EXPECT_EQ("", r.err);
  }
}

// An upload reply refused for its framing is refused once its header or
// its broken chunk is in, also on a connection the service holds open:
// nothing that follows could make it valid.
TEST(BuildLoopE2E, AnUploadReplyRefusedForItsFramingIsNotWaitedFor) {
  const struct {
    const char* name;
    std::string reply;
    const char* err;
  } cases[] = {
      {"lengths that differ", headerOk("Content-Length: 5\r\nContent-Length: 12\r\n") + "hello",
       "incorrect size specified in headers\n"},
      {"a blank before the colon of Transfer-Encoding",
       headerOk("Content-Length: 15\r\nTransfer-Encoding : chunked\r\n") + "5\r\nhello\r\n0\r\n\r\n",
       "Invalid header returned from server\n"},
      {"a chunk size that is no number", headerOk("Transfer-Encoding: chunked\r\n") + "5\r\nhello\r\nzz\r\n",
       "Invalid body returned from server\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    auto start = std::chrono::steady_clock::now();
    RunResult r = runAgainst(box, c.reply, true);
    // Well within the time the service holds the connection.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    ASSERT_TRUE(r.exited(0)) << harness::describe(r);
    EXPECT_EQ(c.err, r.err);
  }
}

// A final page (without markers) is shown as its decoded text.
TEST(BuildLoopE2E, FinalPagesAreShownDecoded) {
  const std::string text = "final page from echo\nthe build log follows\n";
  const struct {
    const char* name;
    std::string reply;
  } cases[] = {
      {"chunked", headerOk("Transfer-Encoding: chunked\r\n") + harness::chunkedAt(text, {21, 30})},
      {"gzip", headerOk("Content-Encoding: gzip\r\n") + harness::gzipped(text)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    // The gzip page has no length: it ends at the close.
    RunResult r = runAgainst(box, c.reply, std::string(c.name) == "chunked");
    ASSERT_TRUE(r.exited(0)) << harness::describe(r);
    // After the spinner's last frame, the page and the line end of the loop.
    const std::string lastFrame = "\\" + std::string(10, ' ');
    ASSERT_NE(std::string::npos, r.out.rfind(lastFrame)) << r.out;
    EXPECT_EQ(text + "\n", r.out.substr(r.out.rfind(lastFrame) + lastFrame.size())) << r.out;
    EXPECT_EQ("", r.err);
  }
}

// Replies that have no body end where their header does, whatever their
// headers say, while the service keeps the connection; none is a status
// the loop knows.
TEST(BuildLoopE2E, RepliesWithoutABodyEndAtOnce) {
  const std::string replies[] = {
      "HTTP/1.1 204 No Content\r\n\r\n",
      "HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n",
      "HTTP/1.1 304 Not Modified\r\nContent-Length: 7\r\n\r\n",
      "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 204 No Content\r\nTransfer-Encoding: chunked\r\n\r\n",
  };
  for (const std::string& reply : replies) {
    SCOPED_TRACE(reply);
    Sandbox box;
    RunResult r = runAgainst(box, reply, true);
    ASSERT_TRUE(r.exited(0)) << harness::describe(r);
    EXPECT_NE(std::string::npos, r.out.find("unknown return '0'\n")) << r.out;
    EXPECT_EQ("", r.err);
  }
}

// A module or a page the service cut short, or whose coding does not
// decode, is never taken: the fatal text, status 0, nothing installed.
TEST(BuildLoopE2E, BodiesThatAreNotWholeAreRefused) {
  const std::string module = "MODULE-BYTES";
  // Decodes to 256 MiB, far more than any reply the tool keeps.
  const std::string member = harness::gzipped(std::string(64 << 20, '\0'));
  const std::string bomb = member + member + member + member;
  const struct {
    const char* name;
    std::string reply;
    const char* err;
  } cases[] = {
      {"module shorter than its length", headerOk(moduleHeaders() + "Content-Length: 12\r\n") + "MODULE",
       "module data shorter than the size specified in headers\n"},
      {"chunked module without its last chunk",
       headerOk(moduleHeaders() + "Content-Length: 12\r\nTransfer-Encoding: chunked\r\n") +
           harness::chunks(module, 6).substr(0, 11),
       "Incomplete body returned from server\n"},
      {"module whose gzip data is corrupt",
       headerOk(moduleHeaders() + "Content-Encoding: gzip\r\nContent-Length: 12\r\n") + module,
       "Invalid body returned from server\n"},
      {"page shorter than its length",
       headerOk("Content-Length: 100\r\n") + "<!-- STATUS: Compiling -->\n<!-- URL: /sta",
       "Incomplete body returned from server\n"},
      {"module that inflates past the bound",
       headerOk(moduleHeaders() + "Content-Encoding: gzip\r\nContent-Length: " + std::to_string(bomb.size()) + "\r\n") +
           bomb,
       "Return data is too large for buffer\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    layMachine(box, Install::kAgentOnly);
    BuildServiceRoutes routes;
    routes.on("/process.php", {harness::replyRedirect("/status.php?r=1"), true});
    routes.on("/status.php?r=1", {c.reply, false});
    FakeBuildService service(routes);
    RunResult r = runRetrieval({"--host", kHost, "--no-binary"});
    ASSERT_TRUE(r.exited(0)) << harness::describe(r);
    EXPECT_EQ(std::string("SSL Error: Premature close\n") + c.err, r.err);
    EXPECT_EQ(std::string::npos, r.out.find("Kernel module is now installed.")) << r.out;
    EXPECT_FALSE(harness::pathPresent("/lib/modules/pelagent/" + moduleName()));
    EXPECT_EQ(paths(service.requests(2)), (std::vector<std::string>{"/process.php", "/status.php?r=1"}));
  }
}

// A reply whose header frames it in more than one way, or in none, is
// refused whatever its body holds: two lengths that differ (in either
// order), a length followed by a second number, a Transfer-Encoding with a
// blank or a control character before its colon beside a length that
// covers its chunks. Nothing is
// installed; the fatal text, status 0. From the build's loop and from the
// prebuilt-module query alike.
TEST(BuildLoopE2E, RepliesFramedInMoreWaysThanOneAreRefused) {
  const std::string module = "MODULE-BYTES";
  const std::string chunks = "5\r\nhello\r\n0\r\n\r\n";
  const struct {
    const char* name;
    std::string reply;
    bool prebuilt;  // the prebuilt-module query's reply, else the loop's
    const char* err;
  } cases[] = {
      {"lengths that differ, the shorter first",
       headerOk(moduleHeaders() + "Content-Length: 5\r\nContent-Length: 12\r\n") + module, false,
       "incorrect size specified in headers\n"},
      {"lengths that differ, the longer first",
       headerOk(moduleHeaders() + "Content-Length: 12\r\nContent-Length: 5\r\n") + module, false,
       "incorrect size specified in headers\n"},
      {"a length and a second number", headerOk(moduleHeaders() + "Content-Length: 5 0\r\n") + "MODUL", false,
       "incorrect size specified in headers\n"},
      {"a blank before the colon of Transfer-Encoding",
       headerOk(moduleHeaders() + "Content-Length: " + std::to_string(chunks.size()) +
                "\r\nTransfer-Encoding : chunked\r\n") +
           chunks,
       false, "Invalid header returned from server\n"},
      {"a control character before the colon of Transfer-Encoding",
       headerOk(moduleHeaders() + "Content-Length: " + std::to_string(chunks.size()) +
                "\r\nTransfer-Encoding\v: chunked\r\n") +
           chunks,
       true, "Invalid header returned from server\n"},
      {"lengths that differ in the prebuilt module",
       headerOk(moduleHeaders() + "Content-Length: 12\r\nContent-Length: 5\r\n") + module, true,
       "incorrect size specified in headers\n"},
      {"a blank before the colon in the prebuilt module",
       headerOk(moduleHeaders() + "Content-Length: " + std::to_string(chunks.size()) +
                "\r\nTransfer-Encoding : chunked\r\n") +
           chunks,
       true, "Invalid header returned from server\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    layMachine(box, Install::kAgentOnly);
    BuildServiceRoutes routes;
    const std::string cached = c.prebuilt ? c.reply : harness::replyOk("no such module");
    routes.onPrefix("/cache-module.php", [cached](const std::string&) { return harness::ServiceAnswer{cached, true}; });
    routes.on("/process.php", {harness::replyRedirect("/status.php?r=1"), true});
    routes.on("/status.php?r=1", {c.reply, true});
    FakeBuildService service(routes);
    RunResult r = runRetrieval({"--host", kHost});
    ASSERT_TRUE(r.exited(0)) << harness::describe(r);
    EXPECT_EQ(c.err, r.err);
    EXPECT_EQ(std::string::npos, r.out.find("Kernel module is now installed.")) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("Saving kernel module")) << r.out;
    EXPECT_FALSE(harness::pathPresent("/lib/modules/pelagent/" + moduleName()));
    auto got = paths(service.requests(c.prebuilt ? 1 : 3));
    ASSERT_EQ(c.prebuilt ? 1u : 3u, got.size());
    EXPECT_EQ(0u, got[0].find("/cache-module.php?md5="));
    if (!c.prebuilt) {
      EXPECT_EQ((std::vector<std::string>{"/process.php", "/status.php?r=1"}),
                std::vector<std::string>(got.begin() + 1, got.end()));
    }
  }
}

// Megabytes of interim replies before the upload's reply and before the
// module cost time in proportion to their bytes: each reply is read once,
// and what judges it takes the reader that read it. A reader that copied
// what follows each interim reply again, or a second read of the stored
// bytes by such a reader, takes minutes for these replies.
TEST(BuildLoopE2E, InterimRepliesCostTimeInProportionToTheirBytes) {
  const std::string interim = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\nX-Progress: 7\r\n\r\n";
  std::string many;
  while (many.size() < (8u << 20)) many += interim;
  Sandbox box;
  layMachine(box, Install::kAgentOnly);
  BuildServiceRoutes routes;
  routes.on("/process.php", {many + harness::replyRedirect("/status.php?r=1"), true});
  routes.on("/status.php?r=1", {many + harness::replyAttachment(moduleName(), "MODULE-BYTES"), true});
  FakeBuildService service(routes);
  auto start = std::chrono::steady_clock::now();
  // Silent: the spinner pauses a millisecond for each piece a GET reads.
  RunResult r = runRetrieval({"--host", kHost, "--no-binary", "--silent"}, {}, false, 120000);
  auto took = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(r.exited(0)) << harness::describe(r);
  EXPECT_EQ("", r.err);
  EXPECT_EQ("MODULE-BYTES", harness::readFile("/lib/modules/pelagent/" + moduleName()));
  EXPECT_LT(took, std::chrono::seconds(15))
      << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
  EXPECT_EQ(paths(service.requests(2)), (std::vector<std::string>{"/process.php", "/status.php?r=1"}));
}

// Once the upload is over its meter stays quiet: a SIGALRM sent then
// neither redraws the meter's line nor starts its ticks again, while the
// build's loop goes on.
TEST(BuildLoopE2E, MeterStaysStoppedAfterTheUpload) {
  Sandbox box;
  layMachine(box, Install::kAgentOnly);
  BuildServiceRoutes routes;
  auto compiling = [](const std::string&) {
    return harness::ServiceAnswer{harness::replyStatusPage("Compiling", "/status.php?r=7"), true};
  };
  routes.onPrefix("/process.php", compiling);
  routes.onPrefix("/status.php", compiling);
  FakeBuildService service(routes);
  harness::Pty pty;
  pty.startTool({"--host", kHost, "--no-binary"});
  const std::string started = "Starting module build...";
  ASSERT_TRUE(pty.waitFor(started, 60000)) << pty.output();
  ASSERT_TRUE(catches(pty.pid(), SIGALRM)) << "the signal would not reach the meter's handler";
  pty.signal(SIGALRM);
  pty.readFor(2500);
  const std::string after = pty.output().substr(pty.output().find(started));
  EXPECT_EQ(after.find("uploading kernel package"), std::string::npos) << after;
  EXPECT_EQ(after.find('%'), std::string::npos) << after;
}

}  // namespace
