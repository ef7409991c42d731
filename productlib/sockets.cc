#include "productlib/sockets.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "setup/log.h"

std::int32_t cachedPeerPort = -1;

namespace {

constexpr socklen_t kAddressAreaSize = 128;
constexpr socklen_t kIpv6AddressSize = 28;
constexpr std::size_t kHostTextSize = 1025;
constexpr std::size_t kServiceTextSize = 32;

static_assert(sizeof(sockaddr_storage) == kAddressAreaSize, "the address area holds any family");
static_assert(sizeof(sockaddr_in6) == kIpv6AddressSize, "IPv6 address size");

// The lookup is handed the full IPv6 size whatever the query reported, so a
// short length from the kernel cannot make getnameinfo reject the address.
socklen_t lookupLength(const sockaddr_storage& area, socklen_t reported) {
  return area.ss_family == AF_INET6 ? kIpv6AddressSize : reported;
}

int setIntOption(int fd, int level, int option, int value, const char* failureFormat) {
  std::int32_t v = value;
  if (setsockopt(fd, level, option, &v, sizeof v) != 0) {
    logError(0, errno, failureFormat, fd, value);
    return 1;
  }
  return 0;
}

char* copyOrUnknown(char* text) { return text ? text : strdup("UNKNOWN"); }

}  // namespace

char* get_socket_address(int fd, int peer, int flags) {
  sockaddr_storage area;
  std::memset(&area, 0, sizeof area);
  socklen_t length = kAddressAreaSize;
  sockaddr* sa = reinterpret_cast<sockaddr*>(&area);
  int rc = peer ? getpeername(fd, sa, &length) : getsockname(fd, sa, &length);
  if (rc != 0) return nullptr;
  char host[kHostTextSize];
  if (getnameinfo(sa, lookupLength(area, length), host, sizeof host, nullptr, 0, flags) != 0) {
    logError(0, errno, "get_socket_address: %d", flags);
    return nullptr;
  }
  return strdup(host);
}

char* get_peer_address(int fd) { return copyOrUnknown(get_socket_address(fd, 1, NI_NUMERICHOST)); }

char* get_local_address(int fd) { return copyOrUnknown(get_socket_address(fd, 0, NI_NUMERICHOST)); }

char* get_peer_address_str(int fd) { return get_peer_address(fd); }

int get_sock_port(int fd, int local, int* port) {
  sockaddr_storage area;
  std::memset(&area, 0, sizeof area);
  socklen_t length = kAddressAreaSize;
  sockaddr* sa = reinterpret_cast<sockaddr*>(&area);
  if (local) {
    if (getsockname(fd, sa, &length) != 0) {
      logError(0, errno, "getsockname failed");
      return 1;
    }
  } else if (getpeername(fd, sa, &length) != 0) {
    logError(0, errno, "getpeername failed");
    return 1;
  }
  char service[kServiceTextSize];
  if (getnameinfo(sa, lookupLength(area, length), nullptr, 0, service, sizeof service, NI_NUMERICSERV) != 0) {
    logError(0, errno, "get_sock_port: getnameinfo NI_NUMERICSERV failed");
    return 1;
  }
  *port = std::atoi(service);
  return 0;
}

int get_peer_port(int fd, int* port) { return get_sock_port(fd, 0, port); }

int get_local_port(int fd, int* port) { return get_sock_port(fd, 1, port); }

int get_peer_port_cached(int fd, int* port) {
  int result = 0;
  if (cachedPeerPort == -1) {
    int fetched = -1;
    result = get_sock_port(fd, 0, &fetched);
    cachedPeerPort = result == 0 ? fetched : -1;
  }
  *port = cachedPeerPort;
  return result;
}

int set_nonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) {
    logError(0, errno, "fcntl(%d, F_GETFL, 0)", fd);
    return 1;
  }
  if (flags & O_NONBLOCK) return 0;
  if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) {
    logError(0, errno, "fcntl(%d, F_SETFL, O_NONBLOCK)", fd);
    return 1;
  }
  return 0;
}

int set_blocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) {
    logError(0, errno, "fcntl(%d, F_GETFL, 0)", fd);
    return 1;
  }
  if (!(flags & O_NONBLOCK)) return 0;
  if (fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
    logError(0, errno, "fcntl(%d, F_SETFL, ~O_NONBLOCK)", fd);
    return 1;
  }
  return 0;
}

int set_tcp_nodelay(int fd) {
  return setIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1, "error setsockopt(%d, SO_TCP, TCP_NODELAY, %d)");
}

int set_keepalive(int fd) {
  return setIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1, "error setsockopt(%d, SOL_SOCKET, SO_KEEPALIVE, %d)");
}

int set_reuseaddr(int fd) {
  return setIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1, "error setsockopt(%d, SOL_SOCKET, SO_REUSEADDR, %d)");
}

int set_sndbuf(int fd, int bytes) {
  return setIntOption(fd, SOL_SOCKET, SO_SNDBUF, bytes, "error setsockopt(%d, SOL_SOCKET, SO_SNDBUF, %d)");
}

int set_rcvbuf(int fd, int bytes) {
  return setIntOption(fd, SOL_SOCKET, SO_RCVBUF, bytes, "error setsockopt(%d, SOL_SOCKET, SO_RCVBUF, %d)");
}

int set_tcp_cork(int fd, int on) {
  return setIntOption(fd, IPPROTO_TCP, TCP_CORK, on, "error setsockopt(%d, SO_TCP, TCP_CORK, %d)");
}

int cork_socket(int fd) { return set_tcp_cork(fd, 1); }

int uncork_socket(int fd) { return set_tcp_cork(fd, 0); }
