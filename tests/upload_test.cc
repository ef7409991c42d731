// The upload request's bytes: header, form text, closing boundary.
#include "installer/upload.h"

#include <gtest/gtest.h>

#include <cstring>

#include "installer/state.h"

namespace {

class UploadFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    archFormValue = "2\n";
    customVersion.reset();
    moduleType = 4;
    betaRequested = 0;
    experimentalBuild = false;
    std::strcpy(systemUname.release, "2.6.32-431.el6.x86_64");
    buildServiceHost = "build.example.test";
  }
};

const std::string kDelim = "-----------------------------4664151417711\n";
std::string part(const std::string& name, const std::string& value) {
  return kDelim + "Content-Disposition: form-data; name=\"" + name + "\"\n\n" + value + "\n";
}
const std::string kFileHeader =
    kDelim +
    "Content-Disposition: form-data; name=\"userfile\"; filename=\"test.tar.gz\"\n"
    "Content-Type: application/x-compressed\n\n";

TEST_F(UploadFormTest, ExampleFormAndContentLength) {
  std::string form = buildUploadForm();
  std::string expected = part("MAX_FILE_SIZE", "450000000") +
                         kDelim + "Content-Disposition: form-data; name=\"arch\"\n\n2\n" +
                         part("version_major", "4") + part("beta", "0") +
                         part("uname", "2.6.32-431.el6.x86_64") + part("kestrin_client", "1") +
                         part("gen", "4") + part("nd", "1") + kFileHeader;
  EXPECT_EQ(form, expected);
  EXPECT_EQ(part("MAX_FILE_SIZE", "450000000").size(), 107u);
  EXPECT_EQ(kFileHeader.size(), 155u);
  EXPECT_EQ(form.size() - 155, 774u);
  EXPECT_EQ(uploadContentLength(form, 1000), 1975);
  EXPECT_EQ(std::string(kUploadClosingBoundary), "\n--" + kDelim.substr(2, 40) + "--\n");
  EXPECT_EQ(std::strlen(kUploadClosingBoundary), 46u);
  EXPECT_STREQ(kUploadTrailer, "\n\n");
}

TEST_F(UploadFormTest, OptionalPartsStandInTheirPlaces) {
  customVersion = "6.1.0-12";
  experimentalBuild = true;
  betaRequested = 1;
  moduleType = 3;
  archFormValue = "1\n";
  std::string expected = part("MAX_FILE_SIZE", "450000000") +
                         kDelim + "Content-Disposition: form-data; name=\"arch\"\n\n1\n" +
                         part("version", "6.1.0-12") + part("version_major", "3") + part("beta", "1") +
                         part("uname", "2.6.32-431.el6.x86_64") + part("kestrin_client", "1") +
                         part("gen", "4") + part("nd", "1") + part("experimental", "1") + kFileHeader;
  EXPECT_EQ(buildUploadForm(), expected);
}

TEST_F(UploadFormTest, HeaderLinesEndInCrLf) {
  EXPECT_EQ(buildUploadHeader(1975),
            "POST /process.php HTTP/1.1\r\n"
            "Host: build.example.test\r\n"
            "User-Agent: Mozilla/5.0 (Windows; U; Windows NT 5.1; en-US; rv:1.9.0.3) Gecko/2008092417 "
            "Firefox/3.0.3\r\n"
            "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n"
            "Accept-Language: en-us,en;q=0.5\r\n"
            "Accept-Encoding: gzip,deflate\r\n"
            "Accept-Charset: ISO-8859-1,utf-8;q=0.7,*;q=0.7\r\n"
            "Keep-Alive: 300\r\n"
            "Connection: keep-alive\r\n"
            "Content-Type: multipart/form-data; boundary=---------------------------4664151417711\r\n"
            "Content-Length: 1975\r\n"
            "\r\n");
}

TEST_F(UploadFormTest, ContentLengthIsComputedIn64Bits) {
  std::string form = buildUploadForm();
  std::int64_t big = 3LL << 30;
  EXPECT_EQ(uploadContentLength(form, big), big + 975);
}

}  // namespace

// ----- the upload against the fake build service -----

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "installer/transport.h"
#include "tests/harness/build_service.h"
#include "tests/harness/run.h"
#include "tests/harness/sandbox.h"

