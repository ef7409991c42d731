#include "setup/write_all.h"

#include <unistd.h>

#include <cerrno>

bool writeAll(int fd, const void* data, std::size_t length, off_t offset) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t n = offset == kAtFileOffset ? ::write(fd, p, length) : ::pwrite(fd, p, length, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    p += n;
    length -= static_cast<std::size_t>(n);
    if (offset != kAtFileOffset) offset += n;
  }
  return true;
}
