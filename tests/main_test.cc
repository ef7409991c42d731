// The real binary end to end: start-up, the option table as the user sees
// it, and the fixed order and silent rules of the operations. Operations
// of the manager, agent, keys and module retrieval are driven only into
// outcomes that do not depend on how they are built (a failure they must
// report, or a step that ends the run before them).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/harness/fixtures.h"
#include "tests/harness/run.h"
#include "tests/harness/sandbox.h"
#include "tests/harness/tool.h"

namespace {

using harness::RunOptions;
using harness::RunResult;
using harness::Sandbox;
using harness::runTool;

const std::string kBanner =
    "tavrik-setup (Velmora Setup/Kestrin) 6.0.0 build 38\n"
    "Build Date: 2018/03/15 14:56:02\n"
    "Copyright (C) the Velmora developers. All rights reserved.\n"
    "---\n";
// The usage on a machine with no product installed.
const std::string kUsage = kBanner + "Builds zelt kernel modules\n\t--version\n\t--help\n";
const std::string kNoOperation = "You must specify an operation to complete\n";
const char kWork[] = "/tmp/work";

RunResult run(const std::vector<std::string>& args, const std::string& input = "") {
  RunOptions options;
  options.args = args;
  options.input = input;
  return runTool(options);
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct CliCase {
  std::vector<std::string> args;
  int status;
  std::string out;
  std::string err;
};

}  // namespace

// What the parser and main print for each kind of command line, with the
// status, on a machine where nothing is installed.
TEST(CommandLine, OptionTable) {
  const std::vector<CliCase> cases = {
      {{}, 1, kUsage, ""},
      {{"--help"}, 0, kUsage, ""},
      {{"-h", "--bogus"}, 0, kUsage, ""},
      {{"--debug", "-h"}, 0, "DEBUG!!\n" + kUsage, ""},
      {{"--set-max-mem"}, 1, kUsage, "Option -m requires an argument.\n"},
      {{"--agent-debug"}, 1, kUsage, "Option -: requires an argument.\n"},
      {{"-r"}, 1, kUsage, "Option -r requires an argument.\n"},
      {{"-x"}, 1, kUsage, "Unknown option `-x'.\n"},
      {{"--silent=1"}, 1, kUsage, "Unknown option `-9'.\n"},
      {{"--bogus"}, 1, kUsage, "One or more options missing\n"},
      {{"--get"}, 1, kUsage, "One or more options missing\n"},
      {{"-\xff"}, 1, kUsage, "One or more options missing\n"},
      {{"--module-type", "Zelt"}, 1, "ERROR: Valid arguments to --module-type are backupdriver or zelt\n", ""},
      {{"--custom-version", "x1"},
       1,
       "ERROR: --custom-version argument must be in the form of x.x.x-xxxx\n"
       "  where x is a number. Contact support for a valid driver version\n",
       ""},
      // A value failure ends the run before any later option is read.
      {{"--module-type", "zelt2", "--help"}, 1, "ERROR: Valid arguments to --module-type are backupdriver or zelt\n", ""},
      {{"--custom-version", "5"}, 1, kNoOperation + kUsage, ""},
      {{"--custom-version", "1abc", "--module-type", "backupdriver"}, 1, kNoOperation + kUsage, ""},
      {{"--force", "80"}, 1, "Non-option argument 80\n" + kNoOperation + kUsage, ""},
      {{"--agent-debug", "True"}, 1, "Invalid option for --agent-debug\n" + kNoOperation + kUsage, ""},
      {{"--sil", "--experimental", "--dev-test-paths", kWork}, 1, kNoOperation + kUsage, ""},
      {{"--debug", "--dest", "/d"},
       1,
       "DEBUG!!\ndebug: Setting new destination directory: /d\n\n" + kNoOperation + kUsage,
       ""},
      {{"--dest", "/d", "--debug"}, 1, "DEBUG!!\n" + kNoOperation + kUsage, ""},
      {{"--pass", "secret"}, 1, "ERROR: username and password must both be set\n" + kUsage, ""},
      {{"--stdin-key"}, 1, "--stdin-key requires --key-filename as an argument\n", ""},
      {{"--defaults", "--user", "admin", "--pass", "pw", "--remove-key", "k", "--dev-test-paths", kWork}, 0, "", ""},
      // Status 0 even when the settings could not be written.
      {{"--defaults", "--dev-test-paths", "/nonexistent"}, 0, "", ""},
      // An empty working directory is "/": the file is "/conf/web.properties".
      {{"--get-https-port", "--dev-test-paths", ""}, 0, "Server HTTPS Port: 443\n", ""},
  };
  Sandbox box;
  box.makeDirs(std::string(kWork) + "/conf");
  for (const CliCase& c : cases) {
    std::string line;
    for (const std::string& a : c.args) line += a + " ";
    SCOPED_TRACE(line);
    RunResult r = run(c.args);
    EXPECT_TRUE(r.exited(c.status)) << harness::describe(r);
    // --defaults reports whatever the writer prints; only the status and
    // the absence of every later step matter here.
    if (c.args.size() > 0 && c.args[0] == "--defaults") {
      EXPECT_FALSE(contains(r.out, "username")) << r.out;
      EXPECT_FALSE(contains(r.out, "Key")) << r.out;
    } else {
      EXPECT_EQ(r.out, c.out);
    }
    EXPECT_EQ(r.err, c.err);
  }
}

// The parser's error comes before the usage on one stream; "DEBUG!!"
// follows standard output's own buffering (on a pipe it is written out
// with the first flushed message, the banner).
TEST(CommandLine, ErrorBeforeUsageOnOneStream) {
  Sandbox box;
  RunOptions options;
  options.args = {"--debug", "--bogus"};
  options.combined = true;
  RunResult r = runTool(options);
  EXPECT_TRUE(r.exited(1));
  EXPECT_EQ(r.out, "One or more options missing\nDEBUG!!\n" + kUsage);
}

TEST(Password, PromptsComeFirstAndMustAgree) {
  const std::vector<CliCase> cases = {
      {{"-u", "admin", "-p"}, 1, "Password: \nYou must enter a password\n", ""},
      {{"--user", "admin"}, 1, "Password: ***\n  Verify: ***\nPasswords do not match\n", ""},
      {{"--user", "admin"}, 1, "Password: ***\n  Verify: \nYou must enter a password\n", ""},
  };
  const std::string inputs[] = {" ,.\nabc\n", "abc\nabd\n", "abc\n"};
  for (std::size_t i = 0; i < sizeof inputs / sizeof inputs[0]; ++i) {
    const CliCase& c = cases[i];
    SCOPED_TRACE(inputs[i]);
    Sandbox box;
    // Before the others: "-p" last takes no value, anywhere else it takes
    // the next argument.
    std::vector<std::string> args = {"--dev-test-paths", kWork};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = run(args, inputs[i]);
    EXPECT_TRUE(r.exited(c.status)) << harness::describe(r);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, "");
  }
}

