// Framing of the peer protocol over a TCP stream.
//
// - Every integer goes most significant byte first: a code is 4 bytes, a
//   64-bit value 8, a message is a 4-byte length and exactly that many bytes.
// - Each wait for more bytes ends after netReadTimeout seconds (120 until
//   set_net_timeout changes it); a read that keeps receiving has no limit.
// - 0 is success, 1 failure; each failure is logged once at level 0.
// - Readers write their out-values only on success.
// - The corked senders cork the socket, send, and uncork whatever happened,
//   so that a code and its message leave in the same segments.
// - A peer that has closed makes a sender fail with its text; it never ends
//   the process by SIGPIPE.
#pragma once

#include <cstdint>

void set_net_timeout(std::int64_t seconds);
std::int64_t get_net_timeout();

int net_read_full(int fd, void* buffer, int count);
int net_read_u16(int fd, std::uint16_t* value);
int net_read_u32(int fd, std::uint32_t* value);
int net_read_i32(int fd, std::int32_t* value);
int net_read_u64(int fd, std::uint64_t* value);
// A message longer than capacity is refused without a log line and stays
// unread in the stream.
int net_read_message(int fd, void* buffer, std::uint32_t capacity, std::uint32_t* length);

// 0 when a message of this length can be sent; otherwise logs why not
// ("message length is -1", or too large for the signed counts) and gives 1.
// Senders check it before anything of the message goes out.
int checkMessageLength(std::uint32_t length);
int send_code(int fd, std::uint32_t code);
int send_message(int fd, const void* data, std::uint32_t length);
int send_u64(int fd, std::uint64_t value);
int send_code_corked(int fd, std::uint32_t code);

// The corked frame: when corking fails nothing is sent (and nothing is
// uncorked); otherwise the body runs and the socket is uncorked whatever the
// body gave. The result is the body's, or 1 when uncorking failed.
int sendCorked(int fd, int (*body)(int fd, void* context), void* context);
