// Message output: wide and narrow texts on one byte stream, in call order.
#include "setup/output.h"

#include <gtest/gtest.h>

#include <cwchar>

#include "setup/settings.h"

namespace {
std::string captured(void (*body)()) {
  testing::internal::CaptureStdout();
  body();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}
}  // namespace

TEST(Output, WideAndNarrowTextsKeepCallOrderOnOneByteStream) {
  std::string out = captured([] {
    debugEnabled = 1;
    printPlainLine("DEBUG!!");
    printInfo(L"Attempting %s on port %d\n", "/usr/sbin/tavrik/conf", 8443);
    printDebug("ret=%d", 1);
    printPlain("plain %s\n", "text");
    printError(L"Failed to set port for server\n");
    printDirect(L"Server HTTP Port: %s\n", "8080");
    printPlainLine("---");
    debugEnabled = 0;
  });
  EXPECT_EQ(out,
            "DEBUG!!\n"
            "Attempting /usr/sbin/tavrik/conf on port 8443\n"
            "debug: ret=1\n"
            "plain text\n"
            "Failed to set port for server\n"
            "Server HTTP Port: 8080\n"
            "---\n");
  // Standard output never became wide-oriented.
  EXPECT_LE(std::fwide(stdout, 0), 0);
}

TEST(Output, NarrowArgumentBytesPassUnchanged) {
  std::string out = captured([] { printInfo(L"Key '%s' successfully installed.\n", "k\xc3\xa9y\x01"); });
  EXPECT_EQ(out, "Key 'k\xc3\xa9y\x01' successfully installed.\n");
}

TEST(Output, LongMessagesAreNotCut) {
  static std::string path(10000, 'p');
  std::string out = captured([] { printInfo(L"Failed to open outfile '%s':%s\n", path.c_str(), "x"); });
  EXPECT_EQ(out, "Failed to open outfile '" + path + "':x\n");
}

TEST(Output, DebugLinesOnlyWhileDebugEnabled) {
  EXPECT_EQ(captured([] {
              debugEnabled = 0;
              printDebug("hidden %d", 1);
            }),
            "");
  // A format with its own line end yields an empty line after it.
  EXPECT_EQ(captured([] {
              setDebug(1);
              printDebug("Setting new destination directory: %s\n", "/d");
              setDebug(0);
            }),
            "debug: Setting new destination directory: /d\n\n");
}

TEST(Output, TracePrintsNothing) {
  EXPECT_EQ(captured([] { trace("agent config %s", "line"); }), "");
}

TEST(Output, FormatHelpers) {
  EXPECT_EQ(formatNarrow("%s-%d", "a", 7), "a-7");
  EXPECT_EQ(formatNarrow("%s", std::string(600, 'z').c_str()), std::string(600, 'z'));
  EXPECT_EQ(wideToMultibyte(L"/tmp/out.txt"), "/tmp/out.txt");
}

TEST(OutputDeathTest, FatalErrorGoesToStandardErrorWithStatusZero) {
  EXPECT_EXIT(fatalError("internal error."), testing::ExitedWithCode(0), "^internal error\\.\n$");
}
