#include "productlib/alloc.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "productlib/bits.h"
#include "productlib/clock.h"
#include "tests/productlib/capture.h"

TEST(Fill, ZeroesAndOnes) {
  unsigned char area[5] = {1, 2, 3, 4, 5};
  fill_ones(area, 4);
  EXPECT_EQ(area[0], 0xFF);
  EXPECT_EQ(area[3], 0xFF);
  EXPECT_EQ(area[4], 5);
  zero_memory(area, 5);
  for (unsigned char b : area) EXPECT_EQ(b, 0);
}

TEST(AllocInstance, HeapBlocksAreZeroedAndZeroSizeIsNotFailure) {
  // Dirty the heap first so that a block handed back without clearing shows.
  for (int i = 0; i < 8; ++i) {
    void* dirty = std::malloc(4096);
    std::memset(dirty, 0xA5, 4096);
    std::free(dirty);
    auto* block = static_cast<unsigned char*>(alloc_instance(4096, "Buffer"));
    ASSERT_NE(block, nullptr);
    for (int j = 0; j < 4096; ++j) ASSERT_EQ(block[j], 0);
    std::free(block);
  }
  void* empty = alloc_instance(0, "Buffer");
  EXPECT_NE(empty, nullptr);
  std::free(empty);
  void* raw = alloc_raw_instance(0, "read buffer");
  EXPECT_NE(raw, nullptr);
  std::free(raw);
}

TEST(AllocInstance, FailureNamesTheInstance) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer's allocator aborts on impossible sizes";
#endif
  // A size no allocator can give.
  std::string out = captureStdout([] {
    EXPECT_EQ(alloc_instance(~std::size_t{0} / 2, "input buffer"), nullptr);
    EXPECT_EQ(alloc_raw_instance(~std::size_t{0} / 2, "read buffer"), nullptr);
  });
  EXPECT_EQ(out, "couldn't allocate instance of input buffer\ncouldn't allocate instance of read buffer\n");
}

TEST(AllocShmInstance, PoolBlocksAreZeroedAndExhaustionIsLogged) {
  MM* pool = mm_create(64 * 1024, nullptr);
  ASSERT_NE(pool, nullptr);
  void* dirty = mm_malloc(pool, 1024);
  std::memset(dirty, 0xA5, 1024);
  mm_free(pool, dirty);
  auto* block = static_cast<unsigned char*>(alloc_shm_instance(pool, 1024, "LogBuffer"));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 1024; ++i) ASSERT_EQ(block[i], 0);
  mm_free(pool, block);

  std::string out = captureStdout([&] { EXPECT_EQ(alloc_shm_instance(pool, 1 << 20, "LogBuffer"), nullptr); });
  EXPECT_EQ(out, "error allocating shared memory instance of LogBuffer\n");
  mm_destroy(pool);
}

TEST(Bits, WordAndBitNumbering) {
  std::uint32_t bits[2] = {0, 0};
  bit_set(bits, 31);
  EXPECT_EQ(bits[0], 0x80000000u);
  bit_set(bits, 33);
  EXPECT_EQ(bits[1], 2u);
  EXPECT_EQ(bit_test(bits, 33), 1);
  EXPECT_EQ(bit_test(bits, 1), 0);
  EXPECT_EQ(bit_test(bits, 32), 0);
  bit_clear(bits, 31);
  EXPECT_EQ(bits[0], 0u);
  EXPECT_EQ(bits[1], 2u);
}

TEST(Bits, CountsAgreeWithAndWithoutTable) {
  EXPECT_EQ(count_bits(0), 0);
  EXPECT_EQ(count_bits(0xFFFFFFFFu), 32);
  EXPECT_EQ(count_bits(0x80000001u), 2);
  std::vector<unsigned char> table(kBitcountTableSize);
  build_bitcount_table(table.data());
  EXPECT_EQ(table[0xFFFF], 16);
  for (std::uint64_t v = 0; v <= 0xFFFFFFFFull; v += 65537 * 7 + 3)
    ASSERT_EQ(count_bits_table(table.data(), static_cast<std::uint32_t>(v)), count_bits(static_cast<std::uint32_t>(v)));
  EXPECT_EQ(count_bits_table(table.data(), 0xFFFFFFFFu), 32);
}

TEST(Clock, MicrosecondsStayBelowOneMillion) {
  for (int i = 0; i < 1000; ++i) {
    std::uint64_t usec = 1234567;
    ASSERT_EQ(get_time_usec(&usec), 0);
    ASSERT_LT(usec, 1000000u);
  }
}
