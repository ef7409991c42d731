#include "setup/log.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(BoundedCopy, CutsAndReportsSourceLength) {
  char buf[4];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(bounded_copy(buf, "abcdef", sizeof buf), 6u);
  EXPECT_STREQ(buf, "abc");
  EXPECT_EQ(bounded_copy(buf, "abcdef", 1), 6u);
  EXPECT_STREQ(buf, "");
  buf[0] = 'q';
  EXPECT_EQ(bounded_copy(buf, "abcdef", 0), 6u);
  EXPECT_EQ(buf[0], 'q');
}

TEST(BoundedAppend, CutsAndReportsWantedLength) {
  char buf[4] = "ab";
  EXPECT_EQ(bounded_append(buf, "cd", sizeof buf), 4u);
  EXPECT_STREQ(buf, "abc");
  char full[3] = {'a', 'b', 'c'};
  EXPECT_EQ(bounded_append(full, "de", sizeof full), 5u);
  EXPECT_EQ(full[2], 'c');
}