TEST(Password, AgreedEntryBeforeAQueryThatEndsTheRun) {
  Sandbox box;
  box.makeDirs(std::string(kWork) + "/conf");
  RunResult r = run({"--user", "admin", "--get-http-port", "--dev-test-paths", kWork}, "a1b\na1b\n");
  EXPECT_EQ(r.out.rfind("Password: ***\n  Verify: ***\n", 0), 0u) << r.out;
  // The query ends the run: the credentials are not set.
  EXPECT_FALSE(contains(r.out, "username and password")) << r.out;
  EXPECT_FALSE(harness::pathPresent(std::string(kWork) + "/conf/.user_set"));
}

// The first query requested ends the run, whatever else was asked for.
TEST(Order, OneQueryPerRun) {
  Sandbox box;
  box.makeDirs(std::string(kWork) + "/conf");
  box.writeFile(std::string(kWork) + "/conf/web.properties", "http-port=8080\nssl-port=9443\n");
  RunResult r = run({"--get-http-port", "--get-https-port", "--pass", "x", "--dev-test-paths", kWork});
  // The HTTPS query comes first, answers, and ends the run with status 0:
  // no HTTP answer, no complaint about the lone password, no usage.
  EXPECT_TRUE(r.exited(0)) << harness::describe(r);
  EXPECT_EQ(r.out, "Server HTTPS Port: 9443\n");
  EXPECT_EQ(r.err, "");
}