namespace {

using Clock = std::chrono::steady_clock;

class UploadExchangeTest : public UploadFormTest {
 protected:
  void SetUp() override {
    UploadFormTest::SetUp();
    box_.writeFile("/etc/hosts", "127.0.0.1 localhost\n127.0.0.1 build.example.test\n");
    box_.writeFile("/etc/resolv.conf", "nameserver 127.0.0.53\noptions timeout:1 attempts:1\n");
    unsetenv("http_proxy");
    silentMode = 1;
    tarballPath = "/tmp/pkg/kernel-headers.tar.gz";
  }
  std::string layPackage(std::size_t size) {
    std::string data;
    for (std::size_t i = 0; i < size; ++i) data.push_back(static_cast<char>((i * 2654435761u) >> 13));
    box_.writeFile(tarballPath, data);
    return data;
  }
  std::string expectedRequest(const std::string& package) {
    std::string form = buildUploadForm();
    return buildUploadHeader(static_cast<int>(uploadContentLength(form, package.size()))) + form + package +
           kUploadClosingBoundary + "\n\n";
  }
  harness::Sandbox box_;
};

TEST_F(UploadExchangeTest, RequestByteForByteWithAPackageOfTwoPieces) {
  std::string package = layPackage(8192);
  harness::BuildServiceRoutes routes;
  routes.on("/process.php", {harness::replyRedirect("/status.php?r=9"), true});
  harness::FakeBuildService service(routes);
  ReplyReader reply;
  int count = uploadKernelHeaders(&reply);
  EXPECT_EQ(count, static_cast<int>(harness::replyRedirect("/status.php?r=9").size()));
  EXPECT_EQ(reply.status(), 302);
  EXPECT_EQ(reply.headerBlock() + "\r\n\r\n", harness::replyRedirect("/status.php?r=9"));
  ASSERT_EQ(service.requests(1).size(), 1u);
  const std::string got = service.requests()[0];
  EXPECT_EQ(got, expectedRequest(package));
  EXPECT_NE(got.find("Content-Length: " + std::to_string(8192 + 975) + "\r\n"), std::string::npos);
  std::size_t body = got.find("\r\n\r\n") + 4;
  EXPECT_EQ(got.size() - body, 8192u + 975 + 2);
  EXPECT_EQ(service.clientCertificates(1), std::vector<bool>{true});
  EXPECT_EQ(harness::tmpListing(), "pkg\n");  // no key file left
}

TEST_F(UploadExchangeTest, CustomVersionAndExperimentalParts) {
  customVersion = "6.2.1-7";
  experimentalBuild = true;
  std::string package = layPackage(100);
  harness::BuildServiceRoutes routes;
  routes.on("/process.php", {harness::replyOk("queued"), true});
  harness::FakeBuildService service(routes);
  ReplyReader reply;
  uploadKernelHeaders(&reply);
  ASSERT_EQ(service.requests(1).size(), 1u);
  const std::string got = service.requests()[0];
  EXPECT_EQ(got, expectedRequest(package));
  std::size_t arch = got.find("name=\"arch\"");
  std::size_t version = got.find("name=\"version\"");
  std::size_t major = got.find("name=\"version_major\"");
  std::size_t nd = got.find("name=\"nd\"");
  std::size_t experimental = got.find("name=\"experimental\"");
  std::size_t file = got.find("name=\"userfile\"");
  EXPECT_TRUE(arch < version && version < major && nd < experimental && experimental < file);
}

// A reply without a length of its own lasts until the close; one that comes
// without a close notification still counts.
TEST_F(UploadExchangeTest, PrematureCloseStillGivesTheReplyAndProgressLinesUnlessSilent) {
  layPackage(5000);
  silentMode = 0;
  const std::string unframed = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\nqueued";
  harness::BuildServiceRoutes routes;
  routes.on("/process.php", {unframed, false});
  harness::FakeBuildService service(routes);
  ReplyReader reply;
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  uploadKernelHeaders(&reply);
  std::string err = testing::internal::GetCapturedStderr();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(reply.headerBlock(), "HTTP/1.1 200 OK\r\nContent-Type: text/html");
  EXPECT_EQ(reply.body(), "queued");
  EXPECT_EQ(reply.bodyState(), ReplyReader::BodyState::Whole);
  EXPECT_EQ(err, "SSL Error: Premature close\n");
  EXPECT_EQ(out, "Starting module build...\n");  // output to a file: no meter
}

// The upload ends as soon as its reply is complete by its framing, whatever
// the service then does with the connection: keep it open for a next
// request (as a web server with keep-alive does, here until its own time-out
// long after the deadline), or drop it without a close notification. The
// reply is read as it came, in pieces too, up to its end.
TEST_F(UploadExchangeTest, ReplyEndsByItsFramingWhileTheServiceKeepsTheConnection) {
  constexpr int kHoldMs = 10000;
  std::string package = layPackage(5000);
  const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  const struct {
    const char* name;
    std::string bytes;
    std::vector<std::string> later;
    bool close;
    std::string body;       // the reply's body as read
    std::size_t kept = 0;   // the reply's bytes, when not all the bytes sent
  } cases[] = {
      {"content length, kept open", harness::replyOk("queued"), {}, false, "queued"},
      // Bytes past the length are not the reply's, whichever record they come in.
      {"body longer than its length, in one write", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabcdef", {}, false,
       "abc", 41},
      {"body longer than its length, in two writes", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nab", {"cdef"},
       false, "abc", 41},
      {"content length in pieces, kept open", "HTTP/1.1 302 Found\r\nLocation: /status.php?r=9\r\nContent-",
       {"Length: 12\r\n\r\nredirec", "ted.\n"}, false, "redirected.\n"},
      {"chunked, kept open", chunked + "7\r\nqueued\n\r\n", {"0\r\n\r\n"}, false, "queued\n"},
      {"content length, closed without a close notification", harness::replyOk("queued"), {}, true, "queued"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    harness::ServerOptions options;
    options.port = 443;
    options.complete = harness::untilHttpRequest(2);
    options.readTimeoutMs = kHoldMs;
    harness::Reply answer;
    answer.bytes = c.bytes;
    answer.later = c.later;
    answer.pauseMs = 100;
    answer.close = c.close;
    answer.closeNotify = !c.close;
    harness::TlsServer service([answer](const std::string&, int) { return answer; }, harness::TlsOptions{}, options);
    std::string whole = c.bytes;
    for (const std::string& piece : c.later) whole += piece;
    if (c.kept != 0) whole.resize(c.kept);
    ReplyReader reply;
    testing::internal::CaptureStderr();
    auto start = Clock::now();
    int count = uploadKernelHeaders(&reply);
    auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_LT(tookMs, kHoldMs / 2) << "the upload waited for the service's close";
    EXPECT_EQ(count, static_cast<int>(whole.size()));
    EXPECT_TRUE(reply.complete());
    EXPECT_EQ(reply.headerBlock(), whole.substr(0, whole.find("\r\n\r\n")));
    EXPECT_EQ(reply.body(), c.body);
    ASSERT_TRUE(service.waitForExchanges(1, kHoldMs));
    EXPECT_EQ(service.exchanges()[0].request, expectedRequest(package));
  }
}

// The tool's socket options that decide whether a small last part of the
// request waits: TCP_NODELAY (Nagle's algorithm off) and TCP_CORK (partial
// segments held back, some 200 ms at most). -1: not seen.
struct SendOptions {
  int noDelay = -1;
  int cork = -1;
};

// What the service saw of one upload: when it had received how much, the
// size of each TLS read (one record each), and the tool's send options once
// the service had a given part of the request, and once it had all of it
// (the tool then waits for the reply on the same socket).
struct Arrivals {
  std::mutex mutex;
  std::vector<std::pair<Clock::time_point, std::size_t>> reads;  // time, bytes so far
  std::vector<std::size_t> records;
  std::string request;
  SendOptions halfway;
  SendOptions atEnd;

  // Milliseconds from the first moment the service had `first` bytes (0: the
  // end of the handshake) to the moment it had them all.
  double msFrom(std::size_t first) {
    std::lock_guard<std::mutex> lock(mutex);
    Clock::time_point from{}, all{};
    bool seenFrom = false, seenAll = false;
    for (const auto& [when, got] : reads) {
      if (!seenFrom && got >= first) from = when, seenFrom = true;
      if (!seenAll && got >= request.size()) all = when, seenAll = true;
    }
    if (!seenFrom || !seenAll) return 1e9;
    return std::chrono::duration<double, std::milli>(all - from).count();
  }
};

// The send options of this process's connection to port 443 (the tool's,
// as the upload runs in this process); -1 each when there is none.
SendOptions toolSocketOptions() {
  SendOptions options;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return options;
  while (dirent* entry = readdir(dir)) {
    int fd = std::atoi(entry->d_name);
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (entry->d_name[0] == '.' || getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
        peer.sin_family != AF_INET || ntohs(peer.sin_port) != 443)
      continue;
    int noDelay = 0, cork = 0;
    socklen_t noDelayLength = sizeof noDelay, corkLength = sizeof cork;
    if (getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &noDelayLength) == 0) options.noDelay = noDelay != 0;
    if (getsockopt(fd, IPPROTO_TCP, TCP_CORK, &cork, &corkLength) == 0) options.cork = cork != 0;
  }
  closedir(dir);
  return options;
}

// One upload of the laid package to a service that notes each read, and
// reads the tool's send options once it has `halfway` bytes (at least one:
// the tool sets them after the handshake, before its first write) and once
// it has the whole request.
std::shared_ptr<Arrivals> watchedUpload(std::size_t halfway) {
  auto arrivals = std::make_shared<Arrivals>();
  harness::ServerOptions options;
  options.port = 443;
  options.readTimeoutMs = 60000;
  harness::RequestComplete whole = harness::untilHttpRequest(2);
  options.complete = [arrivals, whole, halfway](const std::string& got) {
    std::lock_guard<std::mutex> lock(arrivals->mutex);
    std::size_t last = arrivals->reads.empty() ? 0 : arrivals->reads.back().second;
    if (got.size() > last) arrivals->records.push_back(got.size() - last);
    arrivals->reads.emplace_back(Clock::now(), got.size());
    if (arrivals->halfway.noDelay < 0 && got.size() >= halfway) arrivals->halfway = toolSocketOptions();
    bool done = whole(got);
    if (done) arrivals->atEnd = toolSocketOptions();
    return done;
  };
  harness::TlsServer service([](const std::string&, int) { return harness::Reply{harness::replyOk("queued")}; },
                             harness::TlsOptions{}, options);
  ReplyReader reply;
  uploadKernelHeaders(&reply);
  EXPECT_EQ(reply.body(), "queued");
  EXPECT_TRUE(service.waitForExchanges(1));
  if (!service.exchanges().empty()) arrivals->request = service.exchanges()[0].request;
  return arrivals;
}

// The records an upload makes, one per SSL_write: header, form text, the
// package's pieces of 4096 bytes, closing boundary, the two uncounted bytes.
std::vector<std::size_t> expectedRecords(const std::string& request, std::size_t packageSize) {
  std::vector<std::size_t> records{request.find("\r\n\r\n") + 4, buildUploadForm().size()};
  for (std::size_t at = 0; at < packageSize; at += 4096) records.push_back(std::min<std::size_t>(4096, packageSize - at));
  records.push_back(46);
  records.push_back(2);
  return records;
}

// Nothing of the request waits for the service's acknowledgement of what
// went before. With Nagle's algorithm on, a small segment waited while an
// earlier small one was unacknowledged, and the service may delay its
// acknowledgement some 40 ms: a good part of the uploads of a small package
// took that long from the handshake to the end of the request, the others
// well under a millisecond (hence many runs, each counted: a median over a
// few hides the slow ones). Without Nagle's algorithm the request arrives
// whole at once. The options on the tool's socket show the cause in every
// run; the time is the evidence, and a busy machine may slow a few runs
// (up to a fifth of them) without a held-back segment.
TEST_F(UploadExchangeTest, NoPartOfTheRequestWaitsForAnAcknowledgement) {
  std::string package = layPackage(5000);
  constexpr int kRuns = 15;
  constexpr double kStalledMs = 30;
  int stalled = 0;
  std::string shown;
  for (int run = 0; run < kRuns; ++run) {
    std::shared_ptr<Arrivals> arrivals = watchedUpload(1);  // once the request has begun
    EXPECT_EQ(arrivals->request, expectedRequest(package));
    EXPECT_EQ(arrivals->records, expectedRecords(arrivals->request, package.size()));
    EXPECT_EQ(arrivals->halfway.noDelay, 1) << "run " << run;
    EXPECT_EQ(arrivals->halfway.cork, 0) << "run " << run;
    EXPECT_EQ(arrivals->atEnd.noDelay, 1) << "run " << run;
    EXPECT_EQ(arrivals->atEnd.cork, 0) << "run " << run;
    double ms = arrivals->msFrom(0);
    if (ms >= kStalledMs) ++stalled;
    shown += " " + std::to_string(ms);
  }
  EXPECT_LE(stalled, kRuns / 5) << "milliseconds from the handshake to the end of each request:" << shown;
}

// A package of many write buffers: the same bytes, still one record per
// piece of at most 4096 bytes, sent without Nagle's algorithm, and nothing
// held back at the end. A long stream is acknowledged as it comes, so neither
// Nagle's algorithm nor a cork costs much time here, and only the options
// read on the tool's socket show them: halfway, and once the whole request is
// in. A socket left corked would keep the request's last part, less than a
// segment, some 200 ms before sending it all the same; the time bound, with
// room for a busy machine, catches a hold of that kind whatever its cause.
TEST_F(UploadExchangeTest, LargePackageKeepsItsBytesAndRecordsAndNothingWaits) {
  std::string package = layPackage(8 * 1024 * 1024 + 1000);
  std::shared_ptr<Arrivals> arrivals = watchedUpload(package.size() / 2);
  EXPECT_EQ(arrivals->request, expectedRequest(package));
  EXPECT_EQ(arrivals->records, expectedRecords(arrivals->request, package.size()));
  EXPECT_EQ(arrivals->halfway.noDelay, 1);
  EXPECT_EQ(arrivals->halfway.cork, 0);
  EXPECT_EQ(arrivals->atEnd.noDelay, 1);
  EXPECT_EQ(arrivals->atEnd.cork, 0);
  EXPECT_LT(arrivals->msFrom(arrivals->request.size() - 256 * 1024), 150.0)
      << "milliseconds from the first of the last 256 KiB to the end of the request";
}

// No service listens: these copies of the process are forked, and a fork
// taken while a server thread runs may hang on a lock that thread held. An
// upload that got as far as connecting would end with another message.
TEST_F(UploadExchangeTest, PackageRefusals) {
  ReplyReader reply;
  EXPECT_EXIT(uploadKernelHeaders(&reply), ::testing::ExitedWithCode(0), "^Could not find tarball\n$");
  box_.writeFile(tarballPath, "");
  EXPECT_EXIT(uploadKernelHeaders(&reply), ::testing::ExitedWithCode(0), "^tarball is 0 bytes\n$");
  box_.writeFile(tarballPath, "x");
  archFormValue.clear();
  EXPECT_EXIT(uploadKernelHeaders(&reply), ::testing::ExitedWithCode(0), "^arch required\n$");
  archFormValue = "2\n";
  // Too large for the 32-bit Content-Length: refused before anything is sent.
  int fd = open(tarballPath.c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 2147483647LL - 975 + 1), 0);
  close(fd);
  EXPECT_EXIT(uploadKernelHeaders(&reply), ::testing::ExitedWithCode(0), "^tarball is too large to upload\n$");
  EXPECT_EQ(harness::tmpListing(), "pkg\n");
}

TEST_F(UploadExchangeTest, NoServiceIsFatal) {
  layPackage(10);
  ReplyReader reply;
  EXPECT_EXIT(
      {
        if (!std::freopen("/dev/null", "w", stdout)) std::exit(9);  // the connect message
        uploadKernelHeaders(&reply);
      },
      ::testing::ExitedWithCode(0), "^SSL connect error\n");
  EXPECT_EQ(harness::tmpListing(), "pkg\n");  // the key file went with the fatal exit
}

}  // namespace
