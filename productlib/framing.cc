#include "productlib/framing.h"

#include <arpa/inet.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "productlib/byte_order.h"
#include "productlib/descriptors.h"
#include "productlib/sockets.h"
#include "setup/log.h"

namespace {
std::int64_t netReadTimeout = 120;

// The data must fit the signed counts of the descriptor helpers.
constexpr std::uint32_t kLargestMessage = INT32_MAX;

int writeValue(int fd, const void* bytes, std::uint32_t count) {
  int written = send_all(fd, bytes, count);
  if (written < 0) {
    logError(0, errno, "write error while sending message");
    return 1;
  }
  if (static_cast<std::uint32_t>(written) != count) {
    logMessage(0, "error writing entire message (expected %d) (wrote %d)", static_cast<int>(count), written);
    return 1;
  }
  return 0;
}
}  // namespace

void set_net_timeout(std::int64_t seconds) { netReadTimeout = seconds; }

std::int64_t get_net_timeout() { return netReadTimeout; }

int net_read_full(int fd, void* buffer, int count) {
  if (count == 0) return 0;
  if (count < 0) {
    logMessage(0, "invalid network read of (%d) bytes", count);
    return 1;
  }
  // select's descriptor set holds 0 to FD_SETSIZE - 1 only; anything else
  // would be written outside it.
  if (fd < 0 || fd >= FD_SETSIZE) {
    logMessage(0, "cannot wait for input on descriptor (%d)", fd);
    return 1;
  }
  char* position = static_cast<char*>(buffer);
  int wanted = count;
  int total = 0;
  for (;;) {
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(fd, &readSet);
    timeval timeout;
    timeout.tv_sec = static_cast<time_t>(netReadTimeout);
    timeout.tv_usec = 0;
    int ready = select_eintr(fd + 1, &readSet, nullptr, nullptr, &timeout);
    if (ready < 0) {
      logError(0, errno, "select waiting for input from host failed");
      return 1;
    }
    if (ready == 0) {
      logMessage(0, "timeout after (%lld) seconds reading from network", static_cast<long long>(netReadTimeout));
      return 1;
    }
    if (ready > 1) {
      logMessage(0, "select returned > 1 while waiting on 1 FDs");
      return 1;
    }
    if (!FD_ISSET(fd, &readSet)) continue;
    ssize_t got = ::read(fd, position, static_cast<std::size_t>(wanted));
    if (got < 0) {
      logError(0, errno, "error reading from network socket");
      return 1;
    }
    if (got == 0) {
      logMessage(0, "error reading from network socket (connection has been closed)");
      return 1;
    }
    position += got;
    wanted -= static_cast<int>(got);
    total += static_cast<int>(got);
    if (total == count) return 0;
  }
}

int net_read_u16(int fd, std::uint16_t* value) {
  std::uint16_t raw;
  if (net_read_full(fd, &raw, sizeof raw)) return 1;
  *value = ntohs(raw);
  return 0;
}

int net_read_u32(int fd, std::uint32_t* value) {
  std::uint32_t raw;
  if (net_read_full(fd, &raw, sizeof raw)) return 1;
  *value = ntohl(raw);
  return 0;
}

int net_read_i32(int fd, std::int32_t* value) {
  std::uint32_t host;
  if (net_read_u32(fd, &host)) return 1;
  *value = static_cast<std::int32_t>(host);
  return 0;
}

int net_read_u64(int fd, std::uint64_t* value) {
  std::uint64_t raw;
  if (net_read_full(fd, &raw, sizeof raw)) return 1;
  *value = ntohll(raw);
  return 0;
}

int net_read_message(int fd, void* buffer, std::uint32_t capacity, std::uint32_t* length) {
  std::uint32_t announced;
  if (net_read_u32(fd, &announced)) return 1;
  if (announced > capacity) return 1;
  if (announced > kLargestMessage) {
    logMessage(0, "message length (%u) is too large to read", announced);
    return 1;
  }
  if (net_read_full(fd, buffer, static_cast<int>(announced))) return 1;
  *length = announced;
  return 0;
}

int send_code(int fd, std::uint32_t code) {
  std::uint32_t raw = htonl(code);
  if (send_all(fd, &raw, sizeof raw) != static_cast<int>(sizeof raw)) {
    logError(0, errno, "write error while sending code");
    return 1;
  }
  return 0;
}

int checkMessageLength(std::uint32_t length) {
  if (length == 0xFFFFFFFFu) {
    logMessage(0, "message length is -1");
    return 1;
  }
  if (length > kLargestMessage) {
    logMessage(0, "message length (%u) is too large to send", length);
    return 1;
  }
  return 0;
}

int send_message(int fd, const void* data, std::uint32_t length) {
  // Checked before the length goes out, so the peer never receives a length
  // that no data follows.
  if (checkMessageLength(length)) return 1;
  if (send_code(fd, length)) return 1;
  if (length == 0) return 0;
  return writeValue(fd, data, length);
}

int sendCorked(int fd, int (*body)(int fd, void* context), void* context) {
  if (cork_socket(fd)) return 1;
  int result = body(fd, context);
  if (uncork_socket(fd)) result = 1;
  return result;
}

int send_u64(int fd, std::uint64_t value) {
  return sendCorked(
      fd,
      [](int socket, void* context) {
        std::uint64_t raw = htonll(*static_cast<std::uint64_t*>(context));
        return writeValue(socket, &raw, sizeof raw);
      },
      &value);
}

int send_code_corked(int fd, std::uint32_t code) {
  return sendCorked(
      fd, [](int socket, void* context) { return send_code(socket, *static_cast<std::uint32_t*>(context)); }, &code);
}
