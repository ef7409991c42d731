// Tests of the end-to-end harness itself: isolation, fixtures, runners.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <net/if.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <set>
#include <string>

#include "setup/files.h"
#include "setup/unique_fd.h"
#include "tests/harness/fixtures.h"
#include "tests/harness/pty.h"
#include "tests/harness/run.h"
#include "tests/harness/servers.h"
#include "tests/harness/sandbox.h"

using namespace harness;

namespace {
const char kProbe[] = "/usr/sbin/harness-probe-file";
}

// Two sandboxes in a row in one process: the second starts clean, and
// nothing written inside reaches the real disk.
TEST(Sandbox, LeaksNothingAndResetsBetweenTests) {
  ASSERT_FALSE(pathPresent(kProbe));
  {
    Sandbox box;
    box.writeFile(kProbe, "x", 0600);
    box.writeFile("/lib/modules/1.2.3/modules.dep", "kernel/a.ko:\n");
    box.writeFile("/etc/pelagent/agent_config", "port 1\n");
    box.writeFile("/tmp/t", "t");
    box.bindFile("/proc/version", "Linux version 9.9.9 (fake)\n");
    EXPECT_EQ(readFile(kProbe), "x");
    EXPECT_EQ(readFile("/usr/lib/modules/1.2.3/modules.dep"), "kernel/a.ko:\n");
    EXPECT_EQ(readFile("/proc/version"), "Linux version 9.9.9 (fake)\n");
    // The tool sees the same world.
    EXPECT_EQ(shell("cat /proc/version /etc/pelagent/agent_config"), "Linux version 9.9.9 (fake)\nport 1\n");
    struct stat st;
    ASSERT_EQ(::stat(kProbe, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
  }
  EXPECT_FALSE(pathPresent(kProbe));
  EXPECT_FALSE(pathPresent("/usr/lib/modules"));
  EXPECT_FALSE(pathPresent("/etc/pelagent"));
  EXPECT_NE(readFile("/proc/version"), "Linux version 9.9.9 (fake)\n");
  {
    Sandbox box;
    EXPECT_FALSE(pathPresent(kProbe));
    EXPECT_FALSE(pathPresent("/tmp/t"));
    EXPECT_TRUE(pathPresent("/lib/modules"));
    EXPECT_FALSE(pathPresent("/lib/modules/1.2.3"));
  }
}

TEST(Sandbox, RefusesWritesOutsideWritablePlaces) {
  Sandbox box;
  EXPECT_THROW(box.writeFile("/usr/bin/harness-probe", "x"), std::runtime_error);
  EXPECT_THROW(box.writeFile("/var/harness-probe", "x"), std::runtime_error);
  EXPECT_FALSE(pathPresent("/usr/bin/harness-probe"));
  // A ".." is refused wherever it stands, also after a missing directory
  // (only the existing part of a path can be resolved) and at the end of a
  // path to remove (only its parent is checked).
  const std::string escape = "/tmp/new/../../var/tmp/harness-dotdot-probe";
  EXPECT_THROW(box.writeFile(escape, "x"), std::runtime_error);
  EXPECT_THROW(box.makeDirs(escape), std::runtime_error);
  EXPECT_THROW(box.makeSymlink("/", escape), std::runtime_error);
  EXPECT_FALSE(pathPresent("/var/tmp/harness-dotdot-probe"));
  EXPECT_FALSE(pathPresent("/tmp/new"));
  box.makeDirs("/tmp/up/down");
  EXPECT_THROW(box.remove("/tmp/up/down/.."), std::runtime_error);
  EXPECT_TRUE(pathPresent("/tmp/up/down"));
  box.makeWritable("/usr/bin");
  box.writeFile("/usr/bin/harness-probe", "x");
  EXPECT_TRUE(pathPresent("/bin/harness-probe"));
  box.bindFile("/bin/netstat", "#!/bin/sh\necho fake netstat\n", 0755);
  EXPECT_EQ(shell("/bin/netstat -anp"), "fake netstat\n");
}

TEST(Sandbox, OnlyLoopbackIsThere) {
  Sandbox box;
  struct ifaddrs* list = nullptr;
  ASSERT_EQ(::getifaddrs(&list), 0);
  std::set<std::string> names;
  for (auto* a = list; a; a = a->ifa_next) {
    names.insert(a->ifa_name);
    if (std::string(a->ifa_name) == "lo") {
      EXPECT_TRUE(a->ifa_flags & IFF_UP);
    }
  }
  ::freeifaddrs(list);
  EXPECT_EQ(names, std::set<std::string>{"lo"});
}

TEST(Fixtures, EachKindIsDetectedAlone) {
  struct Case {
    Install kind;
    bool standalone, server, agent, console, driver;
  } cases[] = {
      {Install::kNothing, false, false, false, false, false},
      {Install::kAgentOnly, true, false, false, false, false},
      {Install::kFullAgent, false, false, true, false, false},
      {Install::kManager, false, true, false, false, false},
      {Install::kConsole, false, false, false, true, false},
      {Install::kDriverOnly, false, false, false, false, true},
  };
  for (const auto& c : cases) {
    Sandbox box;
    installProduct(box, c.kind);
    SCOPED_TRACE(installName(c.kind));
    EXPECT_EQ(isStandaloneAgentInstall(), c.standalone);
    EXPECT_EQ(isServerInstalled(), c.server);
    EXPECT_EQ(isAgentInstalled(), c.agent);
    EXPECT_EQ(isConsoleInstalled(), c.console);
    EXPECT_EQ(isDriverOnlyInstall(), c.driver);
  }
}

TEST(Run, SeparateAndCombinedStreamsStdinAndStatus) {
  RunOptions o;
  o.args = {"-c", "read l; echo \"out:$l\"; echo err1 >&2; echo out2; echo err2 >&2; exit 3"};
  o.input = "hello\n";
  RunResult r = runProgram("/bin/sh", o);
  EXPECT_TRUE(r.exited(3)) << describe(r);
  EXPECT_EQ(r.out, "out:hello\nout2\n");
  EXPECT_EQ(r.err, "err1\nerr2\n");
  o.combined = true;
  r = runProgram("/bin/sh", o);
  EXPECT_EQ(r.out, "out:hello\nerr1\nout2\nerr2\n");
  EXPECT_EQ(r.err, "");
}

TEST(Run, EnvironmentStdinModesTimeoutAndSignal) {
  RunOptions o;
  o.env = {{"http_proxy", "127.0.0.1:3128"}};
  o.args = {"-c", "echo \"$http_proxy\"; if [ -e /proc/self/fd/0 ]; then echo open; else echo closed; fi"};
  o.stdinMode = Stdin::kClosed;
  RunResult r = runProgram("/bin/sh", o);
  EXPECT_EQ(r.out, "127.0.0.1:3128\nclosed\n") << describe(r);
  o.stdinMode = Stdin::kDevNull;
  EXPECT_EQ(runProgram("/bin/sh", o).out, "127.0.0.1:3128\nopen\n");

  o = RunOptions();
  o.args = {"-c", "sleep 5"};
  o.timeoutMs = 200;
  r = runProgram("/bin/sh", o);
  EXPECT_TRUE(r.timedOut);
  EXPECT_EQ(r.signal, SIGKILL);

  o.args = {"-c", "kill -TERM $$"};
  o.timeoutMs = 5000;
  r = runProgram("/bin/sh", o);
  EXPECT_FALSE(r.timedOut);
  EXPECT_EQ(r.signal, SIGTERM);
  EXPECT_TRUE(runProgram("/nonexistent/program", o).execFailed);

  int status = 0;
  EXPECT_EQ(shell("printf %s " + shellQuote("it's"), &status), "it's");
  EXPECT_EQ(status, 0);
}

// The test process ignores SIGPIPE (its servers need that) and may ignore
// or block more; its children must start as from a login shell, or a tool
// that lost its own SIGPIPE handler would pass every test.
TEST(Run, ChildrenStartWithDefaultSignalDispositions) {
  const int ignored[] = {SIGPIPE, SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGUSR1};
  struct sigaction saved[sizeof ignored / sizeof ignored[0]];
  for (std::size_t i = 0; i < sizeof ignored / sizeof ignored[0]; ++i) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(ignored[i], &ignore, &saved[i]);
  }
  sigset_t blocked, before;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGUSR2);
  sigprocmask(SIG_BLOCK, &blocked, &before);

  const std::string none = "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n";
  RunOptions o;
  o.args = {"-E", "^Sig(Blk|Ign)", "/proc/self/status"};
  o.stdinMode = Stdin::kDevNull;
  RunResult r = runProgram("grep", o);
  EXPECT_EQ(r.out, none) << describe(r);
  // A shell can't undo a disposition ignored on entry: only a child that
  // starts with the default dies of the signal here.
  o.args = {"-c", "kill -PIPE $$; echo survived"};
  r = runProgram("/bin/sh", o);
  EXPECT_EQ(r.signal, SIGPIPE) << describe(r);

  Pty pty;
  pty.start("grep", {"-E", "^Sig(Blk|Ign)", "/proc/self/status"});
  EXPECT_TRUE(pty.wait().exited(0));
  EXPECT_EQ(pty.output(), "SigBlk:\t0000000000000000\r\nSigIgn:\t0000000000000000\r\n");

  sigprocmask(SIG_SETMASK, &before, nullptr);
  for (std::size_t i = 0; i < sizeof ignored / sizeof ignored[0]; ++i) sigaction(ignored[i], &saved[i], nullptr);
}

