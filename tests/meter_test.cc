// Progress meter: field formatting, the line over time, and drawing on a
// pseudo-terminal, in the background and into a file.
#include "installer/meter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string size(std::int64_t bytes) {
  char buffer[32];
  meter_format_size(buffer, sizeof buffer, bytes);
  return buffer;
}
std::string rate(std::int64_t bytes) {
  char buffer[32];
  meter_format_rate(buffer, sizeof buffer, bytes);
  return buffer;
}

TEST(MeterFormatTest, SizeField) {
  const std::pair<std::int64_t, const char*> cases[] = {
      {0, "   0  "},          {5000, "5000  "},       {9999, "9999  "},
      {10000, "  10KB"},      {123456789, " 118MB"},  {10238976, "9999KB"}, {10240000, "  10MB"},
      {10485760000, "  10GB"}, {INT64_MAX / 2, "4194304TB"},
  };
  for (const auto& c : cases) EXPECT_EQ(size(c.first), c.second) << c.first;
}

TEST(MeterFormatTest, RateField) {
  const std::pair<std::int64_t, const char*> cases[] = {
      {0, "  0.0KB"},   {500, "  0.5KB"},       {50000, " 48.8KB"},
      {1048576, "  1.0MB"}, {2147483647, "  2.0GB"}, {999, "  1.0KB"},
  };
  for (const auto& c : cases) EXPECT_EQ(rate(c.first), c.second) << c.first;
}

MeterState startedAt(std::time_t t, std::int64_t total, int columns) {
  MeterState s;
  s.startTime = s.lastUpdate = t;
  s.label = "uploading kernel package";
  s.total = total;
  s.width = columns + 1;
  return s;
}

TEST(MeterLineTest, EightyColumnsFirstRedraw) {
  MeterState s = startedAt(1000, 1000000, 80);
  std::string line = meterFormatLine(&s, 0, 1000);
  ASSERT_EQ(line.size(), 80u);
  EXPECT_EQ(line, "\ruploading kernel package" + std::string(21, ' ') + "   0%    0     0.0KB/s   --:-- ETA");
}

TEST(MeterLineTest, ProgressSmoothingStallAndCompletion) {
  MeterState s = startedAt(1000, 1000000, 80);
  meterFormatLine(&s, 0, 1000);
  // 100000 bytes in the first second: the first rate is taken as it is.
  std::string line = meterFormatLine(&s, 100000, 1001);
  EXPECT_EQ(s.smoothedRate, 100000);
  EXPECT_EQ(line.substr(46), "  10%   98KB  97.7KB/s   00:09 ETA");
  // The next second only 50000: 0.9 * 100000 + 0.1 * 50000.
  meterFormatLine(&s, 150000, 1002);
  EXPECT_EQ(s.smoothedRate, 95000);
  // Five seconds without a byte: stalled; the next byte resets it.
  // (the smoothed rate falls meanwhile, so the estimate grows)
  const char* estimates[] = {"  00:09 ETA", "  00:11 ETA", "  00:12 ETA", "  00:13 ETA"};
  for (int t = 1003; t <= 1006; ++t) EXPECT_EQ(meterFormatLine(&s, 150000, t).substr(69), estimates[t - 1003]);
  EXPECT_EQ(meterFormatLine(&s, 150000, 1007).substr(69), "- stalled -");
  EXPECT_EQ(meterFormatLine(&s, 150001, 1008).substr(69, 2), "  ");
  // Complete: 100%, the average over all 10 seconds, elapsed and no ETA.
  line = meterFormatLine(&s, 1000000, 1010);
  EXPECT_EQ(line.size(), 80u);
  EXPECT_EQ(line.substr(46), " 100%  977KB  97.7KB/s   00:10    ");
}

