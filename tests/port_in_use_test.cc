// The port-in-use test over netstat output: a fixture script bound over the
// command, and the real command against real sockets on loopback.
#include "config/port_in_use.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <climits>
#include <string>

#include "setup/unique_fd.h"
#include "tests/harness/run.h"
#include "tests/harness/sandbox.h"

using namespace harness;

namespace {

TEST(NetstatLine, SplitsAtBlanksIntoSevenFields) {
  auto e = parseNetstatLine("tcp   0 0 0.0.0.0:80  0.0.0.0:* LISTEN 12/server extra more");
  ASSERT_TRUE(e);
  EXPECT_EQ("tcp", *e->proto);
  EXPECT_EQ("0", *e->recvQ);
  EXPECT_EQ("0", *e->sendQ);
  EXPECT_EQ("0.0.0.0:80", *e->localAddress);
  EXPECT_EQ("0.0.0.0:*", *e->foreignAddress);
  EXPECT_EQ("LISTEN", *e->state);
  EXPECT_EQ("12/server", *e->program);

  // A tab is no separator; missing fields hold nothing.
  e = parseNetstatLine("udp\t0 0");
  ASSERT_TRUE(e);
  EXPECT_EQ("udp\t0", *e->proto);
  EXPECT_EQ("0", *e->recvQ);
  EXPECT_FALSE(e->sendQ);
  EXPECT_FALSE(e->localAddress);

  EXPECT_FALSE(parseNetstatLine(""));
  EXPECT_FALSE(parseNetstatLine("     "));
}

TEST(NetstatLine, PortIsTheNumberAfterTheLastColon) {
  const std::pair<const char*, int> cases[] = {
      {"0.0.0.0:80", 80},   {":::8080", 8080},       {"::1:631", 631},  {"127.0.0.1:080", 80},
      {"1.2.3.4:800", 800}, {"0.0.0.0:*", 0},        {"noport", 0},     {"[::]:22x", 22},
      {"", 0},              {"1.2.3.4:4294967376", INT_MAX},
  };
  for (const auto& [address, port] : cases) EXPECT_EQ(port, portFromAddress(address)) << address;
}

// netstat output with every kind of line the scan meets.
const char kFixture[] =
    "Active Internet connections (servers and established)\n"
    "Proto Recv-Q Send-Q Local Address           Foreign Address         State       PID/Program name\n"
    "tcp        0      0 0.0.0.0:22              0.0.0.0:*               LISTEN      1/sshd\n"
    "tcp        0      0 127.0.0.1:080           127.0.0.1:5000          ESTABLISHED 2/a\n"
    "tcp6       0      0 :::8080                 :::*                    LISTEN      3/b\n"
    "udp        0      0 0.0.0.0:68              0.0.0.0:*                           4/c\n"
    "tcp        0      0 10.0.0.1:4242           10.0.0.2:3000           TIME_WAIT   -\n"
    "raw 0\n"
    "tcp        0      0 0.0.0.0:1234            0.0.0.0:*               LISTEN      5/d extra fields here\n"
    "\n"
    "tcp        0      0 0.0.0.0:7000            0.0.0.0:*               LISTEN      6/after-empty\n"
    "Active UNIX domain sockets (servers and established)\n"
    "Proto RefCnt Flags       Type       State         I-Node   PID/Program name     Path\n"
    "tcp 0 0 0.0.0.0:7001 0.0.0.0:* LISTEN 7/never\n";

std::string fixtureScript(const std::string& output) {
  return "#!/bin/sh\necho \"$@\" > /tmp/netstat.args\ncat <<'EOF'\n" + output + "EOF\n";
}

TEST(PortInUse, ScansOnlyTheLocalAddressesOfTheInternetSection) {
  Sandbox box;
  box.bindFile("/usr/bin/netstat", fixtureScript(kFixture), 0755);
  const std::pair<int, int> cases[] = {
      {22, 1},   {80, 1},   {8080, 1}, {68, 1},    {4242, 1},  // any protocol, any state
      {1234, 1},                                               // more than seven tokens
      {5000, 0}, {3000, 0},                                    // foreign addresses only
      {8, 0},    {800, 0},  {23, 0},                           // compared as numbers
      {7000, 0}, {7001, 0},                                    // after the empty line / UNIX heading
  };
  for (const auto& [port, inUse] : cases) EXPECT_EQ(inUse, isPortInUse(port)) << port;
  EXPECT_EQ("-anp\n", readFile("/tmp/netstat.args"));
}

TEST(PortInUse, ShortLinesAndTheUnixSectionEndTheScanSafely) {
  Sandbox box;
  // A line without a local address goes by; the UNIX heading stops the scan.
  box.bindFile("/usr/bin/netstat",
               fixtureScript("tcp\ntcp 0\ntcp 0 0\ntcp 0 0 0.0.0.0:99\n"
                             "Active UNIX domain sockets (only servers)\nunix 2 [ ACC ] STREAM LISTENING 1 /x:98\n"),
               0755);
  EXPECT_EQ(1, isPortInUse(99));
  EXPECT_EQ(0, isPortInUse(98));
  // Output that ends without a line end, and no output at all.
  box.bindFile("/usr/bin/netstat", "#!/bin/sh\nprintf 'tcp 0 0 0.0.0.0:97'\n", 0755);
  EXPECT_EQ(1, isPortInUse(97));
  // A line that starts with a NUL byte ends the scan.
  box.bindFile("/usr/bin/netstat", "#!/bin/sh\nprintf 'tcp 0 0 0.0.0.0:94\\n\\000x\\ntcp 0 0 0.0.0.0:95\\n'\n", 0755);
  EXPECT_EQ(1, isPortInUse(94));
  EXPECT_EQ(0, isPortInUse(95));
  box.bindFile("/usr/bin/netstat", "#!/bin/sh\nexit 3\n", 0755);
  EXPECT_EQ(0, isPortInUse(97));
}

TEST(PortInUse, WithoutNetstatEveryPortIsFree) {
  Sandbox box;
  box.makeWritable("/usr/bin");
  box.remove("/usr/bin/netstat");
  UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(2222);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, ::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a));
  ASSERT_EQ(0, ::listen(s.get(), 1));
  EXPECT_EQ(0, isPortInUse(2222));
}