TEST(Pty, EchoSettingsWindowSizeAndSignal) {
  Pty pty(24, 80);
  const std::string before = pty.sttyG();
  EXPECT_EQ(before + "\n", shell("stty -g < " + pty.slaveName()));
  pty.start("/bin/sh", {"-c",
                        "trap 'echo winch; stty size; echo ready' WINCH; read line; echo \"got:$line\"; "
                        "stty -echo; echo noecho; read line; stty size; while :; do read line; done"});
  pty.send("abc\n");
  EXPECT_TRUE(pty.waitFor("abc\r\ngot:abc\r\nnoecho\r\n")) << pty.output();
  EXPECT_NE(pty.sttyG(), before);
  EXPECT_FALSE(pty.attributes().c_lflag & ECHO);
  pty.send("hidden\n");
  EXPECT_TRUE(pty.waitFor("24 80\r\n")) << pty.output();
  EXPECT_EQ(pty.output().find("hidden"), std::string::npos);
  pty.setWindowSize(30, 100);
  EXPECT_TRUE(pty.waitFor("winch\r\n30 100\r\nready\r\n")) << pty.output();
  pty.signal(SIGINT);
  PtyExit e = pty.wait();
  EXPECT_EQ(e.signal, SIGINT) << e.exitCode << pty.output();
  // The terminal stays readable after the child: the echo it turned off is still off.
  EXPECT_FALSE(pty.attributes().c_lflag & ECHO);
}

