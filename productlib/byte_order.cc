#include "productlib/byte_order.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

int put_be64(unsigned char* area, std::uint64_t value) {
  for (int i = 7; i >= 0; --i) {
    area[i] = static_cast<unsigned char>(value & 0xFF);
    value >>= 8;
  }
  return 8;
}

int get_be64(const unsigned char* area, std::uint64_t* value) {
  std::uint64_t result = 0;
  for (int i = 0; i < 8; ++i) result = (result << 8) | area[i];
  *value = result;
  return 8;
}

// Each half goes through the 32-bit conversion, and the high half is placed
// first in memory. Swapping the halves unconditionally would only be right
// on a little-endian host, so the placement follows the host's order.
std::uint64_t htonll(std::uint64_t value) {
  std::uint32_t high = htonl(static_cast<std::uint32_t>(value >> 32));
  std::uint32_t low = htonl(static_cast<std::uint32_t>(value & 0xFFFFFFFFu));
  unsigned char bytes[8];
  std::memcpy(bytes, &high, 4);
  std::memcpy(bytes + 4, &low, 4);
  std::uint64_t result;
  std::memcpy(&result, bytes, 8);
  return result;
}

std::uint64_t ntohll(std::uint64_t value) {
  unsigned char bytes[8];
  std::memcpy(bytes, &value, 8);
  std::uint32_t high;
  std::uint32_t low;
  std::memcpy(&high, bytes, 4);
  std::memcpy(&low, bytes + 4, 4);
  return (static_cast<std::uint64_t>(ntohl(high)) << 32) | ntohl(low);
}

void hex_dump(const void* area, std::uint32_t size, const char* label) {
  const unsigned char* bytes = static_cast<const unsigned char*>(area);
  std::printf("\n%s (%u bytes):\n", label, size);
  for (std::uint32_t i = 0; i < size; ++i) {
    if (i != 0 && i % 20 == 0) std::putchar('\n');
    std::printf("%02x ", bytes[i]);
  }
  std::putchar('\n');
}

void print_digest(const unsigned char* digest) {
  for (std::size_t i = 0; i < kDigestSize; ++i) std::printf("%02x", digest[i]);
}

void digest_to_hex(const unsigned char* digest, char* text) {
  static const char kDigits[] = "0123456789abcdef";
  char* end = text + std::strlen(text);
  for (std::size_t i = 0; i < kDigestSize; ++i) {
    *end++ = kDigits[digest[i] >> 4];
    *end++ = kDigits[digest[i] & 0x0F];
  }
  *end = '\0';
}
