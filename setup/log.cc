#include "setup/log.h"

#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int logToStdout = 1;
int syslogOpen = 0;
const int syslogPriorities[4] = {LOG_WARNING, LOG_WARNING, LOG_WARNING, LOG_WARNING};
LogBufferSink logBufferSink = nullptr;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
SyslogWriter syslogWriter = [](int priority, const char* format, const char* line) { syslog(priority, format, line); };
#pragma GCC diagnostic pop

namespace {
// The logger's two process-wide line buffers; it is not re-entrant.
char messageBuffer[kLogLineSize];
char lineBuffer[kLogLineSize];
}  // namespace

void trim_line_end(char* text) {
  std::size_t n = std::strlen(text);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) text[--n] = '\0';
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
void vlogMessage(int level, int errnum, const char* format, va_list args) {
  if (errnum != 0) {
    std::vsnprintf(messageBuffer, sizeof messageBuffer, format, args);
    trim_line_end(messageBuffer);
    // A line longer than the buffer is cut there on purpose.
    int n = std::snprintf(lineBuffer, sizeof lineBuffer, "%s: %s (%d)", messageBuffer, std::strerror(errnum), errnum);
    if (n < 0) lineBuffer[0] = '\0';
  } else {
    std::vsnprintf(lineBuffer, sizeof lineBuffer, format, args);
  }
  trim_line_end(lineBuffer);
  if (syslogOpen) {
    int priority = (level >= 0 && level < 4) ? syslogPriorities[level] : LOG_WARNING;
    syslogWriter(priority, "%s", lineBuffer);
  }
  if (logToStdout) {
    std::fputs(lineBuffer, stdout);
    std::fputc('\n', stdout);
  }
  if (logBufferSink) {
    // The sink gets its own copy: it may log while it works.
    char copy[kLogLineSize];
    std::memcpy(copy, lineBuffer, sizeof copy);
    logBufferSink(level, copy);
  }
}
#pragma GCC diagnostic pop

void logMessage(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vlogMessage(level, 0, format, args);
  va_end(args);
}

void logError(int level, int errnum, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vlogMessage(level, errnum, format, args);
  va_end(args);
}

void logMessageAndExit(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vlogMessage(level, 0, format, args);
  va_end(args);
  std::exit(1);
}

void logErrorAndExit(int level, int errnum, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vlogMessage(level, errnum, format, args);
  va_end(args);
  std::exit(1);
}

std::size_t bounded_copy(char* destination, const char* source, std::size_t size) {
  std::size_t length = std::strlen(source);
  if (size != 0) {
    std::size_t n = length < size - 1 ? length : size - 1;
    std::memcpy(destination, source, n);
    destination[n] = '\0';
  }
  return length;
}

std::size_t bounded_append(char* destination, const char* source, std::size_t size) {
  std::size_t length = std::strlen(source);
  const void* end = std::memchr(destination, '\0', size);
  if (!end) return size + length;
  std::size_t old = static_cast<std::size_t>(static_cast<const char*>(end) - destination);
  std::size_t room = size - old - 1;
  std::size_t n = length < room ? length : room;
  std::memcpy(destination + old, source, n);
  destination[old + n] = '\0';
  return old + length;
}

char* next_config_token(char** cursor) {
  if (!cursor || !*cursor) return nullptr;
  static const char kSeparators[] = " \t\r\n=";
  static const char kBlanks[] = " \t\r\n";
  char* token = *cursor;
  char* sep = std::strpbrk(token, kSeparators);
  if (!sep) {
    *cursor = nullptr;
    return token;
  }
  bool wasEquals = *sep == '=';
  *sep = '\0';
  char* p = sep + 1;
  p += std::strspn(p, kBlanks);
  if (*p == '=' && !wasEquals) {
    ++p;
    p += std::strspn(p, kBlanks);
  }
  *cursor = p;
  return token;
}
