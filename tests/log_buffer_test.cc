#include "productlib/log_buffer.h"

#include <dirent.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "productlib/framing.h"
#include "setup/log.h"
#include "tests/net_test_util.h"

using nettest::logged;

namespace {

// One record as the log peer sees it: a type code, then a message.
struct Record {
  std::uint32_t type;
  std::string text;
  bool operator==(const Record& o) const { return type == o.type && text == o.text; }
};

std::ostream& operator<<(std::ostream& os, const Record& r) {
  return os << std::hex << "0x" << r.type << std::dec << " \"" << r.text.substr(0, 80) << "\" (" << r.text.size()
            << ")";
}

std::uint32_t be32(const std::string& s, std::size_t at) {
  std::uint32_t v;
  std::memcpy(&v, s.data() + at, 4);
  return ntohl(v);
}

// Parses the stream of typed messages; a trailing part that is not a whole
// record is returned in *rest.
std::vector<Record> parseRecords(const std::string& stream, std::string* rest = nullptr) {
  std::vector<Record> out;
  std::size_t at = 0;
  while (stream.size() - at >= 8) {
    std::uint32_t length = be32(stream, at + 4);
    if (stream.size() - at - 8 < length) break;
    out.push_back({be32(stream, at), stream.substr(at + 8, length)});
    at += 8 + length;
  }
  if (rest) *rest = stream.substr(at);
  return out;
}

std::string code(std::uint32_t c) {
  std::uint32_t raw = htonl(c);
  return std::string(reinterpret_cast<const char*>(&raw), 4);
}

// Reads the peer's end on its own thread, so large flushes never block on a
// full socket buffer; stops after a quiet spell.
class PeerReader {
 public:
  explicit PeerReader(int fd, int quietMs = 300) : thread_([this, fd, quietMs] { data_ = nettest::drain(fd, quietMs); }) {}
  std::string finish() {
    thread_.join();
    return data_;
  }

 private:
  std::string data_;
  std::thread thread_;
};

int lockCalls = 0;

class LogBufferTest : public testing::Test {
 protected:
  void SetUp() override {
    // The default action: a sender that let a vanished peer raise SIGPIPE
    // would end the test.
    signal(SIGPIPE, SIG_DFL);
    savedTimeout_ = get_net_timeout();
    set_net_timeout(1);
    savedLock_ = logBufferLockCalls;
    lockCalls = 0;
    char dir[] = "/tmp/logbuffer-test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    ASSERT_TRUE(nettest::makeTcpPair(&pair_));
  }
  void TearDown() override {
    logBufferLockCalls = savedLock_;
    destroyLogBuffer();
    set_net_timeout(savedTimeout_);
    rmdir(dir_.c_str());
  }
  void create() { ASSERT_EQ(createLogBuffer(destination(), dir_.c_str()), 0); }
  int destination() { return pair_.client.get(); }
  int peer() { return pair_.server.get(); }
  void countLocks() {
    logBufferLockCalls.lock = [](MM* pool) {
      ++lockCalls;
      return mm_lock(pool, MM_LOCK_RW);
    };
  }
  void failLocks() {
    logBufferLockCalls.lock = [](MM*) { return 0; };
  }
  // Flushes through a sender and returns the records the peer got, with the
  // sender's own code last.
  std::vector<Record> flushAndRead(std::string* rest) {
    PeerReader reader(peer());
    EXPECT_EQ(send_code_flushing_log(destination(), 0x00ABCDEF), 0);
    return parseRecords(reader.finish(), rest);
  }

  std::string dir_;
  nettest::TcpPair pair_;
  std::int64_t savedTimeout_ = 0;
  LogBufferLockCalls savedLock_{};
};

constexpr std::uint32_t T = kLogRecordType;
const std::string kLost = " log message(s) due to the log buffer being full";

}  // namespace

TEST_F(LogBufferTest, InactiveBufferDoesNothing) {
  countLocks();
  EXPECT_EQ(appendLogBuffer(1, "nothing"), 0);
  EXPECT_EQ(flushLogBuffer(destination()), 0);
  EXPECT_EQ(destroyLogBuffer(), 0);
  EXPECT_EQ(lockCalls, 0);
  EXPECT_EQ(logBufferSink, nullptr);
  EXPECT_EQ(send_code_flushing_log(destination(), 5), 0);
  EXPECT_EQ(nettest::drain(peer(), 50), code(5));
}

