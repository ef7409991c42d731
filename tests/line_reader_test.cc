// Line pieces as fgets cuts them, NUL bytes kept, reads interrupted by a
// signal retried.
#include "setup/line_reader.h"

#include <gtest/gtest.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "setup/unique_fd.h"

namespace {

std::vector<std::string> pieces(const std::string& text, std::size_t max) {
  UniqueFile f(fmemopen(const_cast<char*>(text.data()), text.size(), "r"));
  std::vector<std::string> out;
  std::string piece;
  while (readPiece(f.get(), max, &piece)) out.push_back(piece);
  return out;
}

TEST(LineReader, PiecesEndAtLineFeedsOrTheBufferSize) {
  EXPECT_EQ((std::vector<std::string>{"ab\n", "\n", "c"}), pieces("ab\n\nc", 10));
  EXPECT_EQ((std::vector<std::string>{"abc", "de\n", "f"}), pieces("abcde\nf", 3));
  EXPECT_EQ((std::vector<std::string>{std::string("a\0b\n", 4)}), pieces(std::string("a\0b\n", 4), 10));
  EXPECT_TRUE(pieces("", 10).empty());
}

volatile std::sig_atomic_t alarms = 0;
void onAlarm(int) { alarms = alarms + 1; }

// A signal that interrupts a read in the middle of the input is not its end:
// both line readers go on reading.
TEST(LineReader, InterruptedReadIsRetried) {
  struct Reader {
    const char* name;
    std::function<bool(std::FILE*, std::string*)> read;
  };
  const Reader readers[] = {
      {"readPiece", [](std::FILE* f, std::string* s) { return readPiece(f, 100, s); }},
      {"readBoundedLine", [](std::FILE* f, std::string* s) { return readBoundedLine(f, s, 101); }},
  };
  struct sigaction action {}, old {};
  action.sa_handler = onAlarm;  // no SA_RESTART: the blocked read fails with EINTR
  ASSERT_EQ(0, ::sigaction(SIGALRM, &action, &old));
  for (const Reader& reader : readers) {
    SCOPED_TRACE(reader.name);
    int data[2], ack[2];
    ASSERT_EQ(0, ::pipe(data));
    ASSERT_EQ(0, ::pipe(ack));
    pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
      ::close(data[0]);
      ::close(ack[1]);
      (void)!::write(data[1], "early\n", 6);
      // The reader has taken the early line and armed its timer; it now
      // waits in read() for the late one, well past the timer.
      char c;
      if (::read(ack[0], &c, 1) != 1) ::_exit(1);
      ::usleep(300 * 1000);
      (void)!::write(data[1], "late line\n", 10);
      ::_exit(0);
    }
    ::close(data[1]);
    ::close(ack[0]);
    UniqueFd acknowledge(ack[1]);  // closed on any early return: the writer then ends
    UniqueFile f(::fdopen(data[0], "r"));
    std::vector<std::string> got;
    std::string piece;
    ASSERT_TRUE(reader.read(f.get(), &piece));
    got.push_back(piece);
    alarms = 0;
    struct itimerval timer {};
    timer.it_value.tv_usec = 100 * 1000;
    ASSERT_EQ(0, ::setitimer(ITIMER_REAL, &timer, nullptr));
    ASSERT_EQ(1, ::write(acknowledge.get(), "x", 1));
    while (reader.read(f.get(), &piece)) got.push_back(piece);
    EXPECT_EQ(1, alarms);
    EXPECT_FALSE(std::ferror(f.get()));
    EXPECT_EQ((std::vector<std::string>{"early\n", "late line\n"}), got);
    int status = 0;
    ::waitpid(writer, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  ::sigaction(SIGALRM, &old, nullptr);
}

}  // namespace
