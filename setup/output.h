// Message output: every text the tool shows goes through here.
//
// - One byte stream: wide user messages are narrowed before they are written,
//   so standard output never becomes wide-oriented and narrow texts can be
//   mixed freely with them. "%s" arguments are narrow bytes, passed unchanged.
// - printInfo, printError and printDebug flush after each message; narrow
//   texts printed with printPlain follow the stream's own buffering.
// - Standard error carries only parser errors, fatal errors and TLS errors.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

// The message stream; standard output for the whole run of the setup tool.
extern FILE* outputStream;
// Set once an output file has been opened (at most once per process).
extern int outputFileOpened;

// Wide user messages. The two print identically.
void printInfo(const wchar_t* format, ...);
void printError(const wchar_t* format, ...);
// A wide formatted text written straight to standard output, not flushed.
void printDirect(const wchar_t* format, ...);

// "debug: ", the text and a line end, flushed; only while debugEnabled.
void printDebug(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A trace hook that prints nothing.
void trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A narrow text straight on standard output (ordinary buffering).
void printPlain(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A narrow text and a line end straight on standard output.
void printPlainLine(const char* text);

// The message and a line end on standard error, then exit with status 0.
[[noreturn]] void fatalError(const char* message);

void setDebug(int value);
void openOutputFile(const wchar_t* name);
// Multibyte conversion, at most as many bytes as the text has characters
// and at most 4095; "" when a character can't be converted.
std::string wideToMultibyte(const wchar_t* text);

// printf formatting into a string of any length.
std::string formatNarrow(const char* format, ...) __attribute__((format(printf, 1, 2)));