TEST_F(LogBufferTest, PoolIsNamedForDirectoryAndProcess) {
  EXPECT_EQ(logBufferPoolName("/tmp", 4711), "/tmp/logbuffer.4711.shm");
  std::string longDir(30000, 'd');
  EXPECT_EQ(logBufferPoolName(longDir.c_str(), 1), std::string(20479, 'd'));
  create();
  std::string prefix = "logbuffer." + std::to_string(getpid()) + ".shm";
  bool found = false;
  UniqueDir d(opendir(dir_.c_str()));
  ASSERT_TRUE(d);
  while (dirent* e = readdir(d.get())) found |= std::string(e->d_name).rfind(prefix, 0) == 0;
  EXPECT_TRUE(found) << "no file of the pool " << prefix << " in " << dir_;
  EXPECT_EQ(destroyLogBuffer(), 0);
  d.reset(opendir(dir_.c_str()));
  found = false;
  while (dirent* e = readdir(d.get())) found |= std::string(e->d_name).rfind(prefix, 0) == 0;
  EXPECT_FALSE(found) << "the pool's files go with it";
}

TEST_F(LogBufferTest, PoolThatCannotBeCreatedLeavesItInactive) {
  std::string out = logged([&] { EXPECT_EQ(createLogBuffer(destination(), "/nonexistent/dir"), 1); });
  EXPECT_EQ(out, "Was unable to create shared memory for log buffer\n");
  EXPECT_EQ(logBufferActive, 0);
  EXPECT_EQ(logBufferPool, nullptr);
  EXPECT_EQ(logBufferSink, nullptr);
}

TEST_F(LogBufferTest, OneBufferAtATimeAndDestroyForgetsIt) {
  create();
  MM* first = logBufferPool;
  std::string out = logged([&] { EXPECT_EQ(createLogBuffer(peer(), dir_.c_str()), 1); });
  EXPECT_EQ(out, "A log buffer exists already\n");
  EXPECT_EQ(logBufferPool, first);
  EXPECT_EQ(logBufferRecord->destination, destination());
  EXPECT_EQ(destroyLogBuffer(), 0);
  EXPECT_EQ(logBufferActive, 0);
  EXPECT_EQ(logBufferPool, nullptr);
  EXPECT_EQ(logBufferRecord, nullptr);
  EXPECT_EQ(logBufferSink, nullptr);
  EXPECT_EQ(destroyLogBuffer(), 0);
  create();
  EXPECT_EQ(logBufferRecord->appended, 0u);
}

TEST_F(LogBufferTest, QueuedLinesThenTheLostReportPrecedeTheSendersCode) {
  create();
  EXPECT_EQ(appendLogBuffer(0, "first"), 0);
  EXPECT_EQ(appendLogBuffer(1, "second"), 0);
  EXPECT_EQ(appendLogBuffer(2, "third"), 0);
  std::string tooLong(kLogRecordAreaSize, 'x');
  EXPECT_EQ(appendLogBuffer(1, tooLong.c_str()), 0);
  EXPECT_EQ(appendLogBuffer(1, "short but lost"), 0) << "once full, every line is lost until a flush";
  EXPECT_EQ(logBufferRecord->queued, 3u);
  EXPECT_EQ(logBufferRecord->lost, 2u);
  EXPECT_EQ(logBufferRecord->full, 1);
  std::string rest;
  std::vector<Record> got = flushAndRead(&rest);
  std::vector<Record> want = {
      {T, "first"}, {T + 1, "second"}, {T + 2, "third"}, {T, "Lost (2)" + kLost}};
  EXPECT_EQ(got, want);
  EXPECT_EQ(rest, code(0x00ABCDEF));
  EXPECT_EQ(logBufferRecord->queued, 0u);
  EXPECT_EQ(logBufferRecord->lost, 0u);
  EXPECT_EQ(logBufferRecord->full, 0);
  EXPECT_EQ(logBufferRecord->appended, 3u);
  EXPECT_EQ(logBufferRecord->records->used, 0u);
  // After the flush lines fit again.
  EXPECT_EQ(appendLogBuffer(1, "again"), 0);
  EXPECT_EQ(logBufferRecord->queued, 1u);
}

TEST_F(LogBufferTest, LoggerHandsOverLevelsZeroToTwoButNeverThree) {
  create();
  std::string out = logged([] {
    logMessage(0, "error line");
    logMessage(1, "info line");
    logMessage(3, "level three");
    logError(2, 2, "with errno");
  });
  EXPECT_EQ(out, "error line\ninfo line\nlevel three\nwith errno: No such file or directory (2)\n");
  std::string rest;
  std::vector<Record> want = {
      {T, "error line"}, {T + 1, "info line"}, {T + 2, "with errno: No such file or directory (2)"}};
  EXPECT_EQ(flushAndRead(&rest), want);
}

