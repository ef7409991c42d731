#include "productlib/buffer.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/productlib/capture.h"

namespace {
using Bytes = std::vector<unsigned char>;

Bytes bytesOf(const unsigned char* area, std::uint32_t n) { return Bytes(area, area + n); }

struct HeapBuffer {
  Buffer* b = nullptr;
  explicit HeapBuffer(std::uint32_t capacity) { EXPECT_EQ(createBuffer(&b, capacity), 0); }
  ~HeapBuffer() { freeBuffer(b); }
};
}  // namespace

TEST(FlatPack, EveryPackerWritesBigEndian) {
  unsigned char area[64];
  std::memset(area, 0xEE, sizeof area);
  std::uint32_t offset = 0;
  ASSERT_EQ(packUint8(area, sizeof area, &offset, 0x01), 0);
  ASSERT_EQ(packUint16(area, sizeof area, &offset, 0x0203), 0);
  ASSERT_EQ(packUint32(area, sizeof area, &offset, 0x04050607), 0);
  ASSERT_EQ(packUint64(area, sizeof area, &offset, 0x08090A0B0C0D0E0Full), 0);
  ASSERT_EQ(packString(area, sizeof area, &offset, "hi"), 0);
  ASSERT_EQ(packString(area, sizeof area, &offset, ""), 0);
  ASSERT_EQ(packBuf(area, sizeof area, &offset, "\xff\x00", 2), 0);
  Bytes expected = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
                    0, 0, 0, 2, 'h', 'i', 0, 0, 0, 0, 0xFF, 0x00};
  EXPECT_EQ(offset, expected.size());
  EXPECT_EQ(bytesOf(area, offset), expected);
  EXPECT_EQ(area[offset], 0xEE);
}

TEST(FlatPack, RoomChecks) {
  unsigned char area[4];
  std::uint32_t offset = 0;
  std::string out = captureStdout([&] {
    EXPECT_EQ(packUint32(area, 4, &offset, 7), 0);
    EXPECT_EQ(packUint32(area, 4, &offset, 8), 1);
    EXPECT_EQ(offset, 4u);
    // Nothing into a full buffer is fine.
    EXPECT_EQ(packBuf(area, 4, &offset, "", 0), 0);
    EXPECT_EQ(offset, 4u);
    // An offset already past the capacity must not wrap the room to a huge value.
    std::uint32_t beyond = 10;
    EXPECT_EQ(packUint8(area, 4, &beyond, 1), 1);
    EXPECT_EQ(beyond, 10u);
    std::uint32_t zero = 0;
    EXPECT_EQ(packBuf(area, 4, &zero, area, 0xFFFFFFFFu), 1);
    EXPECT_EQ(packBuf(nullptr, 4, &zero, "x", 1), 1);
  });
  EXPECT_EQ(out,
            "packing exceeded buffer size\npacking exceeded buffer size\npacking exceeded buffer size\n"
            "Null buffer given to packBuf\n");
}

TEST(FlatPack, StringLeavesItsLengthWhenTheBytesDoNotFit) {
  unsigned char area[6] = {};
  std::uint32_t offset = 0;
  std::string out = captureStdout([&] { EXPECT_EQ(packString(area, sizeof area, &offset, "abc"), 1); });
  EXPECT_EQ(out, "packing exceeded buffer size\n");
  EXPECT_EQ(offset, 4u);
  EXPECT_EQ(bytesOf(area, 4), (Bytes{0, 0, 0, 3}));
}

TEST(GrowPack, CapacityDoublesFrom32) {
  struct Case {
    std::uint32_t startCapacity, startUsed, n, capacityAfter;
  } cases[] = {
      {0, 0, 0, 32}, {0, 0, 5, 32}, {0, 0, 32, 32}, {0, 0, 33, 64}, {0, 0, 65, 128},
      {48, 40, 20, 96}, {48, 40, 8, 48}, {48, 0, 200, 384},
  };
  for (const Case& c : cases) {
    unsigned char* area = nullptr;
    std::uint32_t capacity = 0;
    std::uint32_t offset = 0;
    Bytes filler(c.startUsed + c.n, 0x5A);
    if (c.startCapacity) {
      area = static_cast<unsigned char*>(std::malloc(c.startCapacity));
      capacity = c.startCapacity;
      ASSERT_EQ(packBuf(area, capacity, &offset, filler.data(), c.startUsed), 0);
    }
    ASSERT_EQ(packBufGrow(&area, &capacity, &offset, filler.data(), c.n), 0);
    EXPECT_EQ(capacity, c.capacityAfter) << c.startCapacity << "+" << c.n;
    EXPECT_EQ(offset, c.startUsed + c.n);
    EXPECT_EQ(bytesOf(area, offset), filler);
    std::free(area);
  }
}

