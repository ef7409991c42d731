// Small helpers for the product library's socket tests: connected pairs on
// the loopback interface (ephemeral ports) and capture of log lines.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "setup/unique_fd.h"

namespace nettest {

// A connected TCP pair over loopback: client, the server's accepted end, and
// the listening socket it came from.
struct TcpPair {
  UniqueFd listener;
  UniqueFd client;
  UniqueFd server;
  int port = 0;
};

// family AF_INET (127.0.0.1) or AF_INET6 (::1). False when the family has no
// loopback here.
inline bool makeTcpPair(TcpPair* pair, int family = AF_INET) {
  sockaddr_storage ss{};
  socklen_t len;
  if (family == AF_INET6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    len = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof *a;
  }
  UniqueFd listener(::socket(family, SOCK_STREAM, 0));
  if (!listener) return false;
  if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&ss), len) != 0) return false;
  if (::listen(listener.get(), 4) != 0) return false;
  socklen_t got = sizeof ss;
  if (::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&ss), &got) != 0) return false;
  pair->port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                        : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  UniqueFd client(::socket(family, SOCK_STREAM, 0));
  if (!client) return false;
  if (::connect(client.get(), reinterpret_cast<sockaddr*>(&ss), len) != 0) return false;
  UniqueFd server(::accept(listener.get(), nullptr, nullptr));
  if (!server) return false;
  pair->listener = std::move(listener);
  pair->client = std::move(client);
  pair->server = std::move(server);
  return true;
}

// A connected local stream pair (not TCP).
struct LocalPair {
  UniqueFd a;
  UniqueFd b;
};

inline bool makeLocalPair(LocalPair* pair) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return false;
  pair->a.reset(fds[0]);
  pair->b.reset(fds[1]);
  return true;
}

// What the logger printed on standard output while body ran.
inline std::string logged(const std::function<void()>& body) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  body();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// The line logError prints for a text and an error number.
inline std::string errorLine(const std::string& text, int errnum) {
  return text + ": " + std::strerror(errnum) + " (" + std::to_string(errnum) + ")\n";
}

// Reads whatever arrives within the time given (milliseconds) until the peer
// closes or nothing more comes.
inline std::string drain(int fd, int waitMs = 200) {
  std::string out;
  for (;;) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    timeval tv{waitMs / 1000, (waitMs % 1000) * 1000};
    if (::select(fd + 1, &set, nullptr, nullptr, &tv) <= 0) break;
    char buf[65536];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

// The server end goes away with a reset (SO_LINGER of 0); returns once the
// client end has seen it. Sends on the client then fail, the first with
// ECONNRESET and every later one with EPIPE, which raises SIGPIPE unless the
// send asks the kernel not to.
inline bool resetServerEnd(TcpPair* pair) {
  linger noLinger{1, 0};
  if (::setsockopt(pair->server.get(), SOL_SOCKET, SO_LINGER, &noLinger, sizeof noLinger) != 0) return false;
  pair->server.reset();
  fd_set set;
  FD_ZERO(&set);
  FD_SET(pair->client.get(), &set);
  timeval tv{5, 0};
  return ::select(pair->client.get() + 1, &set, nullptr, nullptr, &tv) == 1;
}

// Lets the process hold descriptor numbers up to `highest`: a soft limit
// below that (1024 is the usual default) is raised to the hard limit, and a
// hard limit below it is raised as far as needed where the process may
// (root). False, with the reason, when the limit stays too low.
inline bool allowDescriptorsUpTo(int highest, std::string* why) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    *why = std::string("cannot read the descriptor limit: ") + std::strerror(errno);
    return false;
  }
  const rlim_t needed = static_cast<rlim_t>(highest) + 1;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur >= needed) return true;
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed) {
    rlimit raised{needed, needed};
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) return true;
    *why = "the hard descriptor limit (" + std::to_string(limit.rlim_max) + ") is too low for descriptor " +
           std::to_string(highest) + " and cannot be raised: " + std::strerror(errno);
    return false;
  }
  limit.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    *why = std::string("cannot raise the descriptor limit: ") + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace nettest
