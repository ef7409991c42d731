#include "productlib/sockets.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "tests/net_test_util.h"

using nettest::errorLine;
using nettest::logged;

namespace {

struct FreeText {
  void operator()(char* p) const { std::free(p); }
};
using Text = std::unique_ptr<char, FreeText>;

int localPortOf(int fd) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len), 0);
  return ss.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port)
                                  : ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

int intOption(int fd, int level, int option) {
  int value = -1;
  socklen_t len = sizeof value;
  EXPECT_EQ(getsockopt(fd, level, option, &value, &len), 0);
  return value;
}

}  // namespace

TEST(SocketAddresses, LoopbackAddressesAndPortsOfBothEnds) {
  nettest::TcpPair p;
  ASSERT_TRUE(nettest::makeTcpPair(&p));
  std::string out = logged([&] {
    EXPECT_STREQ(Text(get_peer_address(p.client.get())).get(), "127.0.0.1");
    EXPECT_STREQ(Text(get_local_address(p.server.get())).get(), "127.0.0.1");
    EXPECT_STREQ(Text(get_peer_address_str(p.server.get())).get(), "127.0.0.1");
    // The selector of get_socket_address: non-zero is the peer.
    EXPECT_STREQ(Text(get_socket_address(p.client.get(), 1, NI_NUMERICHOST)).get(), "127.0.0.1");
    int port = 0;
    EXPECT_EQ(get_local_port(p.listener.get(), &port), 0);
    EXPECT_EQ(port, p.port);
    EXPECT_EQ(get_peer_port(p.client.get(), &port), 0);
    EXPECT_EQ(port, p.port);
    EXPECT_EQ(get_peer_port(p.server.get(), &port), 0);
    EXPECT_EQ(port, localPortOf(p.client.get()));
    // The selector of get_sock_port: non-zero is the socket's own end.
    EXPECT_EQ(get_sock_port(p.server.get(), 1, &port), 0);
    EXPECT_EQ(port, p.port);
  });
  EXPECT_EQ(out, "");
}

TEST(SocketAddresses, Ipv6LoopbackInNumericNotation) {
  nettest::TcpPair p;
  if (!nettest::makeTcpPair(&p, AF_INET6)) GTEST_SKIP() << "no IPv6 loopback here";
  EXPECT_STREQ(Text(get_peer_address(p.client.get())).get(), "::1");
  EXPECT_STREQ(Text(get_local_address(p.server.get())).get(), "::1");
  int port = 0;
  EXPECT_EQ(get_peer_port(p.client.get(), &port), 0);
  EXPECT_EQ(port, p.port);
}

TEST(SocketAddresses, UnconnectedSocketGivesUnknownAndLogsOnlyThePortQuery) {
  UniqueFd s(socket(AF_INET, SOCK_STREAM, 0));
  ASSERT_TRUE(s);
  std::string out = logged([&] {
    EXPECT_STREQ(Text(get_peer_address(s.get())).get(), "UNKNOWN");
    EXPECT_EQ(get_socket_address(s.get(), 1, NI_NUMERICHOST), nullptr);
  });
  EXPECT_EQ(out, "");
  int port = 4242;
  out = logged([&] { EXPECT_EQ(get_peer_port(s.get(), &port), 1); });
  EXPECT_EQ(out, errorLine("getpeername failed", ENOTCONN));
  EXPECT_EQ(port, 4242) << "the port is written only on success";
  out = logged([&] { EXPECT_EQ(get_local_port(-1, &port), 1); });
  EXPECT_EQ(out, errorLine("getsockname failed", EBADF));
}

TEST(SocketAddresses, FailedNameLookupIsLoggedWithTheCallersFlags) {
  // A local socket has no numeric host or service to give.
  nettest::LocalPair lp;
  ASSERT_TRUE(nettest::makeLocalPair(&lp));
  std::string out = logged([&] {
    errno = 0;
    EXPECT_EQ(get_socket_address(lp.a.get(), 0, NI_NUMERICHOST | NI_NAMEREQD), nullptr);
  });
  EXPECT_EQ(out.rfind("get_socket_address: " + std::to_string(NI_NUMERICHOST | NI_NAMEREQD), 0), 0u) << out;
}

TEST(SocketAddresses, HighDescriptorNumbersWork) {
  std::string why;
  if (!nettest::allowDescriptorsUpTo(1500, &why)) GTEST_SKIP() << why;
  nettest::TcpPair p;
  ASSERT_TRUE(nettest::makeTcpPair(&p));
  UniqueFd high(dup2(p.client.get(), 1500));
  ASSERT_EQ(high.get(), 1500);
  int port = 0;
  EXPECT_EQ(get_peer_port(high.get(), &port), 0);
  EXPECT_EQ(port, p.port);
  EXPECT_STREQ(Text(get_peer_address(high.get())).get(), "127.0.0.1");
}

TEST(CachedPeerPort, FirstFetchServesEveryDescriptorAfterwards) {
  cachedPeerPort = -1;
  nettest::TcpPair a, b;
  ASSERT_TRUE(nettest::makeTcpPair(&a));
  ASSERT_TRUE(nettest::makeTcpPair(&b));
  ASSERT_NE(a.port, b.port);
  int port = 0;
  EXPECT_EQ(get_peer_port_cached(a.client.get(), &port), 0);
  EXPECT_EQ(port, a.port);
  EXPECT_EQ(get_peer_port_cached(b.client.get(), &port), 0);
  EXPECT_EQ(port, a.port) << "the cache belongs to the process, not the descriptor";
  // Not even a system call: a closed descriptor gets the cached port too.
  EXPECT_EQ(get_peer_port_cached(-1, &port), 0);
  EXPECT_EQ(port, a.port);
}