// A port that can never be set makes each setter fail the same way.
TEST(Order, SilentHidesOnlyTheHttpsFailure) {
  struct {
    std::vector<std::string> args;
    bool failureText;
  } cases[] = {
      {{"--https-port", "0"}, true},
      {{"--silent", "--https-port", "0"}, false},
      {{"--http-port", "0"}, true},
      {{"--silent", "--http-port", "0"}, true},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    Sandbox box;
    box.makeDirs(std::string(kWork) + "/conf");
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--dev-test-paths", kWork});
    RunResult r = run(args);
    EXPECT_TRUE(r.exited(1)) << harness::describe(r);
    EXPECT_EQ(contains(r.out, "Failed to set port for server\n"), c.failureText) << r.out;
    EXPECT_FALSE(contains(r.out, "Port set")) << r.out;
    EXPECT_FALSE(harness::pathPresent(std::string(kWork) + "/conf/.port_set"));
  }
}

TEST(Order, HttpsBeforeHttpAndAFailureEndsTheRun) {
  Sandbox box;
  box.makeDirs(std::string(kWork) + "/conf");
  RunResult r = run({"--debug", "--http-port", "0", "--https-port", "0", "--dev-test-paths", kWork});
  EXPECT_TRUE(r.exited(1));
  EXPECT_TRUE(contains(r.out, "debug: ret=")) << r.out;
  EXPECT_FALSE(contains(r.out, "debug: Seting http port")) << r.out;

  r = run({"--debug", "--http-port", "0", "--dev-test-paths", kWork});
  std::size_t seting = r.out.find("debug: Seting http port\n");
  ASSERT_NE(seting, std::string::npos) << r.out;
  EXPECT_NE(r.out.find("debug: ret=", seting), std::string::npos) << r.out;
}

TEST(Order, KeyFailuresEndTheRun) {
  struct {
    std::vector<std::string> args;
    std::string input;
    std::string tail;
  } cases[] = {
      {{"--remove-key", "no-such-key"}, "", "Failed to delete key.\n"},
      // A key too large to read (an empty one is stored as it is).
      {{"--stdin-key", "--key-filename", "k1"}, std::string(5000, 'k'), "No key data entered"},
      // Nothing listens on this loopback port.
      {{"--get-key", "http://127.0.0.1:9/"}, "", "Unable to get key from remote KZP Server\n"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    Sandbox box;
    box.makeDirs(std::string(kWork) + "/conf/server.allow");
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--dev-test-paths", kWork});
    RunResult r = run(args, c.input);
    EXPECT_TRUE(r.exited(1)) << harness::describe(r);
    ASSERT_GE(r.out.size(), c.tail.size()) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - c.tail.size()), c.tail) << r.out;
  }
}

// On an agent-only machine the module is retrieved with no option at all,
// and after the other operations; a query ends the run before it.
TEST(AutomaticModuleMode, RetrievalWithoutOptionsAndAfterOthers) {
  Sandbox box;
  harness::installProduct(box, harness::Install::kAgentOnly);
  box.makeDirs(std::string(kWork) + "/conf");

  RunResult r = run({});
  EXPECT_FALSE(contains(r.out, "Builds backupdriver kernel modules")) << r.out;
  EXPECT_FALSE(contains(r.out, kNoOperation)) << r.out;

  r = run({"--debug", "--dev-test-paths", kWork});
  EXPECT_TRUE(contains(r.out, "debug: Retrieving kernel module\n")) << r.out;
  EXPECT_FALSE(contains(r.out, kNoOperation)) << r.out;

  r = run({"--debug", "--get-agent-bind-addr", "--dev-test-paths", kWork});
  EXPECT_FALSE(contains(r.out, "Retrieving kernel module")) << r.out;

  // With the full agent beside it there is no automatic retrieval.
  harness::installProduct(box, harness::Install::kFullAgent);
  r = run({"--debug", "--custom-version", "5"});
  EXPECT_TRUE(r.exited(1));
  EXPECT_FALSE(contains(r.out, "Retrieving kernel module")) << r.out;
  EXPECT_TRUE(contains(r.out, kNoOperation)) << r.out;
}

TEST(AutomaticModuleMode, SilentAloneRetrieves) {
  Sandbox box;
  harness::installProduct(box, harness::Install::kAgentOnly);
  RunResult r = run({"--silent", "--debug"});
  EXPECT_TRUE(contains(r.out, "debug: Retrieving kernel module\n")) << r.out;
  EXPECT_FALSE(contains(r.out, kNoOperation)) << r.out;
}

