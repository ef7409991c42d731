// Atol-style numbers with the overflow held at the range ends.
#include "config/text_reading.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

TEST(TextReading, NumbersReadLikeAtolWithoutUndefinedOverflow) {
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  const struct {
    const char* text;
    std::int64_t value;
    bool overflowed;
  } cases[] = {{"42", 42, false},
               {"  \t+7x", 7, false},
               {"-12abc", -12, false},
               {"", 0, false},
               {"abc", 0, false},
               {"- 5", 0, false},
               {"9223372036854775807", kMax, false},
               {"9223372036854775808", kMax, true},
               {"-9223372036854775808", kMin, false},
               {"-9223372036854775809", kMin, true},
               {"4294967376", 4294967376LL, false}};
  for (const auto& c : cases) {
    bool over = !c.overflowed;
    EXPECT_EQ(c.value, parseLeadingInteger(c.text, &over)) << c.text;
    EXPECT_EQ(c.overflowed, over) << c.text;
  }
  EXPECT_EQ(std::numeric_limits<std::int32_t>::max(), parseLeadingInt32("4294967376"));
  EXPECT_EQ(std::numeric_limits<std::int32_t>::min(), parseLeadingInt32("-4294967376"));
  EXPECT_EQ(80, parseLeadingInt32("80"));
}

}  // namespace
