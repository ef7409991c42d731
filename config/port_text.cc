#include "config/port_text.h"

#include <cctype>
#include <climits>

long atoiSaturated(const char* text) {
  if (text == nullptr) return 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (std::isspace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = (*p == '-');
    ++p;
  }
  long value = 0;
  for (; std::isdigit(*p); ++p) {
    if (value <= INT_MAX) value = value * 10 + (*p - '0');
  }
  if (value > INT_MAX) value = negative ? -static_cast<long>(INT_MAX) - 1 : INT_MAX;
  else if (negative) value = -value;
  return value;
}
