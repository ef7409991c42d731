#include "productlib/descriptors.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "setup/unique_fd.h"
#include "tests/net_test_util.h"
#include "tests/productlib/capture.h"

namespace {
struct Pipe {
  UniqueFd in, out;
  Pipe() {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    in.reset(fds[0]);
    out.reset(fds[1]);
  }
};

}  // namespace

TEST(WriteAll, WritesInChunksOfAtMost64KiB) {
  // A datagram socket pair keeps each write as one message, so the reader
  // sees the size of every write call.
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
  UniqueFd writer(fds[0]), reader(fds[1]);
  int big = 1 << 20;
  setsockopt(writer.get(), SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  std::vector<char> data(3 * 65536 + 10);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  std::vector<std::size_t> sizes;
  std::string received;
  std::thread drain([&] {
    std::vector<char> message(1 << 18);
    ssize_t n;
    while ((n = recv(reader.get(), message.data(), message.size(), 0)) > 0) {
      sizes.push_back(static_cast<std::size_t>(n));
      received.append(message.data(), static_cast<std::size_t>(n));
    }
  });
  EXPECT_EQ(write_all(writer.get(), data.data(), data.size()), static_cast<std::int32_t>(data.size()));
  writer.reset();
  drain.join();
  EXPECT_EQ(sizes, (std::vector<std::size_t>{65536, 65536, 65536, 10}));
  EXPECT_EQ(received, std::string(data.begin(), data.end()));
  EXPECT_EQ(write_all(-1, data.data(), 0), 0);
}

TEST(WriteAll, FailureReturnsMinusOne) {
  Pipe p;
  p.in.reset();
  signal(SIGPIPE, SIG_IGN);
  std::string out = captureStdout([&] { EXPECT_EQ(write_all(p.out.get(), "abc", 3), -1); });
  EXPECT_EQ(errno, EPIPE);
  EXPECT_EQ(out, "");
  EXPECT_EQ(write_all(p.out.get(), "abc", std::size_t{1} << 31), -1);
  EXPECT_EQ(errno, EOVERFLOW);
}

// SIGPIPE keeps its default action here: a send that raised it would end
// the test.
TEST(SendAll, PeerThatHasGoneGivesMinusOneNotSigpipe) {
  signal(SIGPIPE, SIG_DFL);
  nettest::TcpPair pair;
  ASSERT_TRUE(nettest::makeTcpPair(&pair));
  EXPECT_EQ(send_all(pair.client.get(), "abc", 3), 3);
  EXPECT_EQ(nettest::drain(pair.server.get(), 50), "abc");
  ASSERT_TRUE(nettest::resetServerEnd(&pair));
  EXPECT_EQ(send_all(pair.client.get(), "abc", 3), -1);
  EXPECT_EQ(errno, ECONNRESET);
  EXPECT_EQ(send_all(pair.client.get(), "abc", 3), -1);
  EXPECT_EQ(errno, EPIPE);
}

TEST(SendAll, OtherDescriptorsAreWritten) {
  Pipe p;
  EXPECT_EQ(send_all(p.out.get(), "pipe", 4), 4);
  char buf[8] = {};
  EXPECT_EQ(read(p.in.get(), buf, sizeof buf), 4);
  EXPECT_STREQ(buf, "pipe");
  EXPECT_EQ(send_all(-1, "x", 1), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST(WriteAll, StopsAtARefusedWrite) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4, 4};
    setrlimit(RLIMIT_FSIZE, &limit);
    char name[] = "/tmp/plib-write.XXXXXX";
    int fd = mkstemp(name);
    unlink(name);
    // The first 4 bytes fit; the rest is refused (EFBIG), never looping.
    _exit(write_all(fd, "abcdefgh", 8) == -1 && errno == EFBIG ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(Reads, OnceAndFully) {
  Pipe p;
  ASSERT_EQ(write(p.out.get(), "hello", 5), 5);
  char buffer[16] = {};
  EXPECT_EQ(read_eintr(p.in.get(), buffer, 0), 0);
  EXPECT_EQ(read_eintr(p.in.get(), buffer, 3), 3);
  EXPECT_EQ(std::string(buffer), "hel");

  std::thread slow([&] {
    usleep(20000);
    write(p.out.get(), "world", 5);
    p.out.reset();
  });
  EXPECT_EQ(read_full(p.in.get(), buffer, 10), 7);  // "lo" + "world", then end of file
  slow.join();
  EXPECT_EQ(std::string(buffer, 7), "loworld");
  EXPECT_EQ(read_full(p.in.get(), buffer, 4), 0);
  EXPECT_EQ(read_full(-1, buffer, 4), -1);
  EXPECT_EQ(read_eintr(-1, buffer, 4), -1);
}

namespace {
void onAlarm(int) {}
}

TEST(Reads, InterruptedCallsAreRepeated) {
  Pipe p;
  struct sigaction action {};
  action.sa_handler = onAlarm;  // no SA_RESTART: the read really fails with EINTR
  sigaction(SIGALRM, &action, nullptr);
  std::thread late([&] {
    usleep(100000);
    write(p.out.get(), "late", 4);
  });
  ualarm(20000, 0);
  char buffer[4];
  EXPECT_EQ(read_full(p.in.get(), buffer, 4), 4);
  late.join();
  ualarm(20000, 0);
  fd_set readSet;
  FD_ZERO(&readSet);
  FD_SET(p.in.get(), &readSet);
  timeval timeout{0, 100000};
  EXPECT_EQ(select_eintr(p.in.get() + 1, &readSet, nullptr, nullptr, &timeout), 0);
  signal(SIGALRM, SIG_DFL);
}

TEST(CloseLogged, OnlyRealDescriptorsAndLevelOneLine) {
  std::string out = captureStdout([] {
    close_logged(0, "stdin");
    close_logged(-1, "nothing");
  });
  EXPECT_EQ(out, "");
  EXPECT_NE(fcntl(0, F_GETFD), -1);
  // A number far above anything open, so that no descriptor made meanwhile
  // (the capture's own) can take it.
  int fd = 900;
  ASSERT_EQ(fcntl(fd, F_GETFD), -1);
  out = captureStdout([&] { close_logged(fd, "socket"); });
  EXPECT_EQ(out, "failed to close socket\n");
}

TEST(Magic, WrittenBigEndianAndChecked) {
  Pipe p;
  ASSERT_EQ(write_magic(p.out.get(), 0xCAFE0102), 0);
  unsigned char bytes[4];
  ASSERT_EQ(read(p.in.get(), bytes, 4), 4);
  EXPECT_EQ(std::memcmp(bytes, "\xCA\xFE\x01\x02", 4), 0);

  ASSERT_EQ(write_magic(p.out.get(), 0xCAFE0102), 0);
  EXPECT_EQ(read_magic(p.in.get(), 0xCAFE0102), 0);
  ASSERT_EQ(write_magic(p.out.get(), 0x1234), 0);
  std::string out = captureStdout([&] { EXPECT_EQ(read_magic(p.in.get(), 0xCAFE0102), 1); });
  EXPECT_EQ(out, "expected magic file number (0xcafe0102) did not match (0x1234)\n");

  ASSERT_EQ(write(p.out.get(), "abc", 3), 3);
  p.out.reset();
  out = captureStdout([&] { EXPECT_EQ(read_magic(p.in.get(), 1), 1); });
  EXPECT_EQ(out, "error reading magic number\n");
  out = captureStdout([&] { EXPECT_EQ(write_magic(-1, 1), 1); });
  EXPECT_EQ(out, "error writing magic number\n");
}
