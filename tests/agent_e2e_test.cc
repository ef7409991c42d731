// The built tool on the agent settings and the key store, end to end, in a
// private namespace with a working directory given by --dev-test-paths.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <string>

#include "tests/harness/fixtures.h"
#include "tests/harness/run.h"
#include "tests/harness/sandbox.h"
#include "tests/harness/tool.h"

using namespace harness;

namespace {

const std::string kWork = "/tmp/work";
const std::string kKeys = kWork + "/conf/server.allow";

class AgentTool : public ::testing::Test {
 protected:
  void SetUp() override {
    installProduct(box_, Install::kFullAgent);
    box_.makeDirs(kKeys);
  }
  RunResult run(std::vector<std::string> args, const std::string& input = "") {
    RunOptions options;
    options.args = {"--dev-test-paths", kWork};
    options.args.insert(options.args.end(), args.begin(), args.end());
    options.input = input;
    return runTool(options);
  }
  // Every file under the working directory with its bytes, for comparisons.
  static std::string tree(const std::string& dir) {
    return shell("cd " + shellQuote(dir) + " && find . -type f | LC_ALL=C sort | while read f; do "
                 "echo \"== $f\"; od -c \"$f\"; done");
  }

  Sandbox box_;
};

struct FixtureCase {
  const char* name;
  std::vector<std::string> args;
  std::string out;
};

TEST_F(AgentTool, SettersAgainstFixtures) {
  const FixtureCase cases[] = {
      {"three_setters",
       {"--agent-bind-addr", "10.1.1.1", "--agent-port", "7000", "--agent-debug", "true"},
       std::string("Agent bind address set\nAgent port set\nAgent debug logging set\n") + kAgentRestart},
      {"append_without_line_end",
       {"--agent-port", "8080", "--agent-debug", "false"},
       std::string("Agent port set\nAgent debug logging set\n") + kAgentRestart},
  };
  for (const FixtureCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string fixture = std::string(TAVRIK_TEST_DATA_DIR) + "/agent_config/" + c.name;
    box_.remove(kWork);
    shell("cp -a " + shellQuote(fixture + "/before") + " " + kWork);
    RunResult result = run(c.args);
    EXPECT_TRUE(result.exited(0)) << describe(result);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(tree(kWork), tree(fixture + "/after"));
  }
}

TEST_F(AgentTool, BindAddressQuery) {
  box_.writeFile(kWork + "/conf/agent_config", "LocalPort=1 \nBindTo=192.0.2.7\nBindTo=second\n");
  RunResult result = run({"--get-agent-bind-addr", "--agent-port", "5"});
  EXPECT_TRUE(result.exited(0)) << describe(result);
  EXPECT_EQ(result.out, "Agent Bind Address: 192.0.2.7\n");
  EXPECT_EQ(readFile(kWork + "/conf/agent_config"), "LocalPort=1 \nBindTo=192.0.2.7\nBindTo=second\n");

  box_.writeFile(kWork + "/conf/agent_config", "BindTo =x\n");
  result = run({"--get-agent-bind-addr"});
  EXPECT_TRUE(result.exited(1)) << describe(result);
  EXPECT_EQ(result.out, "Could not retrieve bind address from configuration\n");
}

TEST_F(AgentTool, SetterFailures) {
  const std::string config = "BindTo=old\n";
  struct Case {
    std::vector<std::string> args;
    const char* out;
  } cases[] = {
      {{"--agent-port", "0"}, "Invalid port rangeFailed to set agent port\n"},
      {{"--agent-port", "4294975488"}, "Invalid port rangeFailed to set agent port\n"},
      {{"--agent-bind-addr", "1.2.3.4\nDebug=1"},
       "agent bindto cannot hold a line end\nFailed to set agent bind address\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1]);
    box_.writeFile(kWork + "/conf/agent_config", config);
    RunResult result = run(c.args);
    EXPECT_TRUE(result.exited(1)) << describe(result);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(readFile(kWork + "/conf/agent_config"), config);
    EXPECT_FALSE(pathPresent(kWork + "/conf/agent_config.bak"));
  }
  box_.remove(kWork + "/conf/agent_config");
  RunResult result = run({"--agent-port", "80"});
  EXPECT_TRUE(result.exited(1)) << describe(result);
  EXPECT_EQ(result.out,
            "Could not open configuration file\nCould not read agent configuration file\nFailed to set agent port\n");
  EXPECT_FALSE(pathPresent(kWork + "/conf/agent_config"));
}

// The backup is made, but the new file can't be written: the old one stays.
TEST_F(AgentTool, FullFileSystemKeepsTheOldFileWhole) {
  const std::string conf = kWork + "/conf";
  ASSERT_EQ(0, ::mount("tmpfs", conf.c_str(), "tmpfs", 0, "size=8k"));
  const std::string config = "AgentPort=9000\n" + std::string(1500, '#') + "\n";
  box_.writeFile(conf + "/agent_config", config);
  shell("dd if=/dev/zero of=" + conf + "/filler bs=1k count=64 2>/dev/null");
  RunResult result = run({"--agent-port", "8080"});
  EXPECT_TRUE(result.exited(1)) << describe(result);
  EXPECT_EQ(result.out, "Could not save output file\nCould not save config file\nFailed to set agent port\n");
  EXPECT_EQ(readFile(conf + "/agent_config"), config);
  EXPECT_EQ(shell("ls -A " + conf + " | grep -v '^agent_config' | grep -v '^filler$' || true"), "");
}

TEST_F(AgentTool, KeyFromStandardInput) {
  struct Case {
    std::string input;
    std::string stored;
  } cases[] = {
      {"-----BEGIN PUBLIC KEY-----\r\nMIIB\r\r\nx\ry\r\n-----END PUBLIC KEY-----\r\n",
       "-----BEGIN PUBLIC KEY-----\nMIIB\nx\ry\n-----END PUBLIC KEY-----\n"},
      {std::string(4095, 'k'), std::string(4095, 'k')},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.size());
    box_.remove(kKeys + "/mgr");
    RunResult result = run({"--stdin-key", "--key-filename", "mgr"}, c.input);
    EXPECT_TRUE(result.exited(0)) << describe(result);
    EXPECT_EQ(result.out, "Key 'mgr' successfully installed.\n");
    EXPECT_EQ(readFile(kKeys + "/mgr"), c.stored);
    struct stat st;
    ASSERT_EQ(::stat((kKeys + "/mgr").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0400u);
  }
}

TEST_F(AgentTool, KeyFromStandardInputRefused) {
  RunResult result = run({"--stdin-key", "--key-filename", "big"}, std::string(4096, 'k'));
  EXPECT_TRUE(result.exited(1)) << describe(result);
  EXPECT_EQ(result.out, "Key entered is too large\nNo key data entered");
  EXPECT_FALSE(pathPresent(kKeys + "/big"));

  result = run({"--stdin-key"}, "key");
  EXPECT_TRUE(result.exited(1)) << describe(result);
  EXPECT_EQ(result.out, "--stdin-key requires --key-filename as an argument\n");

  for (const char* name : {"../escaped", "..", ".", "", "a/b"}) {
    SCOPED_TRACE(name);
    result = run({"--stdin-key", "--key-filename", name}, "key");
    EXPECT_TRUE(result.exited(1)) << describe(result);
    EXPECT_NE(result.out.find("Failed to save key file\n"), std::string::npos) << result.out;
  }
  EXPECT_FALSE(pathPresent(kWork + "/conf/escaped"));
  EXPECT_EQ(shell("ls -A " + kKeys), "");
}

TEST_F(AgentTool, ListAndRemove) {
  box_.writeFile(kKeys + "/alpha", "a");
  box_.makeDirs(kKeys + "/sub");
  box_.makeSymlink("missing", kKeys + "/dangling");
  box_.writeFile(kWork + "/conf/outside", "o");
  RunResult result = run({"--list-keys"});
  EXPECT_TRUE(result.exited(0)) << describe(result);
  EXPECT_TRUE(result.out == "Installed keys:\n\talpha\n\tsub\n2 keys installed\n" ||
              result.out == "Installed keys:\n\tsub\n\talpha\n2 keys installed\n")
      << result.out;

  // The list comes before the removal within a run.
  result = run({"--remove-key", "alpha", "--list-keys"});
  EXPECT_TRUE(result.exited(0)) << describe(result);
  EXPECT_TRUE(result.out == "Installed keys:\n\talpha\n\tsub\n2 keys installed\nKey successfully deleted.\n" ||
              result.out == "Installed keys:\n\tsub\n\talpha\n2 keys installed\nKey successfully deleted.\n")
      << result.out;
  result = run({"--list-keys"});
  EXPECT_EQ(result.out, "Installed keys:\n\tsub\n1 keys installed\n");

  for (const char* name : {"alpha", "sub", "../outside", ".."}) {
    SCOPED_TRACE(name);
    result = run({"--remove-key", name});
    EXPECT_TRUE(result.exited(1)) << describe(result);
    EXPECT_NE(result.out.find("Failed to delete key.\n"), std::string::npos) << result.out;
  }
  EXPECT_TRUE(pathPresent(kWork + "/conf/outside"));
  EXPECT_TRUE(pathPresent(kKeys + "/sub"));

  box_.remove(kKeys);
  result = run({"--list-keys"});
  EXPECT_TRUE(result.exited(0)) << describe(result);
  EXPECT_EQ(result.out, "Failed to open key dir '" + kKeys + "'.\nInstalled keys:\n0 keys installed\n");
}

}  // namespace
