#include "installer/scripts.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "setup/settings.h"

namespace {

TEST(RunScript, GathersBothStreamsWhateverTheStatus) {
  debugEnabled = 0;
  std::string out;
  ASSERT_EQ(0, runScript("#!/bin/sh\n\necho one\necho two >&2\nexit 3\n", &out, 25000));
  EXPECT_EQ("one\ntwo\n", out);
  ASSERT_EQ(0, runScript("#!/bin/sh\n\nprintf 'kernel /x\\n'\n", &out, 5));
  EXPECT_EQ("kern", out);  // cut to the caller's size less one
}

TEST(RunScript, LongOutputIsCutAtItsBuffer) {
  std::string out;
  ASSERT_EQ(0, runScript("#!/bin/sh\n\nhead -c 30000 /dev/zero | tr '\\0' a\n", &out, 100000));
  EXPECT_EQ(24999u, out.size());
}

TEST(RunScript, WithDebugTheFilesStayPrivate) {
  debugEnabled = 1;
  testing::internal::CaptureStdout();
  std::string out;
  ASSERT_EQ(0, runScript("#!/bin/sh\n\necho kept\n", &out, 100));
  std::string printed = testing::internal::GetCapturedStdout();
  debugEnabled = 0;
  std::size_t at = printed.find("debug: Executing: /bin/sh /tmp/tavrik-kestrin-");
  ASSERT_NE(std::string::npos, at) << printed;
  std::string script = printed.substr(at + 26, printed.find(' ', at + 27) - at - 26);
  std::string output = printed.substr(printed.find("> ", at) + 2, printed.find(" 2>&1", at) - printed.find("> ", at) - 2);
  for (const std::string& path : {script, output}) {
    struct stat info {};
    ASSERT_EQ(0, lstat(path.c_str(), &info)) << path;
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(0600u, info.st_mode & 0777) << path;
    unlink(path.c_str());
  }
  EXPECT_NE(std::string::npos, printed.find("debug: script returned 0\n"));
  EXPECT_NE(std::string::npos, printed.find("debug: script output: \nkept\n\n"));
}

TEST(WriteScriptFile, RefusesMissingValues) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(1, writeScriptFile(nullptr, "x", 1));
  EXPECT_EQ(1, writeScriptFile("/tmp/x", nullptr, 0));
  EXPECT_EQ(1, writeScriptFile("/nonexistent-dir/x", "x", 1));
  EXPECT_EQ(
      "Filename was null while trying to export script\n"
      "scriptdata was null while trying to export script\n"
      "unable to open temporary file",
      testing::internal::GetCapturedStdout());
}

TEST(WriteScriptFile, NeverWritesThroughALink) {
  std::string target = "/tmp/tavrik-scripts-test-target";
  std::string link = "/tmp/tavrik-scripts-test-link";
  unlink(link.c_str());
  std::FILE* f = std::fopen(target.c_str(), "w");
  ASSERT_TRUE(f);
  std::fputs("keep", f);
  std::fclose(f);
  ASSERT_EQ(0, symlink(target.c_str(), link.c_str()));
  testing::internal::CaptureStdout();
  EXPECT_EQ(1, writeScriptFile(link.c_str(), "evil", 4));
  testing::internal::GetCapturedStdout();
  char buffer[16] = {};
  f = std::fopen(target.c_str(), "r");
  ASSERT_TRUE(f);
  EXPECT_EQ(4u, std::fread(buffer, 1, sizeof buffer, f));
  std::fclose(f);
  EXPECT_STREQ("keep", buffer);
  unlink(link.c_str());
  unlink(target.c_str());
}

TEST(KernelHeaderHint, FirstLineMustBeginTheRowName) {
  struct Case {
    const char* firstLine;
    int row;  // -1: none
  } cases[] = {{"debian", 5}, {"suse", 1}, {"", 0}, {"ubuntu", 3}, {"cent", 0},
               {"Fedora detected", -1}, {"CentOS detected", -1}, {"arch", -1}, {"debianx", -1}};
  for (const Case& c : cases) {
    const KernelHeaderHint* row = findKernelHeaderHint(c.firstLine);
    if (c.row < 0)
      EXPECT_EQ(nullptr, row) << c.firstLine;
    else
      EXPECT_EQ(&kernelHeaderHints[c.row], row) << c.firstLine;
  }
}

TEST(HandleOSSpecificScripts, OnlySuseAndDebianRunACopyScript) {
  std::string answer = "untouched";
  handleOSSpecificScripts(nullptr, &answer, 8096);
  EXPECT_EQ("untouched", answer);
  for (const char* detection : {"", "arch\n", "Red detected\nHat detected\n", "debian", "suse"}) {
    answer = "x";
    handleOSSpecificScripts(detection, &answer, 8096);
    EXPECT_EQ("", answer) << detection;
  }
}

TEST(Scripts, TextsBeginWithTheShellLine) {
  for (const char* script : {osDetectionScript, suseCopyScript, debianCopyScript})
    EXPECT_EQ(0, std::string(script).find("#!/bin/sh\n\n"));
  // The build directory is made fresh and private, never reused.
  for (const char* script : {suseCopyScript, debianCopyScript}) {
    EXPECT_NE(std::string::npos, std::string(script).find("/bin/mkdir -m 700 \"$BUILD_DIR\""));
    EXPECT_EQ(std::string::npos, std::string(script).find("mkdir -p"));
  }
}

}  // namespace
