#include "productlib/whole_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "productlib/byte_order.h"
#include "setup/files.h"
#include "setup/write_file.h"
#include "setup/unique_fd.h"
#include "tests/productlib/capture.h"
#include "tests/productlib/scratch_dir.h"

namespace {
class Files : public ScratchDirTest {
 protected:
  Files() : ScratchDirTest("plib-files") {}
  std::string make(const std::string& name, const std::string& text) {
    std::string p = dir_ + "/" + name;
    EXPECT_EQ(write_file(p.c_str(), text), 0);
    return p;
  }
};

std::string hexOf(const unsigned char* digest) {
  char text[33] = "";
  digest_to_hex(digest, text);
  return text;
}
}  // namespace

TEST_F(Files, ReadWholeFileGivesExactlyTheBytes) {
  std::string text("binary\0bytes\n", 13);
  std::string p = make("data", text);
  char* buffer = nullptr;
  int length = -1;
  ASSERT_EQ(read_whole_file(p.c_str(), &buffer, &length), 0);
  EXPECT_EQ(length, 13);
  EXPECT_EQ(std::string(buffer, 13), text);
  std::free(buffer);

  std::string empty = make("empty", "");
  buffer = nullptr;
  length = -1;
  ASSERT_EQ(read_whole_file(empty.c_str(), &buffer, &length), 0);
  EXPECT_EQ(length, 0);
  EXPECT_NE(buffer, nullptr);
  std::free(buffer);
}

TEST_F(Files, ReadWholeFileRefusals) {
  char* buffer = nullptr;
  int length = 42;
  std::string missing = dir_ + "/missing";
  std::string out = captureStdout([&] {
    EXPECT_EQ(read_whole_file(missing.c_str(), &buffer, &length), 1);
    EXPECT_EQ(read_whole_file(dir_.c_str(), &buffer, &length), 1);
  });
  EXPECT_EQ(out, missing + " not found\n" + dir_ + " is not a regular file\n");
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(length, 42);

  // A sparse file past the signed 32-bit count is refused before any allocation.
  std::string huge = dir_ + "/huge";
  {
    UniqueFd fd(open(huge.c_str(), O_CREAT | O_WRONLY, 0600));
    ASSERT_TRUE(fd);
    ASSERT_EQ(ftruncate(fd.get(), (off_t{1} << 31) + 5), 0);
  }
  out = captureStdout([&] { EXPECT_EQ(read_whole_file(huge.c_str(), &buffer, &length), 1); });
  EXPECT_EQ(out, huge + " is too large (2147483653 bytes)\n");
  EXPECT_EQ(buffer, nullptr);
}

TEST_F(Files, Md5OfADescriptorFromItsPosition) {
  struct Case {
    std::string text;
    std::uint32_t chunk;
    std::string md5;
  } cases[] = {
      {"", 4096, "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", 1, "900150983cd24fb0d6963f7d28e17f72"},
      {"abc", 4096, "900150983cd24fb0d6963f7d28e17f72"},
      {std::string(10000, 'a'), 7, md5_hex(std::string(10000, 'a').data(), 10000)},
  };
  for (const Case& c : cases) {
    std::string p = make("md5", c.text);
    UniqueFd fd(open(p.c_str(), O_RDONLY));
    unsigned char digest[kDigestSize] = {};
    ASSERT_EQ(md5_fd(fd.get(), digest, c.chunk), 0);
    EXPECT_EQ(hexOf(digest), c.md5) << c.text.size() << "/" << c.chunk;
    EXPECT_EQ(lseek(fd.get(), 0, SEEK_CUR), static_cast<off_t>(c.text.size()));  // not moved back
    unlink(p.c_str());
  }
  std::string p = make("tail", "xxabc");
  UniqueFd fd(open(p.c_str(), O_RDONLY));
  ASSERT_EQ(lseek(fd.get(), 2, SEEK_SET), 2);
  unsigned char digest[kDigestSize];
  ASSERT_EQ(md5_fd(fd.get(), digest, 2), 0);
  EXPECT_EQ(hexOf(digest), "900150983cd24fb0d6963f7d28e17f72");
}

TEST_F(Files, Md5Refusals) {
  unsigned char digest[kDigestSize] = {};
  std::string out = captureStdout([&] {
    EXPECT_EQ(md5_fd(0, digest, 0), 1);
    EXPECT_EQ(md5_fd(-1, digest, 64), 1);
  });
  EXPECT_EQ(out,
            "invalid chunk size (0) when computing MD5 sum\n"
            "error reading file when computing MD5 sum: Bad file descriptor (9)\n");
  EXPECT_EQ(hexOf(digest), std::string(32, '0'));
}
