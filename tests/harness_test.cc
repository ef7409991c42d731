// Tests of the end-to-end harness itself: isolation, fixtures, runners.
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "setup/files.h"
#include "tests/harness/fixtures.h"
#include "tests/harness/pty.h"
#include "tests/harness/run.h"
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

TEST(Pty, EchoSettingsWindowSizeAndSignal) {
  Pty pty(24, 80);
  const std::string before = pty.sttyG();
  EXPECT_EQ(before + "\n", shell("stty -g < " + pty.slaveName()));
  pty.start("/bin/sh", {"-c",
                        "trap 'echo winch; stty size' WINCH; read line; echo \"got:$line\"; "
                        "stty -echo; echo noecho; read line; stty size; read line"});
  pty.send("abc\n");
  EXPECT_TRUE(pty.waitFor("abc\r\ngot:abc\r\nnoecho\r\n")) << pty.output();
  EXPECT_NE(pty.sttyG(), before);
  EXPECT_FALSE(pty.attributes().c_lflag & ECHO);
  pty.send("hidden\n");
  EXPECT_TRUE(pty.waitFor("24 80\r\n")) << pty.output();
  EXPECT_EQ(pty.output().find("hidden"), std::string::npos);
  pty.setWindowSize(30, 100);
  EXPECT_TRUE(pty.waitFor("winch\r\n30 100\r\n")) << pty.output();
  pty.signal(SIGINT);
  PtyExit e = pty.wait();
  EXPECT_EQ(e.signal, SIGINT);
  // The terminal stays readable after the child: the echo it turned off is still off.
  EXPECT_FALSE(pty.attributes().c_lflag & ECHO);
}
