// The one loop that writes a buffer whole, at the descriptor's offset or at
// a given one.
#pragma once

#include <sys/types.h>

#include <cstddef>

constexpr off_t kAtFileOffset = -1;

// Writes every byte of `data` to `fd`: with pwrite at `offset` when one is
// given, else at the descriptor's own offset. Short writes go on and EINTR
// is retried; false with errno set (EIO for a write that takes nothing).
bool writeAll(int fd, const void* data, std::size_t length, off_t offset = kAtFileOffset);
