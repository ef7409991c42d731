#include "setup/wipe.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

// Every byte of the text's storage is overwritten, also those an erased key
// left beyond its size, and the storage stays the text's own.
TEST(WipeSecret, OverwritesTheWholeStorage) {
  for (std::string text : {std::string("ab1"), std::string(100, 'k')}) {
    text.pop_back();  // an erased key: still in the storage, beyond the size
    const char* storage = text.data();
    const std::size_t capacity = text.capacity();
    wipeSecret(text);
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(storage, text.data());
    for (std::size_t i = 0; i < capacity; ++i) EXPECT_EQ('\0', storage[i]) << "byte " << i;
  }
}

TEST(WipeSecret, OnExitOnEveryWayOut) {
  std::string secret = "pass1234";
  const char* storage = secret.data();
  {
    WipedOnExit wiped(secret);
  }
  EXPECT_TRUE(secret.empty());
  EXPECT_EQ('\0', storage[0]);
}

TEST(WipeSecret, AnEntryOnExitWhenItHoldsOne) {
  std::optional<std::string> entry = std::string("abc1");
  const char* storage = entry->data();
  std::optional<std::string> none;
  {
    WipedOnExit wiped(entry);
    WipedOnExit nothing(none);
  }
  ASSERT_TRUE(entry.has_value());
  EXPECT_TRUE(entry->empty());
  EXPECT_EQ('\0', storage[0]);
  EXPECT_FALSE(none.has_value());
}

// Equal only with the same bytes and the same length; sixteen bytes (a
// length the compare takes in two words) included.
TEST(WipeSecret, SameSecretComparesEveryByteAndTheLength) {
  const struct {
    std::string a, b;
    bool same;
  } cases[] = {
      {"", "", true},
      {"abc1", "abc1", true},
      {"abc1", "abc2", false},
      {"abc", "abc1", false},
      {"abc1", "abc", false},
      {"0123456789abcdef", "0123456789abcdef", true},
      {"0123456789abcdef", "0123456789abcdeg", false},
      {"x0123456789abcdef", "y0123456789abcdef", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.a + " / " + c.b);
    EXPECT_EQ(sameSecret(c.a, c.b), c.same);
  }
}
