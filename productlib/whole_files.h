// Whole files and descriptor digests.
//
// - read_whole_file reads a regular file with one read into a new zeroed
//   buffer of exactly its size (no terminator). Once the buffer is stored,
//   the caller owns it whether the call succeeds or not, and frees it with
//   free. Files beyond INT32_MAX bytes are refused.
// - md5_fd digests what the descriptor yields from its position to its end,
//   a chunk at a time; the descriptor is neither moved back nor closed.
#pragma once

#include <cstdint>

int read_whole_file(const char* path, char** buffer, int* length);
int md5_fd(int fd, unsigned char* digest, std::uint32_t chunkSize);
