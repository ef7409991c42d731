// Marker files written after the manager's settings, and their paths.
#include "setup/markers.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "setup/settings.h"
#include "tests/harness/sandbox.h"
#include "tests/harness/tool.h"

namespace {
std::string makeTempDir() {
  char name[] = "/tmp/tavrik-markers-test.XXXXXX";
  return ::mkdtemp(name);
}
using harness::readFile;
}  // namespace

TEST(WriteConfigCheckFile, WritesOneWithoutLineEndAndTruncates) {
  std::string dir = makeTempDir();
  std::string path = dir + "/.port_set";
  std::ofstream(path) << "old longer content";
  EXPECT_EQ(writeConfigCheckFile(path.c_str()), 1);
  EXPECT_EQ(readFile(path), "1");
  EXPECT_EQ(writeConfigCheckFile((dir + "/no/such/.user_set").c_str()), 0);
  std::system(("rm -rf '" + dir + "'").c_str());
}

TEST(WriteConfigCheckFile, FailedWriteIsNotWritten) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a device node";
  std::string dir = makeTempDir();
  std::string path = dir + "/full";
  ASSERT_EQ(::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 7)), 0);
  if (::access(path.c_str(), W_OK) != 0 || !std::ifstream(path)) GTEST_SKIP() << "device nodes unusable here";
  EXPECT_EQ(writeConfigCheckFile(path.c_str()), 0);
  std::system(("rm -rf '" + dir + "'").c_str());
}

TEST(MarkerPath, UnderTheWorkingDirectory) {
  workDirOverride.reset();
  EXPECT_EQ(markerPath(kPortSetMarker), "/usr/sbin/tavrik/conf/.port_set");
  workDirOverride = "/tmp/w";
  EXPECT_EQ(markerPath(kUserSetMarker), "/tmp/w/conf/.user_set");
  workDirOverride = "/tmp/w/";
  EXPECT_EQ(markerPath(kUserSetMarker), "/tmp/w//conf/.user_set");
}

TEST(MarkerPath, OverlongWorkingDirectoryGivesNoPath) {
  workDirOverride = std::string(kPathBufferSize, 'd');
  EXPECT_FALSE(markerPath(kPortSetMarker));
  // The longest path that fits the buffer is still formed.
  workDirOverride = std::string(kPathBufferSize - 1 - 1 - std::strlen(kPortSetMarker), 'd');
  ASSERT_TRUE(markerPath(kPortSetMarker));
  EXPECT_EQ(markerPath(kPortSetMarker)->size(), kPathBufferSize - 1);
  workDirOverride.reset();
}

TEST(RestartNotices, AgentText) {
  testing::internal::CaptureStdout();
  printAgentRestartNotice();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), harness::kAgentRestart);
}

TEST(RestartNotices, ServerTextFollowsTheInstalledConsole) {
  harness::Sandbox box;
  testing::internal::CaptureStdout();
  printServerRestartNotice();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), harness::kManagerRestart);
  box.writeFile("/usr/sbin/tavrik-orrin-console", "", 0755);
  testing::internal::CaptureStdout();
  printServerRestartNotice();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), harness::kConsoleRestart);
}