TEST(MeterLineTest, HoursAndLongFieldsAreCutToTheWidth) {
  MeterState s = startedAt(0, 40000000000LL, 80);
  meterFormatLine(&s, 0, 0);
  std::string line = meterFormatLine(&s, 1000000, 1);  // 39999 s left
  EXPECT_EQ(line.size(), 80u);
  EXPECT_EQ(line.substr(69), "11:06:39 ET");
}

TEST(MeterLineTest, ZeroTotalShowsComplete) {
  MeterState s = startedAt(5, 0, 80);
  EXPECT_EQ(meterFormatLine(&s, 0, 5).substr(46, 6), " 100% ");
}

TEST(MeterLineTest, NarrowTerminalHasNoLabel) {
  MeterState s = startedAt(0, 100, 20);
  std::string line = meterFormatLine(&s, 50, 0);
  EXPECT_EQ(line, "  50%   50     0.1KB");  // 20 columns: 20 characters
  MeterState wide = startedAt(0, 100, 35);  // a carriage return, no label
  EXPECT_EQ(meterFormatLine(&wide, 50, 0).substr(0, 7), "\r  50% ");
}

TEST(MeterLineTest, HugeRatesAreClamped) {
  MeterState s = startedAt(0, INT64_MAX, 80);
  std::string line = meterFormatLine(&s, INT64_MAX / 2, 0);
  EXPECT_EQ(s.smoothedRate, 2147483647);
  EXPECT_EQ(line.size(), 80u);
}

// ----- drawing, in a child process on a pseudo-terminal -----

std::time_t fakeNow = 0;
std::time_t fakeClock() { return fakeNow; }

std::string readAll(int fd) {
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // EIO once the child's side is closed
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

void setColumns(int fd, int columns) {
  struct winsize ws {};
  ws.ws_row = 24;
  ws.ws_col = static_cast<unsigned short>(columns);
  ioctl(fd, TIOCSWINSZ, &ws);
}

// Runs body in a child whose standard output is a raw pseudo-terminal of
// the given width; gives what the terminal received.
template <typename Body>
std::string onTerminal(int columns, Body body) {
  int master = -1;
  struct winsize ws {};
  ws.ws_row = 24;
  ws.ws_col = static_cast<unsigned short>(columns);
  pid_t pid = forkpty(&master, nullptr, nullptr, &ws);
  if (pid == 0) {
    struct termios raw {};
    tcgetattr(STDOUT_FILENO, &raw);
    cfmakeraw(&raw);
    tcsetattr(STDOUT_FILENO, TCSANOW, &raw);
    body();
    _exit(0);
  }
  std::string out = readAll(master);
  int status = 0;
  waitpid(pid, &status, 0);
  close(master);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return out;
}

std::vector<std::string> redraws(const std::string& out) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while ((at = out.find('\r', at)) != std::string::npos) {
    std::size_t next = out.find_first_of("\r\n", at + 1);
    lines.push_back(out.substr(at, next == std::string::npos ? std::string::npos : next - at));
    at += 1;
  }
  return lines;
}

// The meter on the fake clock, started at time 100 for 1000 bytes.
void startOnTheFakeClock(MeterCounter* counter) {
  meter_set_clock(fakeClock);
  fakeNow = 100;
  meter_start("label", 1000, counter);
}

TEST(MeterTerminalTest, DrawsFollowsTheWidthAndEndsTheLine) {
  std::string out = onTerminal(80, [] {
    static MeterCounter counter = 0;
    startOnTheFakeClock(&counter);
    counter = 500;
    fakeNow = 101;
    raise(SIGALRM);
    setColumns(STDOUT_FILENO, 600);  // the kernel sends SIGWINCH
    raise(SIGWINCH);
    counter = 700;
    fakeNow = 102;
    raise(SIGALRM);
    counter = 1000;
    fakeNow = 103;
    meter_stop();
  });
  std::vector<std::string> lines = redraws(out);
  ASSERT_EQ(lines.size(), 4u) << out;
  EXPECT_EQ(lines[0].size(), 80u);
  EXPECT_EQ(lines[0].substr(0, 6), "\rlabel");
  EXPECT_NE(lines[1].find("  50% "), std::string::npos);
  EXPECT_EQ(lines[1].size(), 80u);
  EXPECT_EQ(lines[2].size(), 512u);  // 600 columns are taken as 512
  EXPECT_NE(lines[3].find(" 100% "), std::string::npos);
  EXPECT_EQ(out.back(), '\n');
}

