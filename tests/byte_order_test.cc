#include "productlib/byte_order.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/productlib/capture.h"

TEST(Be64, StoresMostSignificantFirstAndLoadsBack) {
  struct Case {
    std::uint64_t value;
    std::vector<unsigned char> bytes;
  } cases[] = {
      {1, {0, 0, 0, 0, 0, 0, 0, 1}},
      {0x1122334455667788ull, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}},
      {0xFFFFFFFFFFFFFFFFull, std::vector<unsigned char>(8, 0xFF)},
  };
  for (const Case& c : cases) {
    unsigned char area[8] = {};
    EXPECT_EQ(put_be64(area, c.value), 8);
    EXPECT_EQ(std::vector<unsigned char>(area, area + 8), c.bytes);
    std::uint64_t back = 0;
    EXPECT_EQ(get_be64(area, &back), 8);
    EXPECT_EQ(back, c.value);
  }
}

TEST(Htonll, NetworkOrderIsBigEndianAndRoundTrips) {
  for (std::uint64_t v : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{0x1122334455667788ull},
                          std::uint64_t{0x8000000000000001ull}}) {
    std::uint64_t wire = htonll(v);
    unsigned char bytes[8];
    std::memcpy(bytes, &wire, 8);
    unsigned char expected[8];
    put_be64(expected, v);
    EXPECT_EQ(0, std::memcmp(bytes, expected, 8)) << std::hex << v;
    EXPECT_EQ(ntohll(wire), v);
  }
  // On this (little-endian) host the only set bit of htonll(1) is in the last byte.
  std::uint64_t one = htonll(1);
  unsigned char bytes[8];
  std::memcpy(bytes, &one, 8);
  EXPECT_EQ(bytes[7], 1);
  EXPECT_EQ(htonll(1), std::uint64_t{1} << 56);
}

TEST(HexDump, TwentyBytesToALine) {
  std::vector<unsigned char> bytes(21);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 13);
  std::string twenty;
  for (std::size_t i = 0; i < 20; ++i) {
    char cell[8];
    std::snprintf(cell, sizeof cell, "%02x ", bytes[i]);
    twenty += cell;
  }
  EXPECT_EQ(captureStdout([&] { hex_dump(bytes.data(), 20, "twenty"); }),
            "\ntwenty (20 bytes):\n" + twenty + "\n");
  EXPECT_EQ(captureStdout([&] { hex_dump(bytes.data(), 21, "more"); }),
            "\nmore (21 bytes):\n" + twenty + "\n04 \n");
  EXPECT_EQ(captureStdout([&] { hex_dump(bytes.data(), 0, "none"); }), "\nnone (0 bytes):\n\n");
}

TEST(Digest, PrintsAndAppendsLowerCaseHex) {
  const unsigned char digest[kDigestSize] = {0x00, 0x01, 0xab, 0xCD, 0xef, 0x10, 0x32, 0x54,
                                             0x76, 0x98, 0xba, 0xdc, 0xfe, 0xff, 0x7f, 0x80};
  const char* hex = "0001abcdef1032547698badcfeff7f80";
  EXPECT_EQ(captureStdout([&] { print_digest(digest); }), hex);

  char text[64] = "";
  digest_to_hex(digest, text);
  EXPECT_STREQ(text, hex);
  std::strcpy(text, "42");
  digest_to_hex(digest, text);
  EXPECT_EQ(std::string(text), std::string("42") + hex);
}
