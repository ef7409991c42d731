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
