// The agent settings file edited in process, in a scratch working directory.
#include "config/agent_config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "config/config.h"
#include "setup/settings.h"
#include "tests/harness/sandbox.h"

namespace {

class AgentConfig : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/agent-config-test.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    root_ = dir;
    ASSERT_EQ(::mkdir((root_ + "/conf").c_str(), 0755), 0);
    workDirOverride = root_;
    agentConfigStore.clear();
  }
  void TearDown() override { std::system(("rm -rf '" + root_ + "'").c_str()); }

  std::string file() const { return root_ + "/conf/agent_config"; }
  std::string backup() const { return file() + ".bak"; }
  void write(const std::string& text) { std::ofstream(file(), std::ios::binary) << text; }
  // A new run: the next operation reads the file again.
  void newRun() { agentConfigStore.clear(); }

  std::string root_;
};

TEST_F(AgentConfig, PortTexts) {
  struct Case {
    const char* text;
    int result;
    const char* line;  // the port line written, or nullptr when nothing may change
  } cases[] = {
      {"0", 1, nullptr},         {"65536", 1, nullptr}, {"-5", 1, nullptr},
      {"abc", 1, nullptr},       {"", 1, nullptr},      {"4294975488", 1, nullptr},
      {"99999999999999999999", 1, nullptr},
      {"8080abc", 0, "LocalPort=8080 \n"}, {" 8080", 0, "LocalPort=8080 \n"},
      {"65535", 0, "LocalPort=65535 \n"},  {"1", 0, "LocalPort=1 \n"},
      {"+007", 0, "LocalPort=7 \n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    newRun();
    std::remove(backup().c_str());
    write("Name=agent\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(setAgentPort(c.text), c.result);
    std::string out = testing::internal::GetCapturedStdout();
    if (c.line == nullptr) {
      EXPECT_EQ(out, "Invalid port range");
      EXPECT_EQ(harness::readFile(file()), "Name=agent\n");
      EXPECT_EQ(::access(backup().c_str(), F_OK), -1);
    } else {
      EXPECT_EQ(out, "");
      EXPECT_EQ(harness::readFile(file()), std::string("Name=agent\n") + c.line);
    }
  }
}

TEST_F(AgentConfig, EveryMatchingLineIsReplacedOthersKept) {
  write("# agent\nLocalPort=1\nlocalport=2\n LocalPort=3\n#LocalPort=4\nLocalPort=5\r\nTail=x");
  EXPECT_EQ(setAgentPort("9000"), 0);
  EXPECT_EQ(harness::readFile(file()),
            "# agent\nLocalPort=9000 \nlocalport=2\n LocalPort=3\n#LocalPort=4\nLocalPort=9000 \nTail=x");
}

TEST_F(AgentConfig, UnmatchedSpellingsGetAnAppendedLine) {
  write("localport=2\n LocalPort=3\n#LocalPort=4\n");
  EXPECT_EQ(setAgentPort("8080"), 0);
  EXPECT_EQ(harness::readFile(file()), "localport=2\n LocalPort=3\n#LocalPort=4\nLocalPort=8080 \n");
}

TEST_F(AgentConfig, EmptyFileGetsOneLine) {
  write("");
  EXPECT_EQ(setAgentPort("8080"), 0);
  EXPECT_EQ(harness::readFile(file()), "LocalPort=8080 \n");
}

TEST_F(AgentConfig, AppendAfterLastLineWithoutLineEnd) {
  write("Name=agent");
  EXPECT_EQ(setAgentBindTo("10.0.0.5"), 0);
  EXPECT_EQ(harness::readFile(file()), "Name=agent\nBindTo=10.0.0.5\n");
}

TEST_F(AgentConfig, LongLinesSurviveUnchanged) {
  std::string longLine = "Comment=" + std::string(9000, 'x') + "\n";
  // Read in several pieces, written back in order.
  write(longLine + "LocalPort=1\n");
  EXPECT_EQ(setAgentPort("2"), 0);
  EXPECT_EQ(harness::readFile(file()), longLine + "LocalPort=2 \n");
}

TEST_F(AgentConfig, DebugOnOff) {
  struct Case {
    const char* before;
    bool on;
    const char* after;
  } cases[] = {
      {"Debug=0\n", true, "Debug=1\n\n"},
      {"Debug=1\n\n", true, "Debug=1\n\n\n"},  // the empty line stays, one more comes
      {"Debug=1\n", false, "# Debug=1\n\n"},
      {"#Debug=1\n", true, "Debug=1\n\n"},
      {"# Debug=0\n", true, "Debug=1\n\n"},
      {"Port=1\n", true, "Port=1\nDebug=1\n\n"},
      {"Port=1\n", false, "Port=1\n#Debug=1\n\n"},
      {"debug=1\n", false, "debug=1\n#Debug=1\n\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.before);
    newRun();
    write(c.before);
    EXPECT_EQ(setAgentDebug(c.on), 0);
    EXPECT_EQ(harness::readFile(file()), c.after);
  }
}

TEST_F(AgentConfig, BindAddressWrittenAsGiven) {
  for (const char* address : {"", "host.example", "fe80::1", "two words", "10.0.0.5"}) {
    SCOPED_TRACE(address);
    newRun();
    write("BindTo=old\nX=1\n");
    EXPECT_EQ(setAgentBindTo(address), 0);
    EXPECT_EQ(harness::readFile(file()), std::string("BindTo=") + address + "\nX=1\n");
  }
}

TEST_F(AgentConfig, BindAddressWithLineEndRefused) {
  write("BindTo=old\n");
  for (const char* address : {"1.2.3.4\nDebug=1", "a\r", "\n"}) {
    newRun();
    testing::internal::CaptureStdout();
    EXPECT_EQ(setAgentBindTo(address), 1);
    EXPECT_NE(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(harness::readFile(file()), "BindTo=old\n");
    EXPECT_EQ(::access(backup().c_str(), F_OK), -1);
  }
}

TEST_F(AgentConfig, NullValues) {
  write("X=1\n");
  testing::internal::CaptureStdout();
  EXPECT_EQ(setAgentPort(nullptr), 1);
  EXPECT_EQ(setAgentBindTo(nullptr), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "agent port cannot be nullagent bindto cannot be null");
  EXPECT_EQ(harness::readFile(file()), "X=1\n");
}

TEST_F(AgentConfig, BindToQuery) {
  struct Case {
    const char* text;
    std::optional<std::string> value;
  } cases[] = {
      {"BindTo=10.0.0.5\n", "10.0.0.5"},
      {"X=1\nBindTo=first\nBindTo=second\n", "first"},
      {"BindTo =x\n", std::nullopt},
      {"bindto=x\n", std::nullopt},
      {"", std::nullopt},
      {"BindTo=", ""},              // at the very end of a file without a line end
      {"BindTo=a", "a"},
      {"BindTo=\n", ""},
      {"BindTo=h\r\n", "h"},
      {"BindTo=a=b\n", "a=b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    newRun();
    write(c.text);
    EXPECT_EQ(getAgentBindTo(), c.value);
  }
}

TEST_F(AgentConfig, ThreeSettersReadOnceBackupHoldsSecondWrite) {
  write("Name=agent\n");
  EXPECT_EQ(setAgentBindTo("10.1.1.1"), 0);
  // Changes made on disk after the first read are not seen in this run.
  write("Other=1\n");
  EXPECT_EQ(setAgentPort("7000"), 0);
  EXPECT_EQ(setAgentDebug(true), 0);
  EXPECT_EQ(harness::readFile(file()), "Name=agent\nBindTo=10.1.1.1\nLocalPort=7000 \nDebug=1\n\n");
  EXPECT_EQ(harness::readFile(backup()), "Name=agent\nBindTo=10.1.1.1\nLocalPort=7000 \n");
}

TEST_F(AgentConfig, MissingFileFailsAndCreatesNothing) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(setAgentPort("8080"), 1);
  EXPECT_EQ(setAgentDebug(true), 1);
  EXPECT_EQ(setAgentBindTo("x"), 1);
  EXPECT_EQ(getAgentBindTo(), std::nullopt);
  std::string once = "Could not open configuration file\nCould not read agent configuration file\n";
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            once + once + once + "Could not open configuration file\nCould not read agent configuration file");
  EXPECT_EQ(::access(file().c_str(), F_OK), -1);
  EXPECT_EQ(::access(backup().c_str(), F_OK), -1);
}

// An empty --dev-test-paths is a directory like any other: the file is
// looked for as "/conf/agent_config".
TEST_F(AgentConfig, EmptyWorkingDirectoryIsTheRoot) {
  if (::access("/conf", F_OK) == 0) GTEST_SKIP() << "this machine has a /conf";
  workDirOverride = std::string();
  testing::internal::CaptureStdout();
  EXPECT_EQ(setAgentPort("8080"), 1);
  EXPECT_EQ(getAgentBindTo(), std::nullopt);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Could not open configuration file\nCould not read agent configuration file\n"
            "Could not open configuration file\nCould not read agent configuration file");
}

TEST_F(AgentConfig, SaveKeepsModeAndOwner) {
  write("X=1\n");
  ASSERT_EQ(::chmod(file().c_str(), 0640), 0);
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(file().c_str(), 1234, 4321), 0);
  }
  EXPECT_EQ(setAgentPort("1000"), 0);
  struct stat st;
  ASSERT_EQ(::stat(file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (::geteuid() == 0) {
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 4321u);
  }
  ASSERT_EQ(::stat(backup().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(harness::readFile(backup()), "X=1\n");
  // No temporary file is left beside it.
  EXPECT_EQ(std::system(("test $(ls -A '" + root_ + "/conf' | wc -l) -eq 2").c_str()), 0);
}

TEST_F(AgentConfig, FailedBackupLeavesFileWhole) {
  write("X=1\n");
  ASSERT_EQ(::mkdir(backup().c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((backup() + "/keep").c_str(), 0755), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(setAgentPort("1000"), 1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("Failed to create backup file: ", 0), 0u) << out;
  EXPECT_NE(out.find("\nCould not save config file\n"), std::string::npos) << out;
  EXPECT_EQ(harness::readFile(file()), "X=1\n");
}

TEST_F(AgentConfig, DebugQueryNotUsedBySetup) {
  struct Case {
    const char* text;
    int on;
  } cases[] = {{"debug = true\n", 1}, {"Debug=1\n", 1}, {"# Debug=1\n", 0}, {"Debug=0\n", 0}, {"", 0}};
  for (const Case& c : cases) {
    newRun();
    write(c.text);
    EXPECT_EQ(isAgentDebugEnabled(), c.on) << c.text;
    EXPECT_EQ(getAgentPort(), 0);
  }
}

}  // namespace
