// Reply parsing, status markers, the spinner and the module install.
#include "installer/replies.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "installer/state.h"
#include "installer/transport.h"
#include "tests/harness/coding.h"
#include "tests/harness/sandbox.h"

namespace {

// The process's creation mask, read without changing it.
mode_t currentMask() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(std::stoul(line.substr(6), nullptr, 8));
  ADD_FAILURE() << "no Umask line in /proc/self/status";
  return 0;
}

using harness::readFile;

std::size_t countEntries(const std::string& dir) {
  std::size_t n = 0;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") ++n;
    closedir(d);
  }
  return n;
}

class RepliesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/replies-test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    root_ = dir;
    destDir = root_ + "/dest";
    silentMode = 1;
    spinnerState = 0;
    attachmentSaved = 0;
  }
  void TearDown() override { std::system(("rm -rf '" + root_ + "'").c_str()); }
  std::string root_;
};

// A reply's bytes read once, as one connection brought them.
ReplyReader readReply(const std::string& bytes) {
  ReplyReader reader(serviceReplyOptions());
  reader.feed(bytes.data(), bytes.size());
  reader.finish();
  return reader;
}

// The parser's checks on a reply of those bytes.
ReplyParse examineHttpReply(const std::string& bytes) {
  ReplyReader reader = readReply(bytes);
  return examineReply(reader);
}

// The module writer on the reply of that header block and body.
int store(const std::string& header, const std::string& body, const char** fault) {
  return storeAttachedModule(readReply(header + "\r\n\r\n" + body), fault);
}

const std::string kAttachHeader =
    "HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=mod.ko\r\n"
    "Content-Length: 5\r\nX: y";

struct StatusCase {
  const char* name;
  std::string reply;
  int status;
  const char* text;  // nullptr: nothing returned
};

TEST_F(RepliesTest, StatusLinesAndReturnedTexts) {
  const StatusCase cases[] = {
      {"redirect", "HTTP/1.1 302 Found\r\nLocation: /next.php?r=1\r\nX: 1\r\n\r\nbody", 302,
       "/next.php?r=1"},
      {"redirect value kept unchanged", "HTTP/1.1 302 Found\r\nLocation:  a b \r\nX: 1\r\n\r\n", 302, " a b "},
      {"header name found mid-line", "HTTP/1.1 302 Found\r\nX-Location: /x\r\nX: 1\r\n\r\n", 302, "/x"},
      {"page body", "HTTP/1.1 200 OK\r\nA: b\r\n\r\n<html>page</html>", 200, "<html>page</html>"},
      {"empty body", "HTTP/1.1 200 OK\r\nA: b\r\n\r\n", 200, ""},
      {"body with zero byte", std::string("HTTP/1.1 200 OK\r\nA: b\r\n\r\nx\0y", 28), 200, nullptr},
      {"bad request", "HTTP/1.1 400 Bad Request\r\nA: b\r\n\r\n", 400, nullptr},
      {"not found", "HTTP/1.1 404 Not Found\r\nA: b\r\n\r\n", 404, nullptr},
      {"moved permanently", "HTTP/1.1 301 Moved Permanently\r\nA: b\r\n\r\n", 0, nullptr},
      {"server error", "HTTP/1.1 500 Internal Server Error\r\nA: b\r\n\r\n", 0, nullptr},
      {"status line alone", "HTTP/1.1 200 OK\r\n\r\nbody", 0, nullptr},
      {"lower-case status text", "HTTP/1.1 200 ok\r\nA: b\r\n\r\n", 0, nullptr},
  };
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(c.name);
    ReplyParse r = examineHttpReply(c.reply);
    EXPECT_EQ(r.fault, nullptr);
    EXPECT_EQ(r.status, c.status);
    if (std::string(c.name) == "body with zero byte") {
      ASSERT_TRUE(r.text);
      EXPECT_EQ(*r.text, std::string("x\0y", 3));
    } else if (c.text) {
      ASSERT_TRUE(r.text);
      EXPECT_EQ(*r.text, c.text);
    } else {
      EXPECT_FALSE(r.text);
    }
  }
}

