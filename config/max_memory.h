// The manager's maximum memory: the maxmemory lines of conf/server.conf.
//
// - A size argument is a number and a unit letter found anywhere in it
//   (g before m before k, either case); its last character is dropped
//   before the number is read, so "2gb" is 2 gigabytes. Sizes are whole MB.
// - Accepted sizes run from 256 MB to a ceiling worked out from MemTotal of
//   /proc/meminfo and whether uname names a 64-bit machine. A size that
//   overflows, or a negative one, counts as too large.
// - A maxmemory line contains "maxmemory", no "#", and not
//   "compute.maxmemory"; every one is replaced by "maxmemory=<MB>\n", other
//   lines are copied unchanged. The new file is built in "server.conf_t"
//   beside it (mode and owner of the old file), written with checks,
//   synced and renamed over it (a link at the path is replaced, a file
//   bind-mounted there can't be); a failure leaves the old file whole (and,
//   as before, the copy behind, once one was made). The file is read before
//   the copy is made: a path that can't be read, or that is not a regular
//   file (or a link to one), counts as a file that can't be opened and
//   leaves no copy.
// - User messages are narrow texts on standard output; traces are debug.
#pragma once

#include <cstdint>
#include <string>

constexpr std::uint64_t kMinServerMemoryMb = 256;

// saveHeapSize results.
enum HeapSaveResult {
  kHeapSaved = 0,
  kHeapNoWorkDir = 1,
  kHeapOpenFailed = 2,
  kHeapWriteFailed = 3,
  kHeapPatternNotFound = 4,
};

std::uint64_t parseMemoryArgument(const char* argument);
std::int64_t getSystemMemoryMb();
bool is64BitMachine();
std::uint64_t getMaxAllowedMemoryMb();
// The ceiling for a machine of this memory and word size.
std::uint64_t maxAllowedMemoryFor(std::int64_t systemMb, bool is64Bit);
int saveHeapSize(std::uint64_t sizeMb);

bool isMaxMemoryLine(const std::string& line);
bool equalsIgnoreCase(const std::string& a, const std::string& b);
std::string toUpperCopy(const std::string& text);

// Readers no operation of the tool calls; kept for the product's other users.
long getServerMaxMemory();
int dumpServerConf();