TEST(GrowPack, StringIntoEmptyBuffer) {
  unsigned char* area = nullptr;
  std::uint32_t capacity = 0;
  std::uint32_t offset = 0;
  std::string text(40, 'q');
  ASSERT_EQ(packStringGrow(&area, &capacity, &offset, text.c_str()), 0);
  EXPECT_GE(capacity, 44u);
  ASSERT_EQ(offset, 44u);
  Bytes expected = {0, 0, 0, 40};
  expected.insert(expected.end(), text.begin(), text.end());
  EXPECT_EQ(bytesOf(area, offset), expected);
  std::free(area);
}

TEST(GrowPack, RefusesToGrowBeyondTwoGiBWithoutLooping) {
  // The area is never touched: the size check comes first.
  unsigned char byte = 0;
  unsigned char* area = &byte;
  std::uint32_t capacity = 1;
  std::uint32_t offset = 1;
  std::string out = captureStdout([&] {
    EXPECT_EQ(packBufGrow(&area, &capacity, &offset, &byte, 0x80000000u), 1);
    EXPECT_EQ(packBufGrow(&area, &capacity, &offset, &byte, 0xFFFFFFFFu), 1);
  });
  EXPECT_EQ(out, "could not allocate memory for new packed buffer.\n"
                 "could not allocate memory for new packed buffer.\n");
  EXPECT_EQ(area, &byte);
  EXPECT_EQ(capacity, 1u);
  EXPECT_EQ(offset, 1u);

  HeapBuffer heap(4);
  heap.b->used = 4;
  heap.b->pos = heap.b->data + 4;
  out = captureStdout([&] { EXPECT_EQ(packMsgBufGrow(heap.b, &byte, 0xFFFFFFFEu), 1); });
  EXPECT_EQ(out, "could not allocate memory for message buffer.\n");
  EXPECT_EQ(heap.b->capacity, 4u);
}

TEST(MsgBuffer, CreateIsZeroedAndEmpty) {
  HeapBuffer heap(16);
  ASSERT_NE(heap.b, nullptr);
  EXPECT_EQ(heap.b->capacity, 16u);
  EXPECT_EQ(heap.b->used, 0u);
  EXPECT_EQ(heap.b->pos, heap.b->data);
  EXPECT_EQ(bytesOf(heap.b->data, 16), Bytes(16, 0));
  EXPECT_EQ(freeBuffer(nullptr), 1);
  EXPECT_EQ(freeShmBuffer(nullptr, nullptr), 1);
}

TEST(MsgBuffer, PackRewindUnpack) {
  HeapBuffer heap(32);
  Buffer* b = heap.b;
  ASSERT_EQ(packMsgUint32(b, 0xDEADBEEF), 0);
  ASSERT_EQ(packMsgString(b, "name"), 0);
  ASSERT_EQ(packMsgBuf(b, "\x01\x02", 2), 0);
  EXPECT_EQ(bytesOf(b->data, b->used), (Bytes{0xDE, 0xAD, 0xBE, 0xEF, 0, 0, 0, 4, 'n', 'a', 'm', 'e', 1, 2}));
  EXPECT_EQ(b->pos, b->data + 14);

  rewindBuffer(b);
  EXPECT_EQ(b->used, 14u);
  std::string out = captureStdout([&] { EXPECT_EQ(packMsgUint32(b, 1), 1); });
  EXPECT_EQ(out, "Buffer is not at the end when packing (pos=0 used=14)\n");

  std::uint32_t value = 0;
  ASSERT_EQ(unpackMsgUint32(b, &value), 0);
  EXPECT_EQ(value, 0xDEADBEEFu);
  char text[5] = {};
  ASSERT_EQ(unpackMsgString(b, text, 4), 0);
  EXPECT_STREQ(text, "name");
  unsigned char tail[3] = {9, 9, 9};
  out = captureStdout([&] { EXPECT_EQ(unpackMsgBuf(b, tail, 3), 1); });
  EXPECT_EQ(out, "buffer underrun during unpacking 3 bytes (used=14 pos=12)\n");
  EXPECT_EQ(b->pos, b->data + 12);
  EXPECT_EQ(tail[0], 9);
  ASSERT_EQ(unpackMsgBuf(b, tail, 2), 0);
  EXPECT_EQ(tail[1], 2);
  // Unpacked to the end: packing is allowed again.
  EXPECT_EQ(packMsgUint32(b, 5), 0);

  resetBuffer(b);
  EXPECT_EQ(b->used, 0u);
  EXPECT_EQ(b->pos, b->data);
  out = captureStdout([&] { EXPECT_EQ(unpackMsgUint32(b, &value), 1); });
  EXPECT_EQ(out, "buffer underrun during unpacking 4 bytes (used=0 pos=0)\n");
}