TEST_F(LogBufferTest, OtherSocketsGetOnlyTheirOwnPayload) {
  create();
  appendLogBuffer(1, "kept");
  nettest::TcpPair other;
  ASSERT_TRUE(nettest::makeTcpPair(&other));
  countLocks();
  EXPECT_EQ(flushLogBuffer(other.client.get()), 0);
  EXPECT_EQ(send_code_flushing_log(other.client.get(), 9), 0);
  EXPECT_EQ(send_message_flushing_log(other.client.get(), 10, "abc", 3), 0);
  EXPECT_EQ(nettest::drain(other.server.get(), 50), code(9) + code(10) + code(3) + "abc");
  EXPECT_EQ(lockCalls, 0);
  EXPECT_EQ(logBufferRecord->queued, 1u);
  std::string rest;
  EXPECT_EQ(flushAndRead(&rest), std::vector<Record>({{T + 1, "kept"}}));
}

TEST_F(LogBufferTest, LengthThatCannotBeSentPutsNothingOnTheWire) {
  create();
  appendLogBuffer(1, "stays queued");
  std::string out = logged([&] {
    EXPECT_EQ(send_message_flushing_log(destination(), 0x0102, "x", 0xFFFFFFFFu), 1);
    EXPECT_EQ(send_message_flushing_log(destination(), 0x0103, "x", 0x80000000u), 1);
  });
  EXPECT_EQ(out, "message length is -1\nmessage length (2147483648) is too large to send\n");
  EXPECT_EQ(nettest::drain(peer(), 50), "") << "neither the code nor a queued line";
  // Nothing was flushed: the line is still queued, behind it the two
  // refusals, logged like any other line.
  std::string rest;
  EXPECT_EQ(flushAndRead(&rest), std::vector<Record>({{T + 1, "stays queued"},
                                                      {T, "message length is -1"},
                                                      {T, "message length (2147483648) is too large to send"}}));
}

TEST_F(LogBufferTest, FlushingSendersToAPeerThatHasGoneFailWithTheirTexts) {
  create();
  appendLogBuffer(1, "one");
  appendLogBuffer(1, "two");
  ASSERT_TRUE(nettest::resetServerEnd(&pair_));
  // Each queued line fails on its own (the first meets the reset, the rest
  // a closed connection) and the flush still empties the queue; then the
  // sender's own code fails, and that line is queued like any other.
  const std::string reset = nettest::errorLine("write error while sending code", ECONNRESET);
  const std::string closed = nettest::errorLine("write error while sending code", EPIPE);
  std::string out = logged([&] { EXPECT_EQ(send_code_flushing_log(destination(), 0x77), 1); });
  EXPECT_EQ(out, reset + closed + closed);
  EXPECT_EQ(logBufferRecord->queued, 1u);
  appendLogBuffer(1, "three");
  out = logged([&] { EXPECT_EQ(send_message_flushing_log(destination(), 0x78, "abc", 3), 1); });
  EXPECT_EQ(out, closed + closed + closed);
}

TEST_F(LogBufferTest, NothingQueuedMeansNoLockAndNoRecords) {
  create();
  countLocks();
  EXPECT_EQ(send_message_flushing_log(destination(), 0x0102, "payload", 7), 0);
  EXPECT_EQ(lockCalls, 0);
  EXPECT_EQ(nettest::drain(peer(), 50), code(0x0102) + code(7) + "payload");
}

TEST_F(LogBufferTest, ExactFitAt307200Bytes) {
  struct {
    std::size_t length;
    bool fits;
  } cases[] = {{kLogRecordAreaSize - 8, true}, {kLogRecordAreaSize - 7, false}};
  for (const auto& c : cases) {
    create();
    std::string line(c.length, 'f');
    EXPECT_EQ(appendLogBuffer(1, line.c_str()), 0);
    EXPECT_EQ(logBufferRecord->queued, c.fits ? 1u : 0u) << c.length;
    EXPECT_EQ(logBufferRecord->records->used, c.fits ? kLogRecordAreaSize : 0u);
    // A full area takes not even an empty line.
    EXPECT_EQ(appendLogBuffer(1, ""), 0);
    EXPECT_EQ(logBufferRecord->lost, c.fits ? 1u : 2u);
    std::string rest;
    std::vector<Record> got = flushAndRead(&rest);
    std::vector<Record> want;
    if (c.fits) want.push_back({T + 1, line});
    want.push_back({T, "Lost (" + std::string(c.fits ? "1" : "2") + ")" + kLost});
    EXPECT_EQ(got, want);
    EXPECT_EQ(rest, code(0x00ABCDEF));
    EXPECT_EQ(destroyLogBuffer(), 0);
  }
}

