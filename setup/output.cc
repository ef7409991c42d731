#include "setup/output.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "setup/settings.h"

FILE* outputStream = stdout;
int outputFileOpened = 0;

namespace {

// Every message text of the program is ASCII, so a wide format becomes a
// narrow one character by character; "%s" then takes the narrow argument
// bytes exactly as the wide printer would be asked to.
std::string narrowFormat(const wchar_t* format) {
  std::string out;
  for (const wchar_t* p = format; *p; ++p) {
    wchar_t c = *p;
    out.push_back(c >= 0 && c < 128 ? static_cast<char>(c) : '?');
  }
  return out;
}

std::string vformatNarrow(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, n);
  std::vector<char> big(static_cast<size_t>(n) + 1);
  std::vsnprintf(big.data(), big.size(), format, args);
  return std::string(big.data(), n);
}

}  // namespace

std::string formatNarrow(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string s = vformatNarrow(format, args);
  va_end(args);
  return s;
}

namespace {

void writeMessage(FILE* stream, const std::string& text, bool flush) {
  if (!text.empty()) std::fwrite(text.data(), 1, text.size(), stream);
  if (flush) std::fflush(stream);
}

void vprintWide(FILE* stream, bool flush, const wchar_t* format, va_list args) {
  std::string narrow = narrowFormat(format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  writeMessage(stream, vformatNarrow(narrow.c_str(), args), flush);
#pragma GCC diagnostic pop
}

}  // namespace

// printInfo and printError print alike: the message stream, flushed.
void printInfo(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  vprintWide(outputStream, true, format, args);
  va_end(args);
}

void printError(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  vprintWide(outputStream, true, format, args);
  va_end(args);
}

void printDirect(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  vprintWide(stdout, false, format, args);
  va_end(args);
}

void printDebug(const char* format, ...) {
  if (!debugEnabled) return;
  va_list args;
  va_start(args, format);
  std::string text = "debug: " + vformatNarrow(format, args) + "\n";
  va_end(args);
  writeMessage(outputStream, text, true);
}

void trace(const char*, ...) {}

void printPlain(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = vformatNarrow(format, args);
  va_end(args);
  writeMessage(stdout, text, false);
}

void printPlainLine(const char* text) {
  std::fputs(text, stdout);
  std::fputc('\n', stdout);
}

void fatalError(const char* message) {
  std::fprintf(stderr, "%s\n", message);
  std::exit(0);
}

void setDebug(int value) { debugEnabled = value; }

std::string wideToMultibyte(const wchar_t* text) {
  // As many bytes as the text has characters, within a 4096-byte name.
  std::vector<char> out(4096, '\0');
  std::mbstate_t state{};
  const wchar_t* src = text;
  size_t n = std::wcsrtombs(out.data(), &src, std::min<size_t>(std::wcslen(text), 4095), &state);
  if (n == static_cast<size_t>(-1)) return std::string();
  return std::string(out.data(), n);
}

void openOutputFile(const wchar_t* name) {
  if (outputFileOpened) return;
  outputFileOpened = 1;
  std::string narrow = wideToMultibyte(name);
  FILE* f = std::fopen(narrow.c_str(), "w");
  outputStream = f ? f : stdout;
}
