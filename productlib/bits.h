// Bit arrays of 32-bit words and population counts.
//
// - Bit n is bit (n mod 32), counted from the least significant, of word n / 32.
//   The caller owns the array, keeps every index inside it and serialises
//   shared use: bit_set and bit_clear are plain read-modify-writes.
// - The count table is 65536 bytes that the caller provides and fills once
//   with build_bitcount_table; count_bits_table then needs two lookups.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t kBitcountTableSize = 65536;

int bit_test(const std::uint32_t* bits, std::uint32_t n);
void bit_set(std::uint32_t* bits, std::uint32_t n);
void bit_clear(std::uint32_t* bits, std::uint32_t n);

int count_bits(std::uint32_t value);
void build_bitcount_table(unsigned char* table);
int count_bits_table(const unsigned char* table, std::uint32_t value);
