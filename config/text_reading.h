// Reading the manager's text files and the numbers in them.
//
// - readPiece reads what fgets would with a buffer of max_chars + 1 bytes:
//   up to and including the next line feed, but at most max_chars bytes, so
//   a longer line comes as several pieces. Unlike fgets it keeps NUL bytes,
//   and a read interrupted by a signal is retried.
//   False at the end of the stream or on a read error (check ferror).
// - parseLeadingInteger reads a decimal number as atol does (leading white
//   space, an optional sign, digits up to the first other character, none
//   giving 0), but a value beyond the 64-bit range is held at the nearest
//   end of the range instead of being undefined; *overflowed tells so.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

bool readPiece(std::FILE* stream, std::size_t max_chars, std::string* piece);
inline bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}
std::int64_t parseLeadingInteger(const std::string& text, bool* overflowed = nullptr);
// The same, held to the 32-bit range.
std::int32_t parseLeadingInt32(const std::string& text);
