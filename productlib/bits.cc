#include "productlib/bits.h"

int bit_test(const std::uint32_t* bits, std::uint32_t n) { return (bits[n / 32] >> (n % 32)) & 1u; }

void bit_set(std::uint32_t* bits, std::uint32_t n) { bits[n / 32] |= 1u << (n % 32); }

void bit_clear(std::uint32_t* bits, std::uint32_t n) { bits[n / 32] &= ~(1u << (n % 32)); }

int count_bits(std::uint32_t value) {
  int count = 0;
  for (; value; value >>= 1) count += static_cast<int>(value & 1u);
  return count;
}

void build_bitcount_table(unsigned char* table) {
  for (std::uint32_t i = 0; i < kBitcountTableSize; ++i) table[i] = static_cast<unsigned char>(count_bits(i));
}

int count_bits_table(const unsigned char* table, std::uint32_t value) {
  return table[value & 0xFFFFu] + table[value >> 16];
}
