#include "productlib/descriptors.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>

#include "setup/log.h"

namespace {
constexpr std::size_t kWriteChunk = 65536;
constexpr std::size_t kMaxCount = INT32_MAX;
}  // namespace

namespace {
// Writes in chunks of at most 64 KiB through one chunk writer, repeating a
// chunk interrupted by a signal.
template <typename ChunkWriter>
std::int32_t writeInChunks(const void* data, std::size_t count, ChunkWriter writeChunk) {
  if (count > kMaxCount) {
    errno = EOVERFLOW;
    return -1;
  }
  const char* p = static_cast<const char*>(data);
  std::size_t left = count;
  while (left > 0) {
    ssize_t n = writeChunk(p, left < kWriteChunk ? left : kWriteChunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    // A descriptor that takes nothing would keep this loop going forever.
    if (n == 0) {
      errno = EIO;
      return -1;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return static_cast<std::int32_t>(count);
}
}  // namespace

std::int32_t write_all(int fd, const void* data, std::size_t count) {
  return writeInChunks(data, count, [fd](const char* p, std::size_t n) { return ::write(fd, p, n); });
}

std::int32_t send_all(int fd, const void* data, std::size_t count) {
  bool socket = true;
  return writeInChunks(data, count, [fd, &socket](const char* p, std::size_t n) {
    if (socket) {
      ssize_t sent = ::send(fd, p, n, MSG_NOSIGNAL);
      if (sent >= 0 || errno != ENOTSOCK) return sent;
      socket = false;
    }
    return ::write(fd, p, n);
  });
}

std::int32_t read_eintr(int fd, void* buffer, std::size_t count) {
  if (count == 0) return 0;
  if (count > kMaxCount) count = kMaxCount;
  ssize_t n;
  do {
    n = read(fd, buffer, count);
  } while (n < 0 && errno == EINTR);
  return static_cast<std::int32_t>(n);
}

std::int32_t read_full(int fd, void* buffer, std::size_t count) {
  if (count == 0) return 0;
  if (count > kMaxCount) {
    errno = EOVERFLOW;
    return -1;
  }
  char* p = static_cast<char*>(buffer);
  std::size_t got = 0;
  while (got < count) {
    ssize_t n = read(fd, p + got, count - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  return static_cast<std::int32_t>(got);
}

int select_eintr(int nfds, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet, timeval* timeout) {
  int n;
  do {
    n = select(nfds, readSet, writeSet, exceptSet, timeout);
  } while (n < 0 && errno == EINTR);
  return n;
}

void close_logged(int fd, const char* name) {
  if (fd <= 0) return;
  if (close(fd) != 0) logMessage(1, "failed to close %s", name);
}

int read_magic(int fd, std::uint32_t expected) {
  std::uint32_t wire = 0;
  if (read_eintr(fd, &wire, 4) < 4) {
    logMessage(0, "error reading magic number");
    return 1;
  }
  std::uint32_t number = ntohl(wire);
  if (number != expected) {
    logMessage(0, "expected magic file number (%p) did not match (%p)",
               reinterpret_cast<void*>(static_cast<std::uintptr_t>(expected)),
               reinterpret_cast<void*>(static_cast<std::uintptr_t>(number)));
    return 1;
  }
  return 0;
}

int write_magic(int fd, std::uint32_t number) {
  std::uint32_t wire = htonl(number);
  if (write_all(fd, &wire, 4) != 4) {
    logMessage(0, "error writing magic number");
    return 1;
  }
  return 0;
}
