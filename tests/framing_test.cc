#include "productlib/framing.h"

#include <signal.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "tests/net_test_util.h"

using nettest::errorLine;
using nettest::logged;

namespace {

std::string bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

void writeRaw(int fd, const std::string& data) {
  ASSERT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
}

// Every test gets the process-wide time-out back as it found it, and a
// connected loopback pair. SIGPIPE keeps its default action: a sender that
// let a vanished peer raise it would end the test.
class Framing : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = get_net_timeout();
    signal(SIGPIPE, SIG_DFL);
    ASSERT_TRUE(nettest::makeTcpPair(&pair_));
    set_net_timeout(1);
  }
  void TearDown() override { set_net_timeout(saved_); }
  int sender() { return pair_.client.get(); }
  int receiver() { return pair_.server.get(); }

  nettest::TcpPair pair_;
  std::int64_t saved_ = 0;
};

}  // namespace

TEST(NetTimeout, DefaultsTo120AndIsProcessWide) {
  EXPECT_EQ(get_net_timeout(), 120);
  set_net_timeout(7);
  EXPECT_EQ(get_net_timeout(), 7);
  set_net_timeout(120);
}

TEST_F(Framing, MessageGoesAsLengthThenDataAndReadsBack) {
  EXPECT_EQ(send_message(sender(), "hello", 5), 0);
  EXPECT_EQ(nettest::drain(receiver(), 50), bytes({0, 0, 0, 5}) + "hello");
  EXPECT_EQ(send_message(sender(), "hello", 5), 0);
  char buf[16] = {};
  std::uint32_t length = 0;
  EXPECT_EQ(net_read_message(receiver(), buf, sizeof buf, &length), 0);
  EXPECT_EQ(length, 5u);
  EXPECT_EQ(std::string(buf, 6), std::string("hello\0", 6)) << "no terminator is added";
}

TEST_F(Framing, MessageOfCapacityIsReadAndOneLongerStaysUnread) {
  EXPECT_EQ(send_message(sender(), "abcd", 4), 0);
  EXPECT_EQ(send_message(sender(), "vwxyz", 5), 0);
  char buf[4];
  std::uint32_t length = 99;
  EXPECT_EQ(net_read_message(receiver(), buf, 4, &length), 0);
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(std::string(buf, 4), "abcd");
  length = 99;
  std::string out = logged([&] { EXPECT_EQ(net_read_message(receiver(), buf, 4, &length), 1); });
  EXPECT_EQ(out, "") << "an oversize message is refused silently";
  EXPECT_EQ(length, 99u);
  char rest[5];
  EXPECT_EQ(net_read_full(receiver(), rest, 5), 0);
  EXPECT_EQ(std::string(rest, 5), "vwxyz");
}

