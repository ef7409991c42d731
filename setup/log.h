// Log lines and bounded strings.
//
// A log line is at most 1023 characters with its trailing CR and LF removed.
// It is printed on standard output, sent to the system log while that is
// open, and handed to the shared-memory log buffer while one is active (the
// product library installs logBufferSink for that; the setup tool never does).
#pragma once

#include <cstdarg>
#include <cstddef>

constexpr std::size_t kLogLineSize = 1024;

extern int logToStdout;
extern int syslogOpen;
extern const int syslogPriorities[4];

// Writes a line to the open system log (syslog(3) unless a test replaces it);
// the logger always passes the format "%s".
using SyslogWriter = void (*)(int priority, const char* format, const char* line);
extern SyslogWriter syslogWriter;

// Receives a copy of each finished line while a log buffer is active.
using LogBufferSink = void (*)(int level, const char* line);
extern LogBufferSink logBufferSink;

void logMessage(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void logError(int level, int errnum, const char* format, ...) __attribute__((format(printf, 3, 4)));
void vlogMessage(int level, int errnum, const char* format, va_list args);
[[noreturn]] void logMessageAndExit(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
[[noreturn]] void logErrorAndExit(int level, int errnum, const char* format, ...) __attribute__((format(printf, 3, 4)));

// strlcpy/strlcat semantics: the result is terminated whenever size allows,
// and the return value is the length of the string the caller tried to make.
std::size_t bounded_copy(char* destination, const char* source, std::size_t size);
std::size_t bounded_append(char* destination, const char* source, std::size_t size);

void trim_line_end(char* text);
char* next_config_token(char** cursor);
