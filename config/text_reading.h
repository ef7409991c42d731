// The lines and numbers of the manager's text files (the lines themselves
// are read with setup/line_reader.h).
//
// - startsWith: the text begins with the prefix.
// - parseLeadingInteger reads a decimal number as atol does (leading white
//   space, an optional sign, digits up to the first other character, none
//   giving 0), but a value beyond the 64-bit range is held at the nearest
//   end of the range instead of being undefined; *overflowed tells so.
#pragma once

#include <cstdint>
#include <string>

inline bool startsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}
std::int64_t parseLeadingInteger(const std::string& text, bool* overflowed = nullptr);
// The same, held to the 32-bit range.
std::int32_t parseLeadingInt32(const std::string& text);