TEST_F(RepliesTest, MalformedRepliesAreFatalTexts) {
  const std::pair<std::string, const char*> cases[] = {
      {"HTTP/1.1 200 OK\r\nno separator", "Header was null"},
      {"", "Header was null"},
      {"HTTP/1.0 200 OK\r\nA: b\r\n\r\n", "Invalid header returned from server"},
      {"http/1.1 200 OK\r\nA: b\r\n\r\n", "Invalid header returned from server"},
      {"HTTP/1.1 302 Found\r\nA: b\r\n\r\n", "No location specified in headers"},
      {"HTTP/1.1 302 Found\r\nLocation: /last\r\n\r\n", "Location header malformed"},
      {"HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=a\r\n\r\nx",
       "malformed header in attachment"},
      {"HTTP/1.1 200 OK\r\nContent-Disposition: attachment; name=a\r\nX: 1\r\n\r\nx",
       "unexpected filename"},
      {"HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=a\r\nX: 1\r\n\r\nx",
       "no size specified in headers"},
      // A header that frames the reply in no one way, whatever the status.
      {"HTTP/1.1 302 Found\r\nLocation: /x\r\nContent-Length: 0\r\nContent-Length: 1\r\n\r\nx",
       "incorrect size specified in headers"},
      {"HTTP/1.1 404 Not Found\r\nContent-Length: 1 1\r\n\r\nx", "incorrect size specified in headers"},
      {"HTTP/1.1 200 OK\r\nX-Note : y\r\nContent-Length: 4\r\n\r\npage", "Invalid header returned from server"},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 4\r\nContent-Length: 5\r\n\r\npage",
       "incorrect size specified in headers"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    EXPECT_STREQ(examineHttpReply(c.first).fault, c.second);
  }
  EXPECT_EQ(countEntries(root_), 0u);
}

TEST_F(RepliesTest, ParseHttpReplyEndsTheProcessWithStatusZero) {
  OptText text;
  ReplyReader http10 = readReply("HTTP/1.0 200 OK\r\nA: b\r\n\r\n");
  EXPECT_EXIT(parseHttpReply(http10, &text, 0), ::testing::ExitedWithCode(0),
              "^Invalid header returned from server\n$");
  ReplyReader garbage = readReply("garbage");
  EXPECT_EXIT(parseHttpReply(garbage, &text, 7), ::testing::ExitedWithCode(0), "^Header was null\n$");
}

TEST_F(RepliesTest, ParseHttpReplyKeepsThePlaceForUnreturnedStatuses) {
  OptText text = std::string("previous");
  ReplyReader reply = readReply("HTTP/1.1 404 Not Found\r\nA: b\r\n\r\n");
  EXPECT_EQ(parseHttpReply(reply, &text, 0), 404);
  EXPECT_EQ(*text, "previous");
}

TEST_F(RepliesTest, SizesThatAreRefused) {
  for (const char* size : {"0", "-5", "abc", "", "  -1"}) {
    SCOPED_TRACE(size);
    std::string header = std::string("HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=m\r\n") +
                         "Content-Length: " + size + "\r\nX: 1";
    const char* fault = nullptr;
    EXPECT_EQ(store(header, "data", &fault), 0);
    EXPECT_STREQ(fault, "incorrect size specified in headers");
  }
  EXPECT_EQ(countEntries(root_), 0u);
}

TEST_F(RepliesTest, UnsafeFileNamesAreRefusedAndNothingIsWritten) {
  const char* names[] = {"", ".", "..", "../evil.ko", "/etc/passwd", "a/b", "a\tb", "mod\x7f",
                         "mod.ko\x1b[2J"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    std::string header = std::string("HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=") +
                         name + "\r\nContent-Length: 4\r\nX: 1";
    const char* fault = nullptr;
    EXPECT_EQ(store(header, "data", &fault), 0);
    EXPECT_STREQ(fault, "refusing unsafe file name in attachment");
  }
  EXPECT_EQ(countEntries(root_), 0u);
  EXPECT_FALSE(isSafeModuleName(".."));
  EXPECT_TRUE(isSafeModuleName("\"zeltdriver-kestrin.ko\"; size=3"));
}