TEST_F(LogBufferTest, TwoHundredLinesThenTheSuppressionNotice) {
  create();
  std::string out = logged([] {
    for (int i = 0; i < 250; ++i) logMessage(1, "line %d", i);
  });
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 250) << "every line is still printed";
  EXPECT_EQ(logBufferRecord->appended, 201u);
  std::string rest;
  std::vector<Record> got = flushAndRead(&rest);
  ASSERT_EQ(got.size(), 201u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(got[i], (Record{T + 1, "line " + std::to_string(i)}));
  EXPECT_EQ(got[200], (Record{T + 1, kLogSuppressedText}));
  EXPECT_EQ(std::string(kLogSuppressedText),
            "Further agent log messages are being suppressed.  Please check the agent's log file for further logs.");
  // The buffer's life goes on, but the logger hands nothing over any more.
  logged([] { logMessage(0, "after the limit"); });
  EXPECT_EQ(logBufferRecord->queued, 0u);
  EXPECT_EQ(appendLogBuffer(0, "direct appends still work"), 0);
  EXPECT_EQ(logBufferRecord->queued, 1u);
}

TEST_F(LogBufferTest, SuppressionNoticeThatDoesNotFitIsLost) {
  create();
  // 199 lines straight into the buffer, leaving room for the 200th (from the
  // logger) but then less than the notice needs.
  const std::size_t noticeNeeds = std::strlen(kLogSuppressedText) + 8;
  const std::size_t lastLine = 100;
  const std::size_t room = noticeNeeds - 1;
  std::size_t big = kLogRecordAreaSize - room - (lastLine + 8) - 198 * 8 - 8;
  EXPECT_EQ(appendLogBuffer(1, std::string(big, 'b').c_str()), 0);
  for (int i = 0; i < 198; ++i) EXPECT_EQ(appendLogBuffer(1, ""), 0);
  ASSERT_EQ(logBufferRecord->appended, 199u);
  std::string last(lastLine, 'L');
  logged([&] {
    logMessage(2, "%s", last.c_str());
    logMessage(2, "not handed over");
  });
  EXPECT_EQ(logBufferRecord->appended, 200u);
  EXPECT_EQ(logBufferRecord->queued, 200u);
  EXPECT_EQ(logBufferRecord->lost, 1u) << "the notice, and nothing after it";
  EXPECT_EQ(logBufferRecord->records->used, kLogRecordAreaSize - room);
  std::string rest;
  std::vector<Record> got = flushAndRead(&rest);
  ASSERT_EQ(got.size(), 201u);
  EXPECT_EQ(got[199], (Record{T + 2, last}));
  EXPECT_EQ(got[200], (Record{T, "Lost (1)" + kLost}));
}

TEST_F(LogBufferTest, LockThatCannotBeTaken) {
  create();
  appendLogBuffer(1, "queued before");
  failLocks();
  EXPECT_EQ(appendLogBuffer(1, "refused"), 1);
  EXPECT_EQ(logBufferRecord->queued, 1u);
  EXPECT_EQ(logBufferRecord->lost, 0u) << "neither queued nor counted";
  std::string out = logged([&] { EXPECT_EQ(send_code_flushing_log(destination(), 0x77), 1); });
  EXPECT_EQ(out, "Error sending log messages to host\n");
  EXPECT_EQ(nettest::drain(peer(), 50), "") << "not even the sender's own code";
  int cork = -1;
  socklen_t len = sizeof cork;
  ASSERT_EQ(getsockopt(destination(), IPPROTO_TCP, TCP_CORK, &cork, &len), 0);
  EXPECT_EQ(cork, 0) << "the socket is uncorked all the same";
  EXPECT_EQ(logBufferRecord->queued, 1u) << "every record is kept";
  EXPECT_EQ(destroyLogBuffer(), 1);
  EXPECT_EQ(logBufferActive, 1);
  logBufferLockCalls = savedLock_;
  std::string rest;
  EXPECT_EQ(flushAndRead(&rest), std::vector<Record>({{T + 1, "queued before"}}));
}

