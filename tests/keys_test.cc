// The trusted key store in a scratch working directory.
#include "config/keys.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>

#include "config/config.h"
#include "setup/files.h"
#include "setup/settings.h"
#include "tests/harness/sandbox.h"

namespace {

class Keys : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/keys-test.XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    root_ = dir;
    ASSERT_EQ(std::system(("mkdir -p '" + keyDir() + "'").c_str()), 0);
    workDirOverride = root_;
  }
  void TearDown() override { std::system(("rm -rf '" + root_ + "'").c_str()); }

  std::string keyDir() const { return root_ + "/conf/server.allow"; }
  // Standard input of this process becomes `text`.
  void feedStdin(const std::string& text) {
    std::string path = root_ + "/stdin";
    std::ofstream(path, std::ios::binary) << text;
    ASSERT_NE(std::freopen(path.c_str(), "r", stdin), nullptr);
  }

  std::string root_;
};

TEST(KeyLineEnds, CrBeforeLfGoes) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"a\r\nb\r\n", "a\nb\n"}, {"a\r\r\r\nb", "a\nb"}, {"a\rb\n", "a\rb\n"},
      {"\r", "\r"},             {"", ""},               {"x\r\n\r\n", "x\n\n"},
  };
  for (const Case& c : cases) {
    std::string text = c.in;
    normaliseLineEnds(text);
    EXPECT_EQ(text, c.out) << c.in;
  }
}

TEST(KeyNames, SingleFileNamesOnly) {
  // (".tavrik-" and six letters or digits: the file writers' temporary
  // names, which a later run removes)
  for (const char* bad : {"", ".", "..", "a/b", "/etc/passwd", "../x", "x/", ".tavrik-abc123", ".tavrik-ZZZZZZ"})
    EXPECT_FALSE(isValidKeyName(bad)) << bad;
  EXPECT_FALSE(isValidKeyName(nullptr));
  for (const char* good : {"a", ".hidden", "...", "127.0.0.1", "a..b", ".tavrik-abc12", ".tavrik-abc1234",
                           ".tavrik-abc-12", "tavrik-abc123"})
    EXPECT_TRUE(isValidKeyName(good)) << good;
}