// Marker files after the manager's settings: written with or without
// --silent, once per setting, and a marker that cannot be written fails
// the run although the setting itself stays written.
namespace {
const std::string kProps = std::string(kWork) + "/conf/web.properties";
const std::string kPortSet = std::string(kWork) + "/conf/.port_set";
const std::string kUserSet = std::string(kWork) + "/conf/.user_set";
const std::string kRestart = harness::kManagerRestart;

std::size_t countOf(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

void layManager(Sandbox& box) {
  harness::installProduct(box, harness::Install::kManager);
  box.makeDirs(std::string(kWork) + "/conf");
  box.writeFile(kProps, "http-port=80\nssl-port=443\n");
}
}  // namespace

TEST(Markers, BothPortsHttpsFirstTwoNoticesMarkerEachTime) {
  Sandbox box;
  layManager(box);
  RunResult r = run({"--http-port", "8080", "--https-port", "8443", "--dev-test-paths", kWork});
  EXPECT_TRUE(r.exited(0)) << harness::describe(r);
  std::size_t https = r.out.find("Server HTTPS Port set\n" + kRestart);
  std::size_t http = r.out.find("Server HTTP Port set\n" + kRestart);
  EXPECT_NE(https, std::string::npos) << r.out;
  EXPECT_NE(http, std::string::npos) << r.out;
  EXPECT_LT(https, http) << r.out;
  EXPECT_EQ(countOf(r.out, kRestart), 2u) << r.out;
  EXPECT_EQ(harness::readFile(kPortSet), "1");
}

TEST(Markers, SilentStillWritesTheMarker) {
  Sandbox box;
  layManager(box);
  RunResult r = run({"--silent", "--https-port", "8443", "--dev-test-paths", kWork});
  EXPECT_TRUE(r.exited(0)) << harness::describe(r);
  EXPECT_FALSE(contains(r.out, "Port set")) << r.out;
  EXPECT_FALSE(contains(r.out, "must be restarted")) << r.out;
  EXPECT_EQ(harness::readFile(kPortSet), "1");
}

TEST(Markers, UnwritableMarkerFailsTheRunAfterTheSetting) {
  Sandbox box;
  layManager(box);
  box.makeDirs(kPortSet);  // a directory cannot be opened for writing
  RunResult r = run({"--https-port", "8443", "--http-port", "8080", "--dev-test-paths", kWork});
  EXPECT_TRUE(r.exited(1)) << harness::describe(r);
  const std::string tail = "Server HTTPS Port set\n" + kRestart + "Failed to update config check\n";
  ASSERT_GE(r.out.size(), tail.size()) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
  EXPECT_TRUE(contains(harness::readFile(kProps), "ssl-port=8443")) << harness::readFile(kProps);
  EXPECT_FALSE(contains(harness::readFile(kProps), "http-port=8080")) << harness::readFile(kProps);
}

TEST(Markers, UnwritableCredentialsMarkerEndsWithoutLineEnd) {
  Sandbox box;
  layManager(box);
  box.makeDirs(kUserSet);
  RunResult r = run({"--user", "admin", "--pass", "pw1", "--dev-test-paths", kWork});
  EXPECT_TRUE(r.exited(1)) << harness::describe(r);
  const std::string tail = "Server username and password set\n" + kRestart + "Failed to update config check";
  ASSERT_GE(r.out.size(), tail.size()) << r.out;
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
}

// The agent's restart notice survives --silent; on an agent-only machine
// the module is retrieved after the agent settings in the same run.
TEST(AgentSteps, SilentKeepsTheAgentNoticeAndRetrievalFollows) {
  Sandbox box;
  harness::installProduct(box, harness::Install::kAgentOnly);
  box.writeFile(std::string(kWork) + "/conf/agent_config", "port=9000\n");
  RunResult r = run({"--silent", "--debug", "--agent-port", "7000", "--agent-debug", "true", "--dev-test-paths",
                     kWork});
  const std::string notice = harness::kAgentRestart;
  std::size_t at = r.out.find(notice);
  ASSERT_NE(at, std::string::npos) << r.out;
  EXPECT_FALSE(contains(r.out, "Agent port set")) << r.out;
  EXPECT_FALSE(contains(r.out, "Agent debug logging set")) << r.out;
  EXPECT_NE(r.out.find("debug: Retrieving kernel module\n", at), std::string::npos) << r.out;
}
