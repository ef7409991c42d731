// Socket addresses, ports, blocking mode and socket options.
//
// - Every operation returns 0 on success and 1 on failure, and reports a
//   failure once through logError at level 0 (with the errno of the moment).
// - The address operations return a new text that the caller frees with
//   free(); get_peer_address/get_local_address give "UNKNOWN" instead of null.
// - The two end selectors run in opposite senses: non-zero asks
//   get_socket_address for the peer, but get_sock_port for the socket's own end.
// - get_peer_port_cached keeps the first peer port it fetches for the rest of
//   the process, whatever descriptor is asked about later.
#pragma once

#include <cstdint>

char* get_socket_address(int fd, int peer, int flags);
char* get_peer_address(int fd);
char* get_local_address(int fd);
char* get_peer_address_str(int fd);

int get_sock_port(int fd, int local, int* port);
int get_peer_port(int fd, int* port);
int get_local_port(int fd, int* port);
int get_peer_port_cached(int fd, int* port);

// The process-wide cached peer port, -1 until a fetch succeeds.
extern std::int32_t cachedPeerPort;

int set_nonblocking(int fd);
int set_blocking(int fd);

int set_tcp_nodelay(int fd);
int set_keepalive(int fd);
int set_reuseaddr(int fd);
int set_sndbuf(int fd, int bytes);
int set_rcvbuf(int fd, int bytes);
int set_tcp_cork(int fd, int on);
int cork_socket(int fd);
int uncork_socket(int fd);
