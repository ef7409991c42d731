#include "config/text_reading.h"

#include <cctype>
#include <cstdint>
#include <limits>

std::int64_t parseLeadingInteger(const std::string& text, bool* overflowed) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t value = 0;
  bool over = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    int digit = text[i] - '0';
    // Accumulate towards the sign so that the most negative value fits.
    if (!negative) {
      if (value > (kMax - digit) / 10) over = true;
      else value = value * 10 + digit;
    } else {
      if (value < (kMin + digit) / 10) over = true;
      else value = value * 10 - digit;
    }
    if (over) {
      value = negative ? kMin : kMax;
      break;
    }
  }
  if (overflowed) *overflowed = over;
  return value;
}

std::int32_t parseLeadingInt32(const std::string& text) {
  std::int64_t value = parseLeadingInteger(text);
  if (value > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  if (value < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(value);
}