TEST(MsgBuffer, FixedCapacityAndStringLimits) {
  HeapBuffer heap(8);
  Buffer* b = heap.b;
  std::string out = captureStdout([&] {
    EXPECT_EQ(packMsgString(b, "abcde"), 1);  // length fits, bytes do not
    EXPECT_EQ(b->used, 4u);
    EXPECT_EQ(packMsgBuf(b, "abcde", 5), 1);
    EXPECT_EQ(packMsgBuf(b, "abcd", 4), 0);
    EXPECT_EQ(packMsgBuf(b, "", 0), 0);
    EXPECT_EQ(packMsgBuf(b, nullptr, 0), 1);
  });
  EXPECT_EQ(out, "packing exceeded buffer size\npacking exceeded buffer size\nNull buffer given to packBuf\n");

  HeapBuffer strings(64);
  ASSERT_EQ(packMsgString(strings.b, "four"), 0);
  ASSERT_EQ(packMsgString(strings.b, "fiver"), 0);
  rewindBuffer(strings.b);
  char dest[8];
  std::memset(dest, 'z', sizeof dest);
  ASSERT_EQ(unpackMsgString(strings.b, dest, 4), 0);  // equal to the maximum
  EXPECT_EQ(std::string(dest, 8), "fourzzzz");
  out = captureStdout([&] { EXPECT_EQ(unpackMsgString(strings.b, dest, 4), 1); });
  EXPECT_EQ(out, "buffer exceeded while unpacking string\n");
  EXPECT_EQ(strings.b->pos, strings.b->data + 12);  // the length stays consumed
}

TEST(MsgBuffer, GrowFromZeroCapacity) {
  HeapBuffer heap(0);
  Buffer* b = heap.b;
  ASSERT_EQ(packMsgBufGrow(b, "0123456789", 10), 0);
  EXPECT_EQ(b->capacity, 32u);
  unsigned char* area = b->data;
  Bytes more(22, 'm');
  ASSERT_EQ(packMsgBufGrow(b, more.data(), 22), 0);
  EXPECT_EQ(b->capacity, 32u);
  EXPECT_EQ(b->data, area);  // it still fitted: no resize
  ASSERT_EQ(packMsgBufGrow(b, "!", 1), 0);
  EXPECT_EQ(b->capacity, 64u);
  EXPECT_EQ(b->used, 33u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(b->data), 10), "0123456789");
  EXPECT_EQ(b->data[32], '!');
}

TEST(MsgBuffer, GrowKeepsTheCursorOffset) {
  HeapBuffer heap(8);
  Buffer* b = heap.b;
  ASSERT_EQ(packMsgBuf(b, "abcdefgh", 8), 0);
  ASSERT_EQ(packMsgBufGrow(b, "ij", 2), 0);
  EXPECT_EQ(b->capacity, 16u);
  EXPECT_EQ(b->pos, b->data + 10);
  rewindBuffer(b);
  char four[4];
  ASSERT_EQ(unpackMsgBuf(b, four, 4), 0);
  std::string out = captureStdout([&] { EXPECT_EQ(packMsgBufGrow(b, "k", 1), 1); });
  EXPECT_EQ(out, "Buffer is not at the end when packing (pos=4 used=10)\n");
}

TEST(ShmBuffer, ChildPacksParentUnpacks) {
  MM* pool = mm_create(64 * 1024, nullptr);
  ASSERT_NE(pool, nullptr);
  Buffer* b = nullptr;
  ASSERT_EQ(createShmBuffer(pool, &b, 256), 0);
  EXPECT_EQ(bytesOf(b->data, 256), Bytes(256, 0));

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int failed = packMsgUint32(b, 0x01020304) | packMsgString(b, "from child");
    _exit(failed);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);

  EXPECT_EQ(b->used, 18u);
  rewindBuffer(b);
  std::uint32_t value = 0;
  ASSERT_EQ(unpackMsgUint32(b, &value), 0);
  EXPECT_EQ(value, 0x01020304u);
  char text[16] = {};
  ASSERT_EQ(unpackMsgString(b, text, sizeof text - 1), 0);
  EXPECT_STREQ(text, "from child");
  EXPECT_EQ(freeShmBuffer(pool, b), 0);
  mm_destroy(pool);
}

TEST(ShmBuffer, PoolExhaustion) {
  MM* pool = mm_create(16 * 1024, nullptr);
  ASSERT_NE(pool, nullptr);
  Buffer* b = nullptr;
  std::string out = captureStdout([&] { EXPECT_EQ(createShmBuffer(pool, &b, 1u << 20), 1); });
  EXPECT_EQ(out, "error allocating shared memory buffer of size (1048576)\n");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->data, nullptr);
  EXPECT_EQ(freeShmBuffer(pool, b), 0);
  out = captureStdout([&] { EXPECT_EQ(createShmBuffer(nullptr, &b, 8), 1); });
  EXPECT_EQ(out, "error allocating shared memory buffer struct\n");
  EXPECT_EQ(b, nullptr);
  mm_destroy(pool);
}
