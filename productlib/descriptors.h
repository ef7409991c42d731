// Descriptor input and output that survives interruption by signals.
//
// - write_all, read_eintr, read_full and select_eintr log nothing and return
//   what the system call gave (their callers report); only they repeat a
//   call interrupted by a signal (EINTR).
// - Counts are signed 32-bit: a count beyond INT32_MAX is refused with -1
//   (EOVERFLOW) by write_all and read_full, and read_eintr reads at most
//   INT32_MAX bytes at a time.
// - send_all is write_all for a peer connection: on a socket it sends with
//   MSG_NOSIGNAL, so a peer that has gone away gives -1 (EPIPE) rather than
//   ending the process by SIGPIPE.
// - close_logged closes only descriptors above 0 and logs a failure at level 1.
// - The magic number is 4 bytes, most significant first.
#pragma once

#include <sys/select.h>

#include <cstddef>
#include <cstdint>

// Writes at most 65536 bytes per call. The count, or -1 (a write that
// writes nothing is a failure too, EIO).
std::int32_t write_all(int fd, const void* data, std::size_t count);
// As write_all; other descriptors than sockets are written with write.
std::int32_t send_all(int fd, const void* data, std::size_t count);
std::int32_t read_eintr(int fd, void* buffer, std::size_t count);
// Fewer bytes than the count only at end of file; -1 on a failure.
std::int32_t read_full(int fd, void* buffer, std::size_t count);
int select_eintr(int nfds, fd_set* readSet, fd_set* writeSet, fd_set* exceptSet, timeval* timeout);
void close_logged(int fd, const char* name);
int read_magic(int fd, std::uint32_t expected);
int write_magic(int fd, std::uint32_t number);