UniqueFd boundSocket(int port) {
  UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int one = 1;
  ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return UniqueFd();
  return s;
}

TEST(PortInUse, RealNetstatSeesListeningAndConnectedLocalPorts) {
  Sandbox box;  // a fresh network namespace: only these sockets exist
  UniqueFd listener = boundSocket(3456);
  ASSERT_TRUE(listener);
  ASSERT_EQ(0, ::listen(listener.get(), 4));
  UniqueFd client = boundSocket(3457);
  ASSERT_TRUE(client);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(3456);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, ::connect(client.get(), reinterpret_cast<sockaddr*>(&to), sizeof to));

  EXPECT_EQ(1, isPortInUse(3456));  // listening
  EXPECT_EQ(1, isPortInUse(3457));  // local side of an established connection
  EXPECT_EQ(0, isPortInUse(3458));
  EXPECT_EQ(0, isPortInUse(345));

  // And through the tool: refused, then forced.
  box.makeDirs("/tmp/work/conf");
  RunOptions o;
  o.args = {"--dev-test-paths", "/tmp/work", "--http-port", "3457"};
  o.combined = true;
  RunResult r = runTool(o);
  EXPECT_TRUE(r.exited(1)) << describe(r);
  EXPECT_EQ("Port 3457 is in use. Use --force to override\nFailed to set port for server\n", r.out);
  EXPECT_FALSE(pathPresent("/tmp/work/conf/web.properties"));
  o.args.push_back("--force");
  r = runTool(o);
  EXPECT_TRUE(r.exited(0)) << describe(r);
  EXPECT_NE(std::string::npos, readFile("/tmp/work/conf/web.properties").find("http-port=3457\n"));
}

TEST(PortInUse, DebugTracesOfTheScan) {
  Sandbox box;
  box.bindFile("/usr/bin/netstat", fixtureScript(kFixture), 0755);
  box.makeDirs("/tmp/work/conf");
  RunOptions o;
  o.args = {"--debug", "--dev-test-paths", "/tmp/work", "--http-port", "7000"};
  o.combined = true;
  RunResult r = runTool(o);
  EXPECT_TRUE(r.exited(0)) << describe(r);
  for (const char* line : {"debug: Skipping header line\n", "debug: start token=tcp\n", "debug: token = 0.0.0.0:22\n",
                           "debug: grabbed port: 22\n", "debug: Failed to parse line\n",
                           "debug: netstat: raw 0\n"}) {
    EXPECT_NE(std::string::npos, r.out.find(line)) << line;
  }
  EXPECT_EQ(std::string::npos, r.out.find("after-empty"));
  EXPECT_EQ(std::string::npos, r.out.find("Found matching port"));
}

}  // namespace
