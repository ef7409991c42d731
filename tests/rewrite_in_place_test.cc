// The rewrite in place: whatever the old and new sizes, the file ends with
// the new content whole and the mode asked for; where it can't, as it was.
#include "setup/rewrite_in_place.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "setup/unique_fd.h"
#include "tests/harness/sandbox.h"
#include "tests/harness/tool.h"

namespace {

TEST(RewriteInPlace, NewContentWholeWhateverTheSizes) {
  struct Case {
    const char* name;
    std::string before, after;
  };
  const Case cases[] = {
      {"grows", "old\n", "a longer new content\n"},
      {"shrinks", "a longer old content\n", "new\n"},
      {"same size", "old!\n", "new!\n"},
      {"to empty", "old\n", ""},
      {"from empty", "", "new\n"},
      {"over a page", std::string(5000, 'o'), std::string(9000, 'n')},
  };
  harness::Sandbox box;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    box.writeFile("/tmp/d/f", c.before, 0640);
    UniqueFd fd(::open("/tmp/d/f", O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(fd);
    std::string err;
    ASSERT_TRUE(rewriteInPlace(fd.get(), c.after, std::nullopt, &err)) << err;
    EXPECT_EQ(c.after, harness::readFile("/tmp/d/f"));
    EXPECT_EQ(0640u, harness::modeOf("/tmp/d/f"));
  }
}

// The mode asked for is given once the content is whole; a full disk fails
// before anything changes, mode included.
TEST(RewriteInPlace, ModeComesWithTheContentOrNotAtAll) {
  harness::Sandbox box;
  box.mountSmallTmpfs("/tmp/small");
  box.writeFile("/tmp/small/f", "old\n", 0644);
  UniqueFd fd(::open("/tmp/small/f", O_RDWR | O_CLOEXEC));
  ASSERT_TRUE(fd);
  std::string err;
  ASSERT_TRUE(rewriteInPlace(fd.get(), "new\n", mode_t{0400}, &err)) << err;
  EXPECT_EQ("new\n", harness::readFile("/tmp/small/f"));
  EXPECT_EQ(0400u, harness::modeOf("/tmp/small/f"));
  ASSERT_EQ(0, ::fchmod(fd.get(), 0644));
  box.fillUp("/tmp/small");
  EXPECT_FALSE(rewriteInPlace(fd.get(), std::string(20000, 'x'), mode_t{0400}, &err));
  EXPECT_EQ("No space left on device", err);
  EXPECT_EQ("new\n", harness::readFile("/tmp/small/f"));
  EXPECT_EQ(0644u, harness::modeOf("/tmp/small/f"));
}

}  // namespace