TEST(CachedPeerPort, FailedFetchStoresMinusOneAndTriesAgainNextTime) {
  cachedPeerPort = -1;
  int port = 99;
  std::string out = logged([&] { EXPECT_EQ(get_peer_port_cached(-1, &port), 1); });
  EXPECT_EQ(out, errorLine("getpeername failed", EBADF));
  EXPECT_EQ(port, -1);
  EXPECT_EQ(cachedPeerPort, -1);
  nettest::TcpPair p;
  ASSERT_TRUE(nettest::makeTcpPair(&p));
  EXPECT_EQ(get_peer_port_cached(p.client.get(), &port), 0);
  EXPECT_EQ(port, p.port);
  cachedPeerPort = -1;
}

TEST(BlockingMode, TogglesOnlyWhenNeeded) {
  nettest::TcpPair p;
  ASSERT_TRUE(nettest::makeTcpPair(&p));
  int fd = p.client.get();
  EXPECT_EQ(set_blocking(fd), 0);
  EXPECT_FALSE(fcntl(fd, F_GETFL) & O_NONBLOCK);
  EXPECT_EQ(set_nonblocking(fd), 0);
  EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
  EXPECT_EQ(set_nonblocking(fd), 0);
  EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
  EXPECT_EQ(set_blocking(fd), 0);
  EXPECT_FALSE(fcntl(fd, F_GETFL) & O_NONBLOCK);
}

TEST(BlockingMode, BadDescriptorFailsAtTheFlagRead) {
  std::string out = logged([] {
    EXPECT_EQ(set_nonblocking(-1), 1);
    EXPECT_EQ(set_blocking(-1), 1);
  });
  EXPECT_EQ(out, errorLine("fcntl(-1, F_GETFL, 0)", EBADF) + errorLine("fcntl(-1, F_GETFL, 0)", EBADF));
}

TEST(SocketOptions, SetOnTcpSocket) {
  nettest::TcpPair p;
  ASSERT_TRUE(nettest::makeTcpPair(&p));
  int fd = p.client.get();
  std::string out = logged([&] {
    EXPECT_EQ(set_tcp_nodelay(fd), 0);
    EXPECT_EQ(set_keepalive(fd), 0);
    EXPECT_EQ(set_reuseaddr(fd), 0);
    EXPECT_EQ(set_sndbuf(fd, 65536), 0);
    EXPECT_EQ(set_rcvbuf(fd, 32768), 0);
    EXPECT_EQ(cork_socket(fd), 0);
  });
  EXPECT_EQ(out, "");
  EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_NODELAY), 1);
  EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_REUSEADDR), 1);
  EXPECT_GE(intOption(fd, SOL_SOCKET, SO_SNDBUF), 65536);  // the kernel doubles it
  EXPECT_GE(intOption(fd, SOL_SOCKET, SO_RCVBUF), 32768);
  EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_CORK), 1);
  EXPECT_EQ(uncork_socket(fd), 0);
  EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_CORK), 0);
}

TEST(SocketOptions, FailureTextsNameDescriptorAndValue) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  UniqueFd r(fds[0]), w(fds[1]);
  int fd = r.get();
  std::string d = std::to_string(fd);
  struct Case {
    std::function<int()> call;
    std::string text;
  } cases[] = {
      {[&] { return set_tcp_nodelay(fd); }, "error setsockopt(" + d + ", SO_TCP, TCP_NODELAY, 1)"},
      {[&] { return set_keepalive(fd); }, "error setsockopt(" + d + ", SOL_SOCKET, SO_KEEPALIVE, 1)"},
      {[&] { return set_reuseaddr(fd); }, "error setsockopt(" + d + ", SOL_SOCKET, SO_REUSEADDR, 1)"},
      {[&] { return set_sndbuf(fd, 4096); }, "error setsockopt(" + d + ", SOL_SOCKET, SO_SNDBUF, 4096)"},
      {[&] { return set_rcvbuf(fd, 8192); }, "error setsockopt(" + d + ", SOL_SOCKET, SO_RCVBUF, 8192)"},
      {[&] { return set_tcp_cork(fd, 5); }, "error setsockopt(" + d + ", SO_TCP, TCP_CORK, 5)"},
      {[&] { return cork_socket(fd); }, "error setsockopt(" + d + ", SO_TCP, TCP_CORK, 1)"},
      {[&] { return uncork_socket(fd); }, "error setsockopt(" + d + ", SO_TCP, TCP_CORK, 0)"},
  };
  for (auto& c : cases) {
    std::string out = logged([&] { EXPECT_EQ(c.call(), 1) << c.text; });
    EXPECT_EQ(out, errorLine(c.text, ENOTSOCK));
  }
}

TEST(SocketOptions, CorkOnLocalStreamSocketFails) {
  nettest::LocalPair lp;
  ASSERT_TRUE(nettest::makeLocalPair(&lp));
  int fd = lp.a.get();
  std::string out = logged([&] { EXPECT_EQ(cork_socket(fd), 1); });
  EXPECT_EQ(out, errorLine("error setsockopt(" + std::to_string(fd) + ", SO_TCP, TCP_CORK, 1)", EOPNOTSUPP));
}