TEST_F(Framing, EmptyMessageIsJustItsLength) {
  EXPECT_EQ(send_message(sender(), nullptr, 0), 0);
  EXPECT_EQ(send_message(sender(), "", 0), 0);
  EXPECT_EQ(nettest::drain(receiver(), 50), bytes({0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(send_message(sender(), "", 0), 0);
  char buf[1];
  std::uint32_t length = 99;
  EXPECT_EQ(net_read_message(receiver(), buf, 0, &length), 0);
  EXPECT_EQ(length, 0u);
}

TEST_F(Framing, LengthMinusOneIsRefusedBeforeAnythingIsSent) {
  std::string out = logged([&] { EXPECT_EQ(send_message(sender(), "x", 0xFFFFFFFFu), 1); });
  EXPECT_EQ(out, "message length is -1\n");
  out = logged([&] { EXPECT_EQ(send_message(sender(), "x", 0x80000000u), 1); });
  EXPECT_EQ(out, "message length (2147483648) is too large to send\n");
  EXPECT_EQ(nettest::drain(receiver(), 50), "") << "the peer never sees a length without its data";
}

TEST_F(Framing, ValuesAreBigEndianOnTheWire) {
  EXPECT_EQ(send_code(sender(), 0xE1E7EFEEu), 0);
  EXPECT_EQ(send_u64(sender(), 0x0102030405060708ull), 0);
  EXPECT_EQ(send_code_corked(sender(), 0x11223344u), 0);
  EXPECT_EQ(nettest::drain(receiver(), 50),
            bytes({0xE1, 0xE7, 0xEF, 0xEE, 1, 2, 3, 4, 5, 6, 7, 8, 0x11, 0x22, 0x33, 0x44}));

  writeRaw(sender(), bytes({1, 2, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFE, 1, 2, 3, 4, 5, 6, 7, 8}));
  std::uint16_t u16 = 0;
  std::uint32_t u32 = 0;
  std::int32_t i32 = 0;
  std::uint64_t u64 = 0;
  EXPECT_EQ(net_read_u16(receiver(), &u16), 0);
  EXPECT_EQ(net_read_u32(receiver(), &u32), 0);
  EXPECT_EQ(net_read_i32(receiver(), &i32), 0);
  EXPECT_EQ(net_read_u64(receiver(), &u64), 0);
  EXPECT_EQ(u16, 0x0102);
  EXPECT_EQ(u32, 0xFFFFFFFEu);
  EXPECT_EQ(i32, -2);
  EXPECT_EQ(u64, 0x0102030405060708ull);
}

TEST_F(Framing, PeerClosingHalfwayThroughAMessage) {
  writeRaw(sender(), bytes({0, 0, 0, 10}) + "abc");
  pair_.client.reset();
  char buf[10] = {};
  std::uint32_t length = 77;
  std::string out = logged([&] { EXPECT_EQ(net_read_message(receiver(), buf, sizeof buf, &length), 1); });
  EXPECT_EQ(out, "error reading from network socket (connection has been closed)\n");
  EXPECT_EQ(length, 77u);
  EXPECT_EQ(std::string(buf, 3), "abc") << "what did arrive stays in the buffer";
}

TEST_F(Framing, SendersToAPeerThatHasGoneFailWithTheirTexts) {
  ASSERT_TRUE(nettest::resetServerEnd(&pair_));
  // The first send after the reset reports it; from then on every send
  // meets a closed connection (EPIPE).
  std::string first = logged([&] { EXPECT_EQ(send_code(sender(), 1), 1); });
  EXPECT_EQ(first, errorLine("write error while sending code", ECONNRESET));
  struct Case {
    const char* name;
    std::function<int()> send;
    std::string line;
  };
  const std::string code = errorLine("write error while sending code", EPIPE);
  const std::string message = errorLine("write error while sending message", EPIPE);
  const Case cases[] = {
      {"send_code", [&] { return send_code(sender(), 2); }, code},
      {"send_message", [&] { return send_message(sender(), "data", 4); }, code},
      {"send_message of nothing", [&] { return send_message(sender(), "", 0); }, code},
      {"send_code_corked", [&] { return send_code_corked(sender(), 3); }, code},
      {"send_u64", [&] { return send_u64(sender(), 4); }, message},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = logged([&] { EXPECT_EQ(c.send(), 1); });
    EXPECT_EQ(out, c.line);
  }
}

TEST_F(Framing, ReadersWriteNothingOnFailure) {
  writeRaw(sender(), bytes({9}));
  pair_.client.reset();
  std::uint32_t u32 = 5;
  std::string out = logged([&] { EXPECT_EQ(net_read_u32(receiver(), &u32), 1); });
  EXPECT_EQ(u32, 5u);
  EXPECT_EQ(out, "error reading from network socket (connection has been closed)\n");
}

TEST_F(Framing, TimeOutsOfZeroAndNegativeSeconds) {
  char c;
  set_net_timeout(0);
  std::string out = logged([&] { EXPECT_EQ(net_read_full(receiver(), &c, 1), 1); });
  EXPECT_EQ(out, "timeout after (0) seconds reading from network\n");
  set_net_timeout(-1);
  out = logged([&] { EXPECT_EQ(net_read_full(receiver(), &c, 1), 1); });
  EXPECT_EQ(out, errorLine("select waiting for input from host failed", EINVAL));
  // Nothing is read for a count of 0, not even a wait.
  EXPECT_EQ(net_read_full(receiver(), &c, 0), 0);
}

TEST_F(Framing, TimeOutBoundsEachWaitNotTheWholeRead) {
  // Four bytes, 400 ms apart: 1.2 s in all, each gap well inside 1 s.
  std::thread trickle([fd = sender()] {
    for (int i = 0; i < 4; ++i) {
      if (i) std::this_thread::sleep_for(std::chrono::milliseconds(400));
      char b = static_cast<char>('a' + i);
      if (::write(fd, &b, 1) != 1) return;
    }
  });
  char buf[4];
  auto start = std::chrono::steady_clock::now();
  int rc = net_read_full(receiver(), buf, 4);
  auto took = std::chrono::steady_clock::now() - start;
  trickle.join();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(std::string(buf, 4), "abcd");
  EXPECT_GT(took, std::chrono::milliseconds(1100));
}

TEST_F(Framing, SilencePastTheTimeOutEndsTheRead) {
  writeRaw(sender(), "ab");
  char buf[4];
  auto start = std::chrono::steady_clock::now();
  std::string out = logged([&] { EXPECT_EQ(net_read_full(receiver(), buf, 4), 1); });
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(out, "timeout after (1) seconds reading from network\n");
  EXPECT_GE(took, std::chrono::milliseconds(900));
  EXPECT_LT(took, std::chrono::milliseconds(3000));
}

TEST_F(Framing, InterruptedWaitResumes) {
  struct sigaction sa {};
  sa.sa_handler = [](int) {};
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no restart: select really sees EINTR
  struct sigaction old;
  ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
  itimerval timer{};
  timer.it_value.tv_usec = 100 * 1000;
  ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);
  std::thread late([fd = sender()] {
    // The alarm must interrupt the reader, not this thread.
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (::write(fd, "z", 1) != 1) return;
  });
  char c = 0;
  EXPECT_EQ(net_read_full(receiver(), &c, 1), 0);
  late.join();
  EXPECT_EQ(c, 'z');
  sigaction(SIGALRM, &old, nullptr);
}

TEST_F(Framing, DescriptorAboveTheSelectLimitIsRefused) {
  std::string why;
  if (!nettest::allowDescriptorsUpTo(1501, &why)) GTEST_SKIP() << why;
  UniqueFd high(dup2(receiver(), 1500));
  ASSERT_EQ(high.get(), 1500);
  writeRaw(sender(), "abcd");
  char buf[4] = {'-', '-', '-', '-'};
  std::string out = logged([&] { EXPECT_EQ(net_read_full(high.get(), buf, 4), 1); });
  EXPECT_EQ(out, "cannot wait for input on descriptor (1500)\n");
  EXPECT_EQ(std::string(buf, 4), "----");
  // Sending needs no wait and works on any descriptor.
  UniqueFd highSender(dup2(sender(), 1501));
  EXPECT_EQ(send_code_corked(highSender.get(), 7), 0);
  EXPECT_EQ(nettest::drain(receiver(), 50), std::string("abcd") + bytes({0, 0, 0, 7}));
}

TEST_F(Framing, NegativeCountIsRefused) {
  char c;
  std::string out = logged([&] { EXPECT_EQ(net_read_full(receiver(), &c, -1), 1); });
  EXPECT_EQ(out, "invalid network read of (-1) bytes\n");
}

TEST_F(Framing, WriteFailuresAreLogged) {
  std::string out = logged([] {
    EXPECT_EQ(send_code(-1, 1), 1);
    EXPECT_EQ(send_message(-1, "x", 1), 1);
  });
  EXPECT_EQ(out, errorLine("write error while sending code", EBADF) + errorLine("write error while sending code", EBADF));
}

TEST(CorkedSenders, NotTcpFailAtCorkingAndSendNothing) {
  nettest::LocalPair lp;
  ASSERT_TRUE(nettest::makeLocalPair(&lp));
  int fd = lp.a.get();
  std::string cork = errorLine("error setsockopt(" + std::to_string(fd) + ", SO_TCP, TCP_CORK, 1)", EOPNOTSUPP);
  std::string out = logged([&] {
    EXPECT_EQ(send_u64(fd, 1), 1);
    EXPECT_EQ(send_code_corked(fd, 1), 1);
  });
  EXPECT_EQ(out, cork + cork) << "no uncork after a failed cork";
  EXPECT_EQ(nettest::drain(lp.b.get(), 50), "");
}