namespace {

UniqueFd connectLoopback(std::uint16_t port) {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) fd.reset();
  return fd;
}

std::string readAll(int fd) {
  std::string got;
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) got.append(buf, static_cast<std::size_t>(n));
  return got;
}

struct TlsResult {
  bool handshake = false;
  std::string reply;
  bool closeNotify = false;  // the reply ended with a close_notify
};

// A small TLS client over an already connected socket.
TlsResult tlsExchange(int fd, const std::string& request, bool withCert, int version = 0) {
  TlsResult r;
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  if (version) {
    SSL_CTX_set_security_level(ctx.get(), 0);
    SSL_CTX_set_cipher_list(ctx.get(), "DEFAULT:@SECLEVEL=0");
    SSL_CTX_set_min_proto_version(ctx.get(), version);
    SSL_CTX_set_max_proto_version(ctx.get(), version);
  }
  const std::string dir = TAVRIK_TEST_DATA_DIR "/harness/";
  if (withCert) {
    SSL_CTX_use_certificate_file(ctx.get(), (dir + "client.crt").c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(ctx.get(), (dir + "client.key").c_str(), SSL_FILETYPE_PEM);
  }
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx.get()), SSL_free);
  SSL_set_fd(ssl.get(), fd);
  if (SSL_connect(ssl.get()) != 1) return r;
  r.handshake = true;
  SSL_write(ssl.get(), request.data(), static_cast<int>(request.size()));
  char buf[4096];
  int n;
  while ((n = SSL_read(ssl.get(), buf, sizeof buf)) > 0) r.reply.append(buf, static_cast<std::size_t>(n));
  r.closeNotify = SSL_get_error(ssl.get(), n) == SSL_ERROR_ZERO_RETURN;
  if (r.reply.empty() && !r.closeNotify) r.handshake = false;  // TLS 1.3: refused after the handshake
  ERR_clear_error();
  return r;
}

}  // namespace

TEST(Servers, HttpServerReadsTheWholeRequestAndScriptsReplies) {
  Sandbox box;
  TcpServer server(scripted({"HTTP/1.0 200 OK\r\n\r\none", "two"}), {0, untilHttpRequest(2)});
  const std::string post = "POST /p HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc\r\n";
  for (const char* want : {"HTTP/1.0 200 OK\r\n\r\none", "two"}) {
    UniqueFd fd = connectLoopback(server.port());
    ASSERT_TRUE(fd);
    ASSERT_EQ(::write(fd.get(), post.data(), post.size()), static_cast<ssize_t>(post.size()));
    EXPECT_EQ(readAll(fd.get()), want);
  }
  ASSERT_TRUE(server.waitForExchanges(2));
  auto ex = server.exchanges();
  EXPECT_EQ(ex[0].request, post);
  EXPECT_EQ(ex[1].reply, "two");
}