TEST_F(Keys, SaveNormalisesAndIsOwnerReadOnly) {
  std::string key = "-----BEGIN PUBLIC KEY-----\r\nAB\rC\r\n";
  EXPECT_EQ(saveKey("mgr", key), 0);
  EXPECT_EQ(harness::readFile(keyDir() + "/mgr"), "-----BEGIN PUBLIC KEY-----\nAB\rC\n");
  struct stat st;
  ASSERT_EQ(::stat((keyDir() + "/mgr").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0400u);
  // Storing again under the same name rewrites it.
  std::string other = "second";
  EXPECT_EQ(saveKey("mgr", other), 0);
  EXPECT_EQ(harness::readFile(keyDir() + "/mgr"), "second");
}

TEST_F(Keys, SaveRefusesNamesOutsideTheDirectory) {
  for (const char* name : {"", ".", "..", "../escaped", "sub/x"}) {
    std::string key = "k";
    testing::internal::CaptureStdout();
    EXPECT_EQ(saveKey(name, key), 1) << name;
    testing::internal::GetCapturedStdout();
  }
  EXPECT_EQ(::access((root_ + "/conf/escaped").c_str(), F_OK), -1);
  EXPECT_EQ(std::system(("test -z \"$(ls -A '" + keyDir() + "')\"").c_str()), 0);
}

TEST_F(Keys, SaveWithoutKeyDirectory) {
  ASSERT_EQ(::rmdir(keyDir().c_str()), 0);
  std::string key = "k";
  testing::internal::CaptureStdout();
  EXPECT_EQ(saveKey("mgr", key), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Failed to open outfile '" + keyDir() + "/mgr':No such file or directory\n");
}

// An empty --dev-test-paths is a directory like any other: the keys are
// under "/conf/server.allow".
TEST_F(Keys, EmptyWorkingDirectoryIsTheRoot) {
  if (::access("/conf", F_OK) == 0) GTEST_SKIP() << "this machine has a /conf";
  workDirOverride = std::string();
  std::string key = "k";
  testing::internal::CaptureStdout();
  EXPECT_EQ(saveKey("mgr", key), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Failed to open outfile '/conf/server.allow/mgr':No such file or directory\n");
}

TEST_F(Keys, StdinSizes) {
  struct Case {
    std::string input;
    bool accepted;
  } cases[] = {
      {"", true},
      {"line one\r\nline two\n", true},
      {std::string(4095, 'k'), true},
      {std::string(4000, 'a') + "\n" + std::string(94, 'b'), true},
      {std::string(4096, 'k'), false},
      {std::string(3000, 'a') + "\n" + std::string(1095, 'b'), false},
      {std::string(9000, 'k'), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input.size());
    feedStdin(c.input);
    testing::internal::CaptureStdout();
    OptText key = readKeyFromStdin();
    std::string out = testing::internal::GetCapturedStdout();
    if (c.accepted) {
      ASSERT_TRUE(key);
      EXPECT_EQ(*key, c.input);
      EXPECT_EQ(out, "");
    } else {
      EXPECT_FALSE(key);
      EXPECT_EQ(out, "Key entered is too large\n");
    }
  }
}

// A NUL ends its piece: the rest of that line is dropped, and the next
// line is read as usual.
TEST_F(Keys, StdinPieceEndsAtANul) {
  feedStdin(std::string("ab\0cd\nef\n", 9) + std::string(1, '\0') + std::string(5000, 'z'));
  OptText key = readKeyFromStdin();
  ASSERT_TRUE(key);
  // The NUL's piece holds 4095 bytes; the 906 after it are a piece of their own.
  EXPECT_EQ(*key, "abef\n" + std::string(906, 'z'));
}

TEST(KeyDigest, Md5OfTheGivenBytes) {
  EXPECT_EQ(keyNameFromDigest("", 0), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(keyNameFromDigest("abcXYZ", 3), "900150983cd24fb0d6963f7d28e17f72");
}

TEST_F(Keys, ListSkipsDotsDanglingLinksAndTemporaryNames) {
  std::ofstream(keyDir() + "/one") << "1";
  std::ofstream(keyDir() + "/.tavrik-a1b2c3") << "left by a killed run";
  std::ofstream(keyDir() + "/.hidden") << "h";
  ASSERT_EQ(::mkdir((keyDir() + "/subdir").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("one", (keyDir() + "/link").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", (keyDir() + "/dangling").c_str()), 0);
  std::vector<std::string> names;
  int count = listKeyFiles(names);
  EXPECT_EQ(count, 4);
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
            (std::set<std::string>{"one", ".hidden", "subdir", "link"}));
  testing::internal::CaptureStdout();
  printKeyList(names, count);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("Installed keys:\n", 0), 0u);
  EXPECT_NE(out.find("\tone\n"), std::string::npos);
  EXPECT_NE(out.find("\t.hidden\n"), std::string::npos);
  EXPECT_EQ(out.substr(out.size() - 18), "\n4 keys installed\n");
  EXPECT_TRUE(names.empty());
}

TEST_F(Keys, ListStopsAt2048) {
  ASSERT_EQ(std::system(("cd '" + keyDir() + "' && seq 1 3000 | xargs touch").c_str()), 0);
  std::vector<std::string> names;
  EXPECT_EQ(listKeyFiles(names), 2048);
  EXPECT_EQ(names.size(), 2048u);
}

TEST_F(Keys, ListEmptyAndMissingDirectory) {
  std::vector<std::string> names;
  EXPECT_EQ(listKeyFiles(names), 0);
  testing::internal::CaptureStdout();
  printKeyList(names, 0);
  ASSERT_EQ(::rmdir(keyDir().c_str()), 0);
  EXPECT_EQ(listKeyFiles(names), 0);
  printKeyList(names, 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Installed keys:\n0 keys installed\n"
            "Failed to open key dir '" + keyDir() + "'.\nInstalled keys:\n0 keys installed\n");
}

TEST_F(Keys, Delete) {
  std::ofstream(keyDir() + "/gone") << "1";
  ASSERT_EQ(::mkdir((keyDir() + "/subdir").c_str(), 0755), 0);
  std::ofstream(root_ + "/conf/outside") << "1";
  testing::internal::CaptureStdout();
  EXPECT_EQ(deleteKey("gone"), 1);
  EXPECT_EQ(deleteKey("gone"), 0);
  EXPECT_EQ(deleteKey("never"), 0);
  EXPECT_EQ(deleteKey("subdir"), 0);
  EXPECT_EQ(deleteKey("../outside"), 0);
  EXPECT_EQ(deleteKey(".."), 0);
  EXPECT_EQ(deleteKey(""), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(::access((keyDir() + "/gone").c_str(), F_OK), -1);
  EXPECT_EQ(::access((keyDir() + "/subdir").c_str(), F_OK), 0);
  EXPECT_EQ(::access((root_ + "/conf/outside").c_str(), F_OK), 0);
}

TEST_F(Keys, SequenceNameAndCache) {
  std::ofstream(keyDir() + "/0") << "";
  std::ofstream(keyDir() + "/1") << "";
  EXPECT_EQ(nextKeySequenceName(), "2");
  EXPECT_EQ(loadKeyCache(), 2);
  EXPECT_EQ(getKeyCount(), 2);
  EXPECT_EQ(getKeyNameLength(0), 1);
  EXPECT_EQ(getKeyNameLength(2), 0);
  char buffer[8] = "zzzzzzz";
  copyKeyName(5, buffer);
  EXPECT_STREQ(buffer, "zzzzzzz");
  copyKeyName(1, buffer);
  EXPECT_TRUE(std::string(buffer) == "0" || std::string(buffer) == "1");
  freeKeyCache();
  EXPECT_EQ(getKeyCount(), 2);
  EXPECT_EQ(getKeyNameLength(0), 0);
  EXPECT_EQ(listKeysStub(), nullptr);
}

}  // namespace