TEST_F(LogBufferTest, FailedSendsAreLoggedNotQueuedAndTheQueueStillEmpties) {
  // A local stream socket cannot be corked, so every forwarded record fails.
  nettest::LocalPair lp;
  ASSERT_TRUE(nettest::makeLocalPair(&lp));
  ASSERT_EQ(createLogBuffer(lp.a.get(), dir_.c_str()), 0);
  appendLogBuffer(1, "one");
  appendLogBuffer(1, "two");
  std::string out = logged([&] { EXPECT_EQ(flushLogBuffer(lp.a.get()), 0); });
  std::string cork = nettest::errorLine("error setsockopt(" + std::to_string(lp.a.get()) + ", SO_TCP, TCP_CORK, 1)",
                                        EOPNOTSUPP);
  EXPECT_EQ(out, cork + cork);
  EXPECT_EQ(logBufferRecord->queued, 0u) << "the send errors are not queued";
  EXPECT_EQ(logBufferRecord->appended, 2u);
  EXPECT_EQ(nettest::drain(lp.b.get(), 50), "");
}

TEST_F(LogBufferTest, BadRecordEndsTheFlushAndTheRestCountsAsLost) {
  create();
  appendLogBuffer(1, "good");
  appendLogBuffer(1, "damaged");
  appendLogBuffer(1, "after");
  // Another process scribbles over the second record's length.
  unsigned char* second = logBufferRecord->records->data + 8 + 4;
  std::uint32_t huge = htonl(0x7FFFFFF0);
  std::memcpy(second + 4, &huge, 4);
  std::string rest, out;
  std::vector<Record> got;
  out = logged([&] { got = flushAndRead(&rest); });
  EXPECT_EQ(got, std::vector<Record>({{T + 1, "good"}, {T, "Lost (2)" + kLost}}));
  EXPECT_EQ(rest, code(0x00ABCDEF));
  EXPECT_EQ(out, "Bad record in the log buffer; (2) log message(s) dropped\n");
  EXPECT_EQ(logBufferRecord->queued, 0u);
}

// Only the logger leaves level 3 out; a direct append takes any level, and
// the level goes into the message type.
TEST_F(LogBufferTest, AnyLevelIsForwardedInItsType) {
  create();
  logged([] {
    logMessage(3, "level three from the logger");
    logMessage(4, "level four from the logger");
  });
  EXPECT_EQ(appendLogBuffer(3, "level three by hand"), 0);
  EXPECT_EQ(appendLogBuffer(7, "level seven by hand"), 0);
  std::string rest;
  EXPECT_EQ(flushAndRead(&rest), std::vector<Record>({{T + 4, "level four from the logger"},
                                                      {T + 3, "level three by hand"},
                                                      {T + 7, "level seven by hand"}}));
}

TEST_F(LogBufferTest, FailedPackRestoresTheAreaAndCountsTheLineLost) {
  create();
  appendLogBuffer(1, "packed");
  Buffer* area = logBufferRecord->records;
  std::uint32_t used = area->used;
  rewindBuffer(area);  // packing now refuses: the cursor is not at the end
  auto pos = area->pos;
  std::string out = logged([] { EXPECT_EQ(appendLogBuffer(1, "refused by the packer"), 1); });
  EXPECT_EQ(out, "Buffer is not at the end when packing (pos=0 used=" + std::to_string(used) + ")\n");
  EXPECT_EQ(area->used, used);
  EXPECT_EQ(area->pos, pos);
  EXPECT_EQ(logBufferRecord->queued, 1u);
  EXPECT_EQ(logBufferRecord->lost, 1u);
  std::string rest;
  EXPECT_EQ(flushAndRead(&rest), std::vector<Record>({{T + 1, "packed"}, {T, "Lost (1)" + kLost}}));
}

TEST_F(LogBufferTest, ForkedWriterAppendsUnderTheLockWhileTheParentFlushes) {
  create();
  constexpr int kLines = 150;
  PeerReader reader(peer(), 500);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    logToStdout = 0;
    for (int i = 0; i < kLines; ++i) logMessage(1, "child line %d", i);
    _exit(0);
  }
  int status = 0;
  int flushes = 0;
  while (waitpid(child, &status, WNOHANG) == 0) {
    EXPECT_EQ(flushLogBuffer(destination()), 0);
    ++flushes;
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(flushLogBuffer(destination()), 0);
  std::string rest;
  std::vector<Record> got = parseRecords(reader.finish(), &rest);
  EXPECT_EQ(rest, "");
  ASSERT_EQ(got.size(), static_cast<std::size_t>(kLines)) << "after " << flushes << " flushes";
  for (int i = 0; i < kLines; ++i) EXPECT_EQ(got[i], (Record{T + 1, "child line " + std::to_string(i)}));
  EXPECT_EQ(logBufferRecord->appended, static_cast<std::uint32_t>(kLines));
}