TEST(Servers, TlsServerRequiresAndRecordsTheClientCertificate) {
  Sandbox box;
  TlsOptions tls;
  tls.requireClientCert = true;
  TlsServer server(
      [](const std::string& req, int index) {
        Reply r;
        r.bytes = "echo:" + req;
        r.closeNotify = index == 0;
        return r;
      },
      tls, {443, untilBytes(4)});
  UniqueFd fd = connectLoopback(443);
  TlsResult r = tlsExchange(fd.get(), "ping", true);
  EXPECT_TRUE(r.handshake);
  EXPECT_EQ(r.reply, "echo:ping");
  EXPECT_TRUE(r.closeNotify);
  fd = connectLoopback(443);
  r = tlsExchange(fd.get(), "ping", true);
  EXPECT_EQ(r.reply, "echo:ping");
  EXPECT_FALSE(r.closeNotify);
  fd = connectLoopback(443);
  EXPECT_FALSE(tlsExchange(fd.get(), "ping", false).handshake);
  fd.reset();
  ASSERT_TRUE(server.waitForExchanges(3));
  auto ex = server.exchanges();
  EXPECT_EQ(ex[0].clientCertPem, certificatePem(TAVRIK_TEST_DATA_DIR "/harness/client.crt"));
  EXPECT_EQ(ex[0].request, "ping");
  EXPECT_FALSE(ex[2].handshakeOk);
  EXPECT_NE(ex[2].tlsError, "");
}

TEST(Servers, TlsServerLimitedToTls10) {
  Sandbox box;
  TlsServer server(scripted({"old", "old"}), tls10Only(), {0, untilBytes(1)});
  UniqueFd fd = connectLoopback(server.port());
  TlsResult r = tlsExchange(fd.get(), "x", false, TLS1_VERSION);
  EXPECT_EQ(r.reply, "old");
  fd = connectLoopback(server.port());
  EXPECT_FALSE(tlsExchange(fd.get(), "x", false, TLS1_2_VERSION).handshake);
  fd.reset();
  ASSERT_TRUE(server.waitForExchanges(2));
  EXPECT_EQ(server.exchanges()[0].tlsVersion, "TLSv1");
}

TEST(Servers, ProxyRecordsTheTunnelRequestAndRelays) {
  Sandbox box;
  TcpServer target([](const std::string&, int) { return Reply{"from target"}; }, {0, untilBytes(5)});
  const std::string crlf = "CONNECT build.example:443 HTTP/1.0\r\n\r\n";
  const std::string lf = "CONNECT build.example:443 HTTP/1.1\nHost: build.example:443\n\n";
  struct Case {
    std::string connect;
    ProxyOptions options;
    std::string answer;
    bool relays;
  } cases[] = {
      {crlf, proxyEstablished(target.port()), "HTTP/1.1 200 Connection established\r\n\r\n", true},
      {lf, proxySplit(target.port()), "HTTP/1.1 200 Connection established\r\nProxy-agent: test\r\n\r\n", true},
      {lf, proxyHttp10(target.port()), "HTTP/1.0 200 Connection established\r\n\r\n", true},
      {crlf, proxyAuthRequired(), "HTTP/1.1 407 Proxy Authentication Required\r\n", false},
  };
  for (auto& c : cases) {
    ProxyServer proxy(c.options);
    UniqueFd fd = connectLoopback(proxy.port());
    std::string sent = c.connect + (c.relays ? "hello" : "");
    ASSERT_EQ(::write(fd.get(), sent.data(), sent.size()), static_cast<ssize_t>(sent.size()));
    std::string got = readAll(fd.get());
    EXPECT_EQ(got.compare(0, c.answer.size(), c.answer), 0) << got;
    if (c.relays) {
      EXPECT_EQ(got, c.answer + "from target");
    }
    fd.reset();
    ASSERT_TRUE(proxy.waitForExchanges(1));
    EXPECT_EQ(proxy.exchanges()[0].request, c.connect);
  }
  // The target records a connection once the proxy has closed it.
  ASSERT_TRUE(target.waitForExchanges(3));
  EXPECT_EQ(target.exchanges().size(), 3u);
  EXPECT_EQ(target.exchanges()[0].request, "hello");
}

TEST(Servers, LoopbackNames) {
  Sandbox box;
  useLoopbackNames(box, {"build.example"});
  EXPECT_EQ(shell("getent hosts build.example"), "127.0.0.1       build.example\n");
  int status = 0;
  shell("getent ahostsv4 unknown.example", &status);
  EXPECT_NE(status, 0);
}

TEST(Sandbox, KeepsTheWorkingDirectory) {
  char before[4096];
  ASSERT_TRUE(::getcwd(before, sizeof before));
  {
    Sandbox box;
    char inside[4096];
    ASSERT_TRUE(::getcwd(inside, sizeof inside));
    EXPECT_STREQ(inside, before);
  }
  char after[4096];
  ASSERT_TRUE(::getcwd(after, sizeof after));
  EXPECT_STREQ(after, before);
}
