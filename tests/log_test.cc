#include "setup/log.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(BoundedCopy, CutsAndReportsSourceLength) {
  char buf[4];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(bounded_copy(buf, "abcdef", sizeof buf), 6u);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(bounded_copy(buf, "abcdef", 1), 6u);
  EXPECT_STREQ(buf, "");
  buf[0] = 'q';
  EXPECT_EQ(bounded_copy(buf, "abcdef", 0), 6u);
  EXPECT_EQ(buf[0], 'q');
}

TEST(BoundedAppend, CutsAndReportsWantedLength) {
  char buf[4] = "ab";
  EXPECT_EQ(bounded_append(buf, "cd", sizeof buf), 4u);
  EXPECT_STREQ(buf, "abc");
  char full[3] = {'a', 'b', 'c'};
  EXPECT_EQ(bounded_append(full, "de", sizeof full), 5u);
  EXPECT_EQ(full[2], 'c');
}

namespace {
std::string logged(void (*body)()) {
  testing::internal::CaptureStdout();
  body();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}
}  // namespace

TEST(LogLines, ErrorNumberTextFollowsTheTrimmedMessage) {
  EXPECT_EQ(logged([] { logError(0, 2, "cannot open %s\n", "/x"); }),
            "cannot open /x: No such file or directory (2)\n");
  EXPECT_EQ(logged([] { logError(1, 0, "no error number\r\n"); }), "no error number\n");
}

TEST(LogLines, TrailingLineEndsBecomeOne) {
  EXPECT_EQ(logged([] { logMessage(1, "Compressing...\r\n\r\n"); }), "Compressing...\n");
  EXPECT_EQ(logged([] { logMessage(0, "%s", ""); }), "\n");
  // Only trailing line ends go; inner ones stay.
  EXPECT_EQ(logged([] { logMessage(1, "a\nb\n"); }), "a\nb\n");
}

TEST(LogLines, CutAt1023BeforeLineEndsAreRemoved) {
  static std::string text;
  text = std::string(1022, 'x') + "\n\n\n";
  // Cut to 1022 x and one "\n", which is then removed.
  EXPECT_EQ(logged([] { logMessage(1, "%s", text.c_str()); }), std::string(1022, 'x') + "\n");
  text = std::string(2000, 'y');
  EXPECT_EQ(logged([] { logMessage(1, "%s", text.c_str()); }), std::string(1023, 'y') + "\n");
  // With an error number the caller's text is cut first, then the whole line.
  text = std::string(1030, 'z');
  EXPECT_EQ(logged([] { logError(0, 2, "%s", text.c_str()); }), std::string(1023, 'z') + "\n");
}

TEST(LogLines, SinkSeesTheFinishedLineOnlyWhileInstalled) {
  static std::string seen;
  static int seenLevel = -1;
  logBufferSink = [](int level, const char* line) {
    seen = line;
    seenLevel = level;
  };
  logged([] { logMessage(1, "to the buffer\n"); });
  logBufferSink = nullptr;
  EXPECT_EQ(seen, "to the buffer");
  EXPECT_EQ(seenLevel, 1);
  seen.clear();
  logged([] { logMessage(1, "not seen"); });
  EXPECT_EQ(seen, "");
}

TEST(LogLines, StdoutCanBeSwitchedOff) {
  logToStdout = 0;
  EXPECT_EQ(logged([] { logMessage(0, "quiet"); }), "");
  logToStdout = 1;
}

TEST(LogDeathTest, ExitVariantsEndWithStatusOne) {
  EXPECT_EXIT(logMessageAndExit(0, "bye"), testing::ExitedWithCode(1), "");
  EXPECT_EXIT(logErrorAndExit(0, 2, "bye"), testing::ExitedWithCode(1), "");
}

TEST(TrimLineEnd, RemovesOnlyTrailingCrLf) {
  struct {
    const char* in;
    const char* out;
  } cases[] = {{"", ""}, {"\n", ""}, {"a\r\n", "a"}, {"a\n\r\n", "a"}, {"a\nb", "a\nb"}, {"a \n", "a "}};
  for (auto& c : cases) {
    std::string buf = c.in;
    trim_line_end(buf.data());
    EXPECT_STREQ(buf.c_str(), c.out) << c.in;
  }
}

TEST(BoundedAppend, EmptyAndExactFit) {
  char buf[6] = "";
  EXPECT_EQ(bounded_append(buf, "abc", sizeof buf), 3u);
  EXPECT_EQ(bounded_append(buf, "de", sizeof buf), 5u);
  EXPECT_STREQ(buf, "abcde");
  EXPECT_EQ(bounded_append(buf, "f", sizeof buf), 6u);
  EXPECT_STREQ(buf, "abcde");
  EXPECT_EQ(bounded_append(buf, "f", 0), 1u);
}

TEST(NextConfigToken, SplitsKeyFromValue) {
  struct {
    const char* line;
    const char* key;
    const char* rest;  // nullptr: cursor absent
  } cases[] = {
      {"key = value", "key", "value"},
      {"key=value", "key", "value"},
      {"key value", "key", "value"},
      {"key\t=\tvalue\n", "key", "value\n"},
      {"key= =v", "key", "=v"},  // after "=", a second "=" stays
      {"lonely", "lonely", nullptr},
      {"key\n", "key", ""},
  };
  for (auto& c : cases) {
    std::string buf = c.line;
    char* cursor = buf.data();
    char* token = next_config_token(&cursor);
    EXPECT_STREQ(token, c.key) << c.line;
    if (c.rest)
      EXPECT_STREQ(cursor, c.rest) << c.line;
    else
      EXPECT_EQ(cursor, nullptr) << c.line;
  }
  char* none = nullptr;
  EXPECT_EQ(next_config_token(&none), nullptr);
}
