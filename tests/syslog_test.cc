#include "productlib/syslog.h"

#include <syslog.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "setup/log.h"
#include "setup/settings.h"
#include "tests/net_test_util.h"

namespace {

// What the system log was asked to do, recorded through the seam.
struct Recorded {
  std::string identity;
  const char* identityPointer = nullptr;  // what the platform would keep
  int options = -1;
  int facility = -1;
  int opens = 0;
  int closes = 0;
  int openFlagAtClose = -1;
  struct Line {
    int priority;
    std::string format;
    std::string text;
  };
  std::vector<Line> lines;
};
Recorded rec;

class SystemLog : public testing::Test {
 protected:
  void SetUp() override {
    rec = Recorded{};
    savedCalls_ = syslogCalls;
    savedWriter_ = syslogWriter;
    savedName_ = programName;
    syslogCalls.open = [](const char* identity, int options, int facility) {
      rec.identity = identity;
      rec.identityPointer = identity;
      rec.options = options;
      rec.facility = facility;
      ++rec.opens;
    };
    syslogCalls.close = [] {
      ++rec.closes;
      rec.openFlagAtClose = syslogOpen;
    };
    syslogWriter = [](int priority, const char* format, const char* line) {
      rec.lines.push_back({priority, format, line});
    };
  }
  void TearDown() override {
    syslogOpen = 0;
    syslogCalls = savedCalls_;
    syslogWriter = savedWriter_;
    programName = savedName_;
  }
  SyslogCalls savedCalls_{};
  SyslogWriter savedWriter_ = nullptr;
  std::string savedName_;
};

}  // namespace

TEST_F(SystemLog, OpensUnderTheProgramNameWithItsOptionsAndFacility) {
  programName = "tavrik-agent";
  EXPECT_EQ(syslogOpen, 0);
  openSyslog();
  EXPECT_EQ(syslogOpen, 1);
  EXPECT_EQ(rec.opens, 1);
  EXPECT_EQ(rec.identity, "tavrik-agent");
  EXPECT_EQ(rec.options, LOG_CONS | LOG_NDELAY);
  EXPECT_EQ(rec.facility, LOG_USER);
  closeSyslog();
  EXPECT_EQ(syslogOpen, 0);
  EXPECT_EQ(rec.closes, 1);
  EXPECT_EQ(rec.openFlagAtClose, 0) << "the flag is cleared before the log is closed";
}

TEST_F(SystemLog, LinesAreCopiedOnlyWhileOpenAtWarningWithPercentS) {
  std::string out = nettest::logged([] {
    logMessage(1, "before");
    openSyslog();
    logMessage(0, "rate 100%% of %d\r\n", 5);
    logError(1, 2, "open %s", "/x");
    logMessage(3, "level three");
    closeSyslog();
    logMessage(1, "after");
  });
  EXPECT_EQ(out, "before\nrate 100% of 5\nopen /x: No such file or directory (2)\nlevel three\nafter\n");
  ASSERT_EQ(rec.lines.size(), 3u);
  EXPECT_EQ(rec.lines[0].text, "rate 100% of 5");
  EXPECT_EQ(rec.lines[1].text, "open /x: No such file or directory (2)");
  EXPECT_EQ(rec.lines[2].text, "level three");
  for (const auto& line : rec.lines) {
    EXPECT_EQ(line.priority, LOG_WARNING);
    EXPECT_EQ(line.format, "%s") << "a line is never used as a format";
  }
}

TEST_F(SystemLog, IdentityOutlivesAChangeOfTheProgramName) {
  programName = "first-name";
  openSyslog();
  programName = std::string(100, 'n');
  ASSERT_NE(rec.identityPointer, nullptr);
  EXPECT_STREQ(rec.identityPointer, "first-name");
  closeSyslog();
}