// Once the meter is stopped, a tick draws nothing and arms no further one:
// a SIGALRM sent after the upload, or one that was already pending while
// meter_stop cancelled the alarm (it is delivered only after the stop).
TEST(MeterTerminalTest, NoTickAfterTheStop) {
  for (bool pendingDuringStop : {false, true}) {
    SCOPED_TRACE(pendingDuringStop ? "pending during the stop" : "sent after the stop");
    std::string out = onTerminal(80, [pendingDuringStop] {
      static MeterCounter counter = 0;
      startOnTheFakeClock(&counter);
      counter = 1000;
      fakeNow = 101;
      sigset_t alarmOnly;
      sigemptyset(&alarmOnly);
      sigaddset(&alarmOnly, SIGALRM);
      if (pendingDuringStop) {
        sigprocmask(SIG_BLOCK, &alarmOnly, nullptr);
        raise(SIGALRM);
        meter_stop();
        sigprocmask(SIG_UNBLOCK, &alarmOnly, nullptr);
      } else {
        meter_stop();
        fakeNow = 102;
        raise(SIGALRM);
      }
      const char* armed = alarm(0) != 0 ? "armed" : "idle";
      ssize_t ignored = write(STDOUT_FILENO, armed, std::strlen(armed));
      (void)ignored;
    });
    std::vector<std::string> lines = redraws(out);
    ASSERT_EQ(lines.size(), 2u) << out;  // the start's and the stop's
    EXPECT_NE(lines[1].find(" 100% "), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.size() - 5), "\nidle") << out;
  }
}

TEST(MeterTerminalTest, NothingDrawnInTheBackground) {
  std::string out = onTerminal(80, [] {
    pid_t child = fork();
    if (child == 0) {
      setpgid(0, 0);  // a group that is not the terminal's foreground group
      static MeterCounter counter = 0;
      meter_start("label", 10, &counter);
      counter = 10;
      raise(SIGALRM);
      meter_stop();
      _exit(meter_is_foreground());
    }
    int status = 0;
    waitpid(child, &status, 0);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 9);
  });
  EXPECT_EQ(out, "");
}

TEST(MeterTerminalTest, NothingDrawnIntoAFile) {
  char name[] = "/tmp/meter-test.XXXXXX";
  int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fd, STDOUT_FILENO);
    static MeterCounter counter = 0;
    meter_start("label", 10, &counter);
    counter = 10;
    raise(SIGALRM);
    meter_stop();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(lseek(fd, 0, SEEK_END), 0);
  close(fd);
  unlink(name);
}

TEST(MeterTerminalTest, TicksDoNotBreakBlockingWrites) {
  // The alarm handler is installed with SA_RESTART: a read interrupted by a
  // tick goes on instead of failing with EINTR.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  static MeterCounter counter = 0;
  meter_start("label", 10, &counter);
  struct itimerval quick {};
  quick.it_value.tv_usec = 20000;
  setitimer(ITIMER_REAL, &quick, nullptr);
  pid_t writer = fork();
  if (writer == 0) {
    usleep(100000);
    ssize_t n = write(fds[1], "x", 1);
    _exit(n == 1 ? 0 : 1);
  }
  char c = 0;
  ssize_t n = read(fds[0], &c, 1);
  EXPECT_EQ(n, 1);
  meter_stop();
  waitpid(writer, nullptr, 0);
  close(fds[0]);
  close(fds[1]);
}

}  // namespace
