// File helpers: MD5 hex digest, the owner-read-only writer, the reader of
// regular files only, existence test and the working directory.
#include "setup/files.h"
#include "setup/write_file.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#include "productlib/xml.h"
#include "setup/settings.h"
#include "tests/harness/run.h"
#include "tests/harness/sandbox.h"
#include "tests/harness/tool.h"

namespace {

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/tavrik-files-test.XXXXXX";
    path_ = ::mkdtemp(name);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

using harness::readFile;

using harness::modeOf;

}  // namespace

TEST(Md5Hex, KnownVectors) {
  const struct {
    const char* text;
    const char* digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const auto& c : cases) EXPECT_EQ(md5_hex(c.text, static_cast<int>(std::strlen(c.text))), c.digest) << c.text;
}

TEST(Md5Hex, HashesExactlyLengthBytesIncludingZeros) {
  const char bytes[] = {'a', '\0', 'b'};
  EXPECT_EQ(md5_hex(bytes, 1), "0cc175b9c0f1b6a831c399e269772661");
  std::string digest = md5_hex(bytes, 3);
  EXPECT_EQ(digest.size(), 32u);
  EXPECT_EQ(digest.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(digest, md5_hex("ab", 2));
}

TEST(WriteFile, NewFileIsOwnerReadOnlyUnderAnyUsualUmask) {
  TempDir dir;
  for (mode_t mask : {022, 077, 0}) {
    mode_t old = ::umask(mask);
    std::string path = dir / ("key" + std::to_string(mask));
    EXPECT_EQ(write_file(path.c_str(), "secret"), 0);
    ::umask(old);
    EXPECT_EQ(modeOf(path), 0400u) << "umask " << mask;
    EXPECT_EQ(readFile(path), "secret");
  }
}

TEST(WriteFile, CreationMaskStillApplies) {
  TempDir dir;
  std::string path = dir / "masked";
  mode_t old = ::umask(0477);
  EXPECT_EQ(write_file(path.c_str(), "x"), 0);
  ::umask(old);
  EXPECT_EQ(modeOf(path), 0u);
  EXPECT_EQ(readFile(path), "x");
}

// An existing file is truncated and rewritten like creat does it: it keeps
// its mode, unless the caller forces owner-read-only (the password file).
TEST(WriteFile, ExistingFileIsTruncatedAndKeepsItsModeUnlessForced) {
  TempDir dir;
  for (bool forced : {false, true}) {
    std::string path = dir / (forced ? "adminreset.properties" : "key");
    {
      std::ofstream out(path);
      out << "a much longer old content that must not survive";
    }
    ::chmod(path.c_str(), 0644);
    EXPECT_EQ(write_file(path.c_str(), "new", forced), 0);
    EXPECT_EQ(readFile(path), "new");
    EXPECT_EQ(modeOf(path), forced ? 0400u : 0644u) << path;
    // An owner-read-only file is rewritten again (the tests run as root, as
    // the tool does).
    ::chmod(path.c_str(), 0400);
    if (::geteuid() == 0) {
      EXPECT_EQ(write_file(path.c_str(), "again", forced), 0);
      EXPECT_EQ(readFile(path), "again");
      EXPECT_EQ(modeOf(path), 0400u);
    }
  }
}

TEST(WriteFile, LargeTextIsWrittenWhole) {
  TempDir dir;
  std::string path = dir / "big";
  std::string text(1 << 20, 'k');
  EXPECT_EQ(write_file(path.c_str(), text), 0);
  EXPECT_EQ(readFile(path), text);
}

TEST(WriteFile, OpenFailureIsReported) {
  TempDir dir;
  std::string path = dir / "missing/dir/key";
  testing::internal::CaptureStdout();
  EXPECT_EQ(write_file(path.c_str(), "x"), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Failed to open outfile '" + path + "':No such file or directory\n");
}

// A full file system: the write fails, and the old file is still whole.
TEST(WriteFile, FailedWriteIsReportedNotSuccess) {
  harness::Sandbox box;
  box.makeDirs("/tmp/full");
  ASSERT_EQ(::mount("tmpfs", "/tmp/full", "tmpfs", 0, "size=64k"), 0);
  std::string path = "/tmp/full/key";
  box.writeFile(path, "OLD KEY", 0400);
  harness::shell("dd if=/dev/zero of=/tmp/full/filler bs=1k count=128 2>/dev/null");
  testing::internal::CaptureStdout();
  EXPECT_EQ(write_file(path.c_str(), std::string(100000, 'x')), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Failed to write outfile '" + path + "':No space left on device\n");
  EXPECT_EQ(readFile(path), "OLD KEY");
  EXPECT_EQ(harness::shell("ls -A /tmp/full"), "filler\nkey\n");
}

// As with creat, a link at the path is followed: its target gets the text
// and the link stays a link.
TEST(WriteFile, WritesThroughALinkAndKeepsIt) {
  TempDir dir;
  std::string real = dir / "real", path = dir / "key";
  std::ofstream(real) << "original";
  ASSERT_EQ(::symlink("real", path.c_str()), 0);
  EXPECT_EQ(write_file(path.c_str(), "KEY"), 0);
  EXPECT_EQ(readFile(real), "KEY");
  struct stat st;
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
}

// The trace names the descriptor the file was open on, whether the write
// made the file or found one there: a real one, past the three standard
// ones (open while the trace is printed).
TEST(WriteFile, DebugLines) {
  TempDir dir;
  std::string path = dir / "dbg";
  for (const char* what : {"new file", "existing file"}) {
    SCOPED_TRACE(what);
    debugEnabled = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(write_file(path.c_str(), "abcd"), 0);
    std::string out = testing::internal::GetCapturedStdout();
    debugEnabled = 0;
    ASSERT_EQ(out.rfind("debug: filedes=", 0), 0u) << out;
    EXPECT_GE(std::atoi(out.c_str() + std::strlen("debug: filedes=")), 3) << out;
    EXPECT_NE(out.find("\ndebug: bytes: 4\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\ndebug: File written\n"), std::string::npos) << out;
  }
}

TEST(PathExists, FollowsLinksAndCountsDirectories) {
  TempDir dir;
  std::string file = dir / "f";
  std::ofstream(file) << "x";
  std::string good = dir / "good", dangling = dir / "dangling";
  ASSERT_EQ(::symlink(file.c_str(), good.c_str()), 0);
  ASSERT_EQ(::symlink((dir / "nothing").c_str(), dangling.c_str()), 0);
  EXPECT_EQ(pathExists(file.c_str()), 1);
  EXPECT_EQ(pathExists(good.c_str()), 1);
  EXPECT_EQ(pathExists(dangling.c_str()), 0);
  EXPECT_EQ(fileExists(dangling.c_str()), 0);
  EXPECT_EQ(pathExists((dir / "").c_str()), 1);
  EXPECT_EQ(fileExists((dir / "nothing").c_str()), 0);
}

TEST(ServerWorkingDir, DefaultOrOverrideUnchangedForBothProducts) {
  workDirOverride.reset();
  EXPECT_EQ(getServerWorkingDir(kProductServer), "/usr/sbin/tavrik");
  workDirOverride = "/tmp/work/";
  EXPECT_EQ(getServerWorkingDir(kProductServer), "/tmp/work/");
  EXPECT_EQ(getServerWorkingDir(kProductAgent), "/tmp/work/");
  workDirOverride = "";  // given, though empty: the files hang off "/"
  EXPECT_EQ(getServerWorkingDir(kProductAgent), "");
  workDirOverride.reset();
}

// The readers that take only regular files never open anything else: a
// device (opening some rewinds a tape or arms a watchdog), a FIFO, a link to
// a device. An inotify watch on each sees any open; a last open of our own
// shows that the watch would have seen one.
TEST(OpenRegularFile, WhatIsNotARegularFileIsNeverOpened) {
  harness::Sandbox box;
  box.makeCharDevice("/tmp/kinds/device", 1, 3);
  box.makeFifo("/tmp/kinds/fifo");
  box.makeSymlink("/tmp/kinds/device", "/tmp/kinds/link");
  struct Reader {
    const char* name;
    bool tellsWhy;  // errno gives EINVAL
    std::function<bool(const std::string&)> opens;
  };
  const Reader readers[] = {
      {"openRegularFd", true, [](const std::string& p) { return static_cast<bool>(openRegularFd(p)); }},
      {"openRegularFile", true, [](const std::string& p) { return openRegularFile(p) != nullptr; }},
      {"loadXmlFile", false, [](const std::string& p) {
         TiXmlDocument document;
         return loadXmlFile(document, p.c_str());
       }},
  };
  for (const Reader& reader : readers) {
    for (const char* name : {"device", "fifo", "link"}) {
      SCOPED_TRACE(std::string(reader.name) + " " + name);
      const std::string path = std::string("/tmp/kinds/") + name;
      UniqueFd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
      ASSERT_TRUE(watch);
      ASSERT_GE(::inotify_add_watch(watch.get(), path.c_str(), IN_OPEN), 0);
      errno = 0;
      EXPECT_FALSE(reader.opens(path));
      if (reader.tellsWhy) {
        EXPECT_EQ(EINVAL, errno);
      }
      char events[4096];
      EXPECT_EQ(-1, ::read(watch.get(), events, sizeof events)) << "opened";
      UniqueFd ours(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
      ASSERT_TRUE(ours);
      EXPECT_GT(::read(watch.get(), events, sizeof events), 0) << "the watch sees no open";
    }
  }
}

TEST(ReturnZero, DoesNothing) { EXPECT_EQ(returnZero("x", nullptr), 0); }
