// Administrator credentials reset file, end to end: exact contents, mode
// 0400 whatever came before, refusals that leave the old file, faults.
#include "config/admin_credentials.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/harness/fixtures.h"
#include "tests/harness/pty.h"
#include "tests/harness/run.h"
#include "tests/harness/sandbox.h"
#include "tests/harness/tool.h"

using namespace harness;

namespace {

const std::string kWork = kTestWorkDir;
const std::string kReset = kWork + "/conf/adminreset.properties";
const std::string kUserSet = kWork + "/conf/.user_set";
const std::string kSetText = std::string("Server username and password set\n") + kManagerRestart;

TEST(AdminCredentials, ValuesAreWrittenVerbatimInTwoLines) {
  Sandbox box;
  box.makeDirs(kWork + "/conf");
  struct Case {
    std::string user, pass;
  };
  const Case cases[] = {
      {"admin", "secret"},
      {"ad min", "p a=s$s'\"\\;#!"},
      {"admin", ""},
      {"", "x"},
      {std::string(9000, 'u'), std::string(9000, 'p')},  // longer than any fixed buffer would hold
  };
  for (const Case& c : cases) {
    RunResult r = tool({"--user", c.user, "--pass", c.pass});
    EXPECT_TRUE(r.exited(0)) << describe(r);
    EXPECT_EQ(kSetText, r.out);
    EXPECT_EQ("admin.user=" + c.user + "\nadmin.pass=" + c.pass + "\n", readFile(kReset));
    EXPECT_EQ(0400u, modeOf(kReset));
    EXPECT_EQ("1", readFile(kUserSet));
  }
  EXPECT_EQ(".user_set\nadminreset.properties\n", shell("cd " + kWork + "/conf && ls -A | LC_ALL=C sort"));
}

TEST(AdminCredentials, AnExistingFileIsReplacedWholeAndMadeOwnerReadOnly) {
  Sandbox box;
  box.writeFile(kReset, "admin.user=old\nadmin.pass=old\nleftover=1\n", 0644);
  RunResult r = tool({"--silent", "--user", "new", "--pass", "pw"});
  EXPECT_TRUE(r.exited(0)) << describe(r);
  EXPECT_EQ("", r.out);
  EXPECT_EQ("admin.user=new\nadmin.pass=pw\n", readFile(kReset));
  EXPECT_EQ(0400u, modeOf(kReset));
  EXPECT_EQ("1", readFile(kUserSet));
}

TEST(AdminCredentials, LineBreaksInAValueAreRefusedAndTheFileKept) {
  Sandbox box;
  box.writeFile(kReset, "admin.user=old\nadmin.pass=old\n", 0400);
  const std::pair<const char*, const char*> cases[] = {
      {"ad\nmin", "pw"}, {"admin", "p\nadmin.user=root"}, {"admin\r", "pw"}, {"admin", "pw\r"}};
  for (const auto& [user, pass] : cases) {
    RunResult r = tool({"--user", user, "--pass", pass});
    EXPECT_TRUE(r.exited(1)) << describe(r);
    EXPECT_EQ("ERROR: username and password must not contain a carriage return or line feed\n"
              "Failed to set username and password\n",
              r.out);
    EXPECT_EQ("admin.user=old\nadmin.pass=old\n", readFile(kReset));
  }
  EXPECT_FALSE(pathPresent(kUserSet));
}

TEST(AdminCredentials, DebugShowsTheValuesAndThePath) {
  Sandbox box;
  box.makeDirs(kWork + "/conf");
  RunResult r = tool({"--debug", "--user", "admin", "--pass", "pw"});
  EXPECT_TRUE(r.exited(0)) << describe(r);
  for (const std::string& line : std::vector<std::string>{"debug: setting username/password: admin/pw\n",
                           "debug: Opening configuration file: " + kReset + "\n",
                           std::string("debug: buffer=[admin.user=admin\nadmin.pass=pw\n]\n"), std::string("debug: ret=0\n")}) {
    EXPECT_NE(std::string::npos, r.out.find(line)) << line << r.out;
  }
}

TEST(AdminCredentials, PasswordTypedAtThePrompt) {
  Sandbox box;
  box.makeDirs(kWork + "/conf");
  Pty pty;
  pty.startTool({"--dev-test-paths", kWork, "--user", "admin"});
  ASSERT_TRUE(pty.waitFor("Password: ")) << pty.output();
  pty.send("s3cret\r");
  ASSERT_TRUE(pty.waitFor("Verify: ")) << pty.output();
  pty.send("s3cret\r");
  PtyExit e = pty.wait();
  EXPECT_TRUE(e.exited(0)) << pty.output();
  EXPECT_NE(std::string::npos, pty.output().find("Server username and password set")) << pty.output();
  EXPECT_EQ("admin.user=admin\nadmin.pass=s3cret\n", readFile(kReset));
}

TEST(AdminCredentialsFaults, ReadOnlyDirectoryAndFullFileSystemKeepTheOldFile) {
  Sandbox box;
  const std::string conf = kWork + "/conf";
  box.makeDirs(conf);
  ASSERT_EQ(0, ::mount("tmpfs", conf.c_str(), "tmpfs", 0, "size=8k"));
  box.writeFile(kReset, "admin.user=old\nadmin.pass=old\n", 0400);

  shell("dd if=/dev/zero of=" + conf + "/filler bs=1k count=64 2>/dev/null");
  RunResult r = tool({"--user", "admin", "--pass", std::string(20000, 'p')});
  EXPECT_TRUE(r.exited(1)) << describe(r);
  EXPECT_EQ("Failed to write outfile '" + kReset + "':No space left on device\nFailed to set username and password\n",
            r.out);
  EXPECT_EQ("admin.user=old\nadmin.pass=old\n", readFile(kReset));
  EXPECT_EQ("adminreset.properties\nfiller\n", shell("cd " + conf + " && ls -A | sort"));

  ASSERT_EQ(0, ::mount(nullptr, conf.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr));
  r = tool({"--user", "admin", "--pass", "pw"});
  EXPECT_TRUE(r.exited(1)) << describe(r);
  EXPECT_EQ("Failed to open outfile '" + kReset + "':Read-only file system\nFailed to set username and password\n",
            r.out);
  EXPECT_EQ("admin.user=old\nadmin.pass=old\n", readFile(kReset));
  EXPECT_FALSE(pathPresent(kUserSet));
}

TEST(AdminCredentialsFaults, MissingConfigurationDirectory) {
  Sandbox box;
  box.makeDirs(kWork);
  RunResult r = tool({"--user", "admin", "--pass", "pw"});
  EXPECT_TRUE(r.exited(1)) << describe(r);
  EXPECT_EQ("Failed to open outfile '" + kReset + "':No such file or directory\nFailed to set username and password\n",
            r.out);
}

TEST(AdminCredentialsText, Format) {
  EXPECT_EQ("admin.user=a\nadmin.pass=b\n", formatAdminReset("a", "b"));
  EXPECT_EQ(0, adminResetUnused(5, nullptr));
}

}  // namespace
