#include "productlib/growth.h"

bool grownCapacity(std::uint32_t capacity, std::uint32_t used, std::uint32_t n, std::uint32_t* grown) {
  std::uint64_t needed = std::uint64_t{used} + n;
  // An empty buffer always gets its first area of 32, even for 0 bytes.
  std::uint64_t next = capacity ? capacity : 32;
  if (next >= needed) {
    *grown = static_cast<std::uint32_t>(next);
    return true;
  }
  if (needed > kMaxGrownCapacity) return false;
  while (next < needed) next *= 2;
  if (next > kMaxGrownCapacity) next = kMaxGrownCapacity;
  *grown = static_cast<std::uint32_t>(next);
  return true;
}
