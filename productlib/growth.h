// Capacity growth shared by the growable flat buffer and the heap Buffer.
#pragma once

#include <cstdint>

// Largest area a growable buffer may reach.
constexpr std::uint64_t kMaxGrownCapacity = std::uint64_t{1} << 31;

// The capacity that holds used + n bytes: the current one (32 when it is 0)
// when that suffices, else doubled from it until the bytes fit, never above
// 2^31. Computed in 64 bits; false when used + n is itself beyond 2^31.
bool grownCapacity(std::uint32_t capacity, std::uint32_t used, std::uint32_t n, std::uint32_t* grown);
