#include "setup/command.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

namespace {

TEST(ShellQuote, SafeValuesStayAsTheyAre) {
  for (const char* value : {"/lib/modules/6.1.0-57-amd64/modules.dep", "/tmp/tavrik-kestrin.AbC123",
                            "kernel/drivers/x_y.ko", "a+b,c:d=e@f%g^h"}) {
    EXPECT_EQ(value, shellQuote(value)) << value;
  }
}

TEST(ShellQuote, AnythingElseIsQuotedAndRoundTrips) {
  const std::string values[] = {"",
                                "/usr/src/my headers",
                                "/tmp/x; touch /tmp/owned",
                                "$(id)",
                                "`id`",
                                "it's",
                                "a'b'c",
                                "tab\there",
                                "new\nline",
                                "*?[glob]",
                                "-x"};  // a leading dash is not the shell's concern
  for (const std::string& value : values) {
    std::string quoted = shellQuote(value);
    if (value != "-x") {
      EXPECT_EQ('\'', quoted.front()) << value;
      EXPECT_EQ('\'', quoted.back()) << value;
    }
    // What the shell makes of the quoted word is the value itself, byte for byte.
    CommandOutput out("printf '%s' " + quoted);
    ASSERT_TRUE(out.started());
    std::string all, piece;
    while (out.readLine(&piece, 1024)) all += piece;
    EXPECT_TRUE(commandSucceeded(out.close()));
    EXPECT_EQ(value, all) << quoted;
  }
}

TEST(RunCommand, StatusOfExitAndSignal) {
  EXPECT_TRUE(commandSucceeded(runCommand("true")));
  int status = runCommand("exit 3");
  EXPECT_FALSE(commandSucceeded(status));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(3, WEXITSTATUS(status));
  status = runCommand("kill -TERM $$");
  EXPECT_FALSE(commandSucceeded(status));
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_FALSE(commandSucceeded(-1));
}

TEST(CommandOutput, LinesAreCutLikeFgets) {
  CommandOutput out("printf 'abcdefgh\\nxy\\n'");
  ASSERT_TRUE(out.started());
  std::string line;
  ASSERT_TRUE(out.readLine(&line, 5));
  EXPECT_EQ("abcd", line);
  ASSERT_TRUE(out.readLine(&line, 5));
  EXPECT_EQ("efgh", line);
  ASSERT_TRUE(out.readLine(&line, 5));
  EXPECT_EQ("\n", line);
  ASSERT_TRUE(out.readLine(&line, 5));
  EXPECT_EQ("xy\n", line);
  EXPECT_FALSE(out.readLine(&line, 5));
  EXPECT_TRUE(commandSucceeded(out.close()));
  EXPECT_EQ(-1, out.close());
}

TEST(CommandOutput, ExitStatusOfTheChild) {
  CommandOutput out("echo hi; exit 7");
  std::string line;
  ASSERT_TRUE(out.readLine(&line, 64));
  int status = out.close();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(7, WEXITSTATUS(status));
}

}  // namespace
