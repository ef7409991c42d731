// Byte order and hexadecimal printing.
//
// - Every multi-byte value on the wire is big-endian, most significant byte
//   first; put_be64 and get_be64 store and load 8 such bytes and return 8.
// - htonll/ntohll convert a 64-bit value between host and network order
//   (on a little-endian host both reverse the 8 bytes; the high 32 bits
//   always go first on the wire).
// - hex_dump, print_digest and digest_to_hex print lower-case digits; the
//   first two write to standard output with its ordinary buffering.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t kDigestSize = 16;

int put_be64(unsigned char* area, std::uint64_t value);
int get_be64(const unsigned char* area, std::uint64_t* value);

std::uint64_t htonll(std::uint64_t value);
std::uint64_t ntohll(std::uint64_t value);

// "\n<label> (<size> bytes):\n", then "%02x " per byte, 20 to a line, then "\n".
void hex_dump(const void* area, std::uint32_t size, const char* label);
// The 16 bytes as 32 digits, no separator, no line end.
void print_digest(const unsigned char* digest);
// Appends the same 32 digits to a terminated text with room for 33 more bytes.
void digest_to_hex(const unsigned char* digest, char* text);