TEST_F(RepliesTest, ShortBodyIsRefusedBeforeTheDestinationIsTouched) {
  std::string header = "HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=m.ko\r\n"
                       "Content-Length: 10\r\nX: 1";
  const char* fault = nullptr;
  EXPECT_EQ(store(header, "123456789", &fault), 0);
  EXPECT_STREQ(fault, "module data shorter than the size specified in headers");
  EXPECT_EQ(countEntries(root_), 0u);  // destDir not even created
  EXPECT_EQ(spinnerState, 0);
}

TEST_F(RepliesTest, AttachmentIsInstalledByLengthAndTheHeaderReturned) {
  std::string body("ab\0de-rest", 10);
  ReplyParse r = examineHttpReply(kAttachHeader + "\r\n\r\n" + body);
  EXPECT_EQ(r.fault, nullptr);
  EXPECT_EQ(r.status, 200);
  ASSERT_TRUE(r.text);
  EXPECT_EQ(*r.text, kAttachHeader);
  EXPECT_EQ(attachmentSaved, 1);
  EXPECT_EQ(spinnerState, 1);  // silent: "Complete." not shown, so it stays 1
  EXPECT_EQ(readFile(destDir + "/mod.ko"), std::string("ab\0de", 5));
  EXPECT_EQ(countEntries(destDir), 1u);  // no temporary file left
  // The directory is made 0755 less the creation mask, whatever the run's
  // mask is.
  mode_t mask = currentMask();
  struct stat st {};
  ASSERT_EQ(stat(destDir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u & ~mask) << "umask " << std::oct << mask;
}

// The module is the reply's whole body as its framing delimits it and its
// coding decodes it; the size is the reader's Content-Length.
TEST_F(RepliesTest, ModuleIsTheWholeDecodedBody) {
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=mod.ko\r\n";
  const struct {
    const char* name;
    std::string reply;
    const char* fault;  // nullptr: installed as "MODULE-BYTES"
  } cases[] = {
      {"chunked wins over a length that differs",
       head + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n6\r\nMODULE\r\n6\r\n-BYTES\r\n0\r\n\r\n",
       nullptr},
      {"a folded line is no length", head + "X: a\r\n Content-Length: 3\r\nContent-Length: 12\r\n\r\nMODULE-BYTES",
       nullptr},
      {"the header's name in another case", head + "content-length: 12\r\n\r\nMODULE-BYTES", nullptr},
      // One framing or none: a length that is not digits alone, or two
      // that differ, leave the reply without one; the writer reads no
      // length of its own.
      {"a length with a sign, body exact", head + "Content-Length: +12\r\n\r\nMODULE-BYTES",
       "incorrect size specified in headers"},
      {"a length with text after it, body exact", head + "Content-Length: 12abc\r\n\r\nMODULE-BYTES",
       "incorrect size specified in headers"},
      {"a length and then a second number", head + "Content-Length: 12 0\r\n\r\nMODULE-BYTES",
       "incorrect size specified in headers"},
      {"lengths that differ, the shorter first",
       head + "Content-Length: 5\r\nContent-Length: 12\r\n\r\nMODULE-BYTES", "incorrect size specified in headers"},
      {"lengths that differ, the longer first",
       head + "Content-Length: 12\r\nContent-Length: 5\r\n\r\nMODULE-BYTES", "incorrect size specified in headers"},
      {"the same length twice", head + "Content-Length: 12\r\nContent-Length: 12\r\n\r\nMODULE-BYTES", nullptr},
      {"lengths that differ beside chunks",
       head + "Content-Length: 5\r\nContent-Length: 12\r\nTransfer-Encoding: chunked\r\n\r\n"
              "6\r\nMODULE\r\n6\r\n-BYTES\r\n0\r\n\r\n",
       "incorrect size specified in headers"},
      {"a blank before a name's colon",
       head + "Content-Length: 15\r\nTransfer-Encoding : chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
       "Invalid header returned from server"},
      {"a body read to the close, longer than its length",
       head + "Transfer-Encoding: identity\r\nContent-Length: 5\r\n\r\nMODULE-BYTES",
       "module data longer than the size specified in headers"},
      {"chunked without its last chunk",
       head + "Content-Length: 12\r\nTransfer-Encoding: chunked\r\n\r\n6\r\nMODULE\r\n",
       "Incomplete body returned from server"},
      {"a coding not known", head + "Content-Encoding: br\r\nContent-Length: 12\r\n\r\nMODULE-BYTES",
       "Invalid body returned from server"},
      // Whatever length is given, chunks or a coding that bring no data bring no module.
      {"chunked without data", head + "Content-Length: 12\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       "module data shorter than the size specified in headers"},
      {"gzip of nothing",
       head + "Content-Encoding: gzip\r\nContent-Length: " + std::to_string(harness::gzipped("").size()) +
           "\r\n\r\n" + harness::gzipped(""),
       "module data shorter than the size specified in headers"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::system(("rm -rf '" + destDir + "'").c_str());
    attachmentSaved = 0;
    ReplyParse r = examineHttpReply(c.reply);
    if (c.fault == nullptr) {
      EXPECT_EQ(r.fault, nullptr);
      EXPECT_EQ(attachmentSaved, 1);
      EXPECT_EQ(readFile(destDir + "/mod.ko"), "MODULE-BYTES");
    } else {
      EXPECT_STREQ(r.fault, c.fault);
      EXPECT_EQ(countEntries(root_), 0u);
    }
  }
}

// A page is returned only whole and decoded; the parser reads the final
// reply after interim ones.
TEST_F(RepliesTest, PagesAreReturnedOnlyWholeAndDecoded) {
  const struct {
    const char* name;
    std::string reply;
    int status;
    const char* text;
    const char* fault;
  } cases[] = {
      {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4;a=b\r\npage\r\n0\r\nT: 1\r\n\r\n", 200,
       "page", nullptr},
      {"interim first", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 302 Found\r\nLocation: /next\r\nX: 1\r\n\r\n", 302,
       "/next", nullptr},
      {"cut short", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\npage", 200, nullptr,
       "Incomplete body returned from server"},
      {"corrupt gzip", "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\npage", 200, nullptr,
       "Invalid body returned from server"},
      {"interim alone", "HTTP/1.1 100 Continue\r\n\r\n", 0, nullptr, "Header was null"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ReplyParse r = examineHttpReply(c.reply);
    EXPECT_EQ(r.status, c.status);
    EXPECT_STREQ(r.fault, c.fault);
    if (c.text) {
      ASSERT_TRUE(r.text);
      EXPECT_EQ(*r.text, c.text);
    }
  }
}

TEST_F(RepliesTest, QuotesAndFurtherParametersStayInTheName) {
  std::string header = "HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=\"m.ko\"; x=1\r\n"
                       "Content-Length: 2\r\nX: 1";
  const char* fault = nullptr;
  EXPECT_EQ(store(header, "ok", &fault), 1);
  EXPECT_EQ(fault, nullptr);
  EXPECT_EQ(readFile(destDir + "/\"m.ko\"; x=1"), "ok");
}

TEST_F(RepliesTest, ExistingModuleIsReplacedWholeKeepingItsMode) {
  ASSERT_EQ(mkdir(destDir.c_str(), 0755), 0);
  std::string path = destDir + "/mod.ko";
  { std::ofstream(path) << "old module contents, longer than the new one"; }
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  const char* fault = nullptr;
  EXPECT_EQ(store(kAttachHeader, "NEW..", &fault), 1);
  EXPECT_EQ(readFile(path), "NEW..");
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(RepliesTest, FailedInstallLeavesTheOldModuleAndNoTemporaryFile) {
  ASSERT_EQ(mkdir(destDir.c_str(), 0755), 0);
  std::string path = destDir + "/mod.ko";
  // A directory in the module's place: it can't be opened as the module.
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  { std::ofstream(path + "/keep") << "x"; }
  const char* fault = nullptr;
  EXPECT_EQ(store(kAttachHeader, "12345", &fault), 0);
  EXPECT_STREQ(fault, "unable to open destination file");
  EXPECT_EQ(countEntries(destDir), 1u);
  EXPECT_EQ(readFile(path + "/keep"), "x");
}

TEST_F(RepliesTest, UnwritableDestinationIsFatalWithoutTheInstalledNotice) {
  destDir = root_ + "/missing/deeper";  // only the last component is created
  silentMode = 0;
  EXPECT_EXIT(
      {
        saveAttachedModule(readReply(kAttachHeader + "\r\n\r\n12345"));
        std::exit(3);
      },
      ::testing::ExitedWithCode(0), "^unable to open destination file\n$");
  testing::internal::CaptureStdout();
  const char* fault = nullptr;
  store(kAttachHeader, "12345", &fault);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("Kernel module is now installed."), std::string::npos);
  EXPECT_NE(out.find("Saving kernel module to '" + destDir + "/mod.ko'"), std::string::npos);
}

TEST_F(RepliesTest, TooLongPathIsRefusedInsteadOfCut) {
  destDir = root_ + "/" + std::string(4090 - root_.size(), 'd');
  std::string header = "HTTP/1.1 200 OK\r\nContent-Disposition: attachment; filename=module-name.ko\r\n"
                       "Content-Length: 1\r\nX: 1";
  const char* fault = nullptr;
  EXPECT_EQ(store(header, "x", &fault), 0);
  EXPECT_STREQ(fault, "unable to open destination file");
  EXPECT_EQ(countEntries(root_), 0u);
}

TEST_F(RepliesTest, InstallMessagesUnlessSilent) {
  silentMode = 0;
  testing::internal::CaptureStdout();
  const char* fault = nullptr;
  ASSERT_EQ(store(kAttachHeader, "12345", &fault), 1);
  std::string out = testing::internal::GetCapturedStdout();
  std::string expected = "\r" + std::string("Complete.") + std::string(31, ' ') +
                         "\nSaving kernel module to '" + destDir + "/mod.ko'\n" +
                         "Kernel module is now installed.\n" +
                         "Use '/etc/init.d/kzp-agent restart' to load the new driver\n";
  EXPECT_EQ(out, expected);
  EXPECT_EQ(spinnerState, 2);
}

TEST(MarkerTest, Values) {
  const char* page =
      "<html>\n<!-- STATUS: Compiling module -->\n<!-- PERCENT: 45 -->\n"
      "<!-- URL: /status.php?r=77\r\n<!-- AVGTIME: 12 -->";
  EXPECT_EQ(extractMarkerValue(page, "<!-- STATUS: "), "Compiling module");
  EXPECT_EQ(extractMarkerValue(page, "<!-- PERCENT: "), "45");
  EXPECT_EQ(extractMarkerValue(page, "<!-- URL: "), "/status.php?r=77");  // no " -->": to the line end
  EXPECT_EQ(extractMarkerValue("<!-- URL: /last", "<!-- URL: "), "/last");
  EXPECT_EQ(extractMarkerValue(page, "<!-- NONE: "), std::nullopt);
  EXPECT_EQ(extractMarkerValue("<!-- STATUS: -->", "<!-- STATUS: "), "");
  EXPECT_EQ(extractMarkerValue("<!-- URL: -->", "<!-- URL: "), "");
  EXPECT_EQ(extractMarkerValue(std::string("a\0<!-- URL: x -->", 17), "<!-- URL: "), std::nullopt);
}

TEST(SpinnerTest, FramesOverTwelveCalls) {
  silentMode = 0;
  spinnerState = 0;
  spinnerTicks = 0;
  statusText = "Waiting";
  std::string visible;
  for (int i = 0; i < 12; ++i) {
    testing::internal::CaptureStdout();
    showSpinner();
    std::string out = testing::internal::GetCapturedStdout();
    std::size_t last = out.rfind('\r');
    ASSERT_NE(last, std::string::npos);
    std::string frame = out.substr(last);
    ASSERT_EQ(frame.size(), 1u + 30 + 1 + 10);
    EXPECT_EQ(frame.substr(0, 31), "\rWaiting" + std::string(23, ' '));
    visible += frame[31];
  }
  EXPECT_EQ(visible, "\\|/-\\|-|\\-/|");
  EXPECT_EQ(spinnerTicks, 12);
}

TEST(SpinnerTest, SilentCountsWithoutDrawing) {
  silentMode = 1;
  spinnerState = 0;
  spinnerTicks = 5;
  testing::internal::CaptureStdout();
  showSpinner();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(spinnerTicks, 6);
  silentMode = 0;
  spinnerState = 2;
  testing::internal::CaptureStdout();
  showSpinner();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

}  // namespace
