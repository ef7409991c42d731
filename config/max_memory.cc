#include "config/max_memory.h"

#include <sys/utsname.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

#include "config/config.h"
#include "config/text_reading.h"
#include "setup/dir_lock.h"
#include "setup/file_replacer.h"
#include "setup/files.h"
#include "setup/line_reader.h"
#include "setup/output.h"
#include "setup/unique_fd.h"

namespace {

constexpr const char* kServerConfName = "conf/server.conf";
constexpr const char* kCopySuffix = "_t";
constexpr const char* kMeminfoPath = "/proc/meminfo";
constexpr std::size_t kConfPiece = 8095;   // read through an 8096-byte line buffer
constexpr std::size_t kSmallPiece = 2047;  // read through a 2048-byte line buffer

const char* heapSaveText(int code) {
  switch (code) {
    case kHeapNoWorkDir:
      return "Could not write to configuration file. Could not determine KZP Server Working directory, "
             "current changes would not be saved";
    case kHeapOpenFailed:
      return "Could not write to configuration file. Could not open the file, current changes would not be saved";
    case kHeapWriteFailed:
      return "Could not write to configuration file. Error writing to the file, current changes would not be saved";
    default:
      return "Could not write to configuration file. Pattern not found in the file, current changes would not be "
             "saved";
  }
}

bool contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

}  // namespace

std::string toUpperCopy(const std::string& text) {
  std::string upper = text;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

bool equalsIgnoreCase(const std::string& a, const std::string& b) { return toUpperCopy(a) == toUpperCopy(b); }

bool isMaxMemoryLine(const std::string& line) {
  return contains(line, "maxmemory") && !contains(line, "#") && !contains(line, "compute.maxmemory");
}

std::uint64_t parseMemoryArgument(const char* argument) {
  const std::string text = argument;
  std::int64_t unitKb;
  if (text.find_first_of("gG") != std::string::npos) {
    unitKb = 1048576;
  } else if (text.find_first_of("mM") != std::string::npos) {
    unitKb = 1024;
  } else if (text.find_first_of("kK") != std::string::npos) {
    unitKb = 1;
  } else {
    printPlainLine("No units for memory allocation specified. Please specify memory in g/m/k ");
    return 0;
  }
  // The last character goes whatever it is: the unit in "256m", the "b" in "2gb".
  bool overflowed = false;
  std::int64_t number = parseLeadingInteger(text.substr(0, text.size() - 1), &overflowed);
  std::int64_t productKb;
  if (overflowed || __builtin_mul_overflow(number, unitKb, &productKb)) {
    // Far beyond any machine: the ceiling refuses it with its own message.
    return std::numeric_limits<std::uint64_t>::max();
  }
  if (productKb == 0) {
    printPlain("Conversion error");
    return 0;
  }
  // A negative size becomes a huge one, which the ceiling refuses.
  return static_cast<std::uint64_t>(productKb) >> 10;
}

std::int64_t getSystemMemoryMb() {
  UniqueFile file(std::fopen(kMeminfoPath, "r"));
  if (!file) {
    printPlain("Failed to open %s\n", kMeminfoPath);
    return 0;
  }
  std::int64_t mb = 0;
  std::string line;
  while (readPiece(file.get(), kSmallPiece, &line)) {
    std::size_t colon = line.find(':');
    if (colon == std::string::npos || line.compare(0, 8, "MemTotal") != 0) continue;
    mb = parseLeadingInteger(line.substr(colon + 1)) >> 10;
  }
  return mb;
}

bool is64BitMachine() {
  struct utsname name;
  if (::uname(&name) != 0) {
    printError(L"ERROR: uname call failed!\n");
    return false;
  }
  for (const char* known : {"x86_64", "64", "AMD64", "x64"}) {
    if (equalsIgnoreCase(name.machine, known)) return true;
  }
  return false;
}

std::uint64_t maxAllowedMemoryFor(std::int64_t systemMb, bool is64Bit) {
  if (systemMb <= 512) return 256;
  if (is64Bit) return static_cast<std::uint64_t>(systemMb);
  if (systemMb > 2000) return 1024;
  return static_cast<std::uint64_t>(systemMb / 2);
}

std::uint64_t getMaxAllowedMemoryMb() {
  std::int64_t systemMb = getSystemMemoryMb();
  if (systemMb <= 512) return 256;
  return maxAllowedMemoryFor(systemMb, is64BitMachine());
}

int saveHeapSize(std::uint64_t sizeMb) {
  printDebug("saveHeapSize");
  std::optional<std::string> confPath = workingPath(kProductServer, kServerConfName, kNoServerWorkingDir);
  if (!confPath) return kHeapNoWorkDir;
  const std::string path = *confPath;
  const std::string copyPath = path + kCopySuffix;

  // The directory is locked before the file is read: a second run waits
  // for this one's rename, and then reads (and keeps) what this one wrote.
  // The file is read before anything is made: a run that can't read it
  // leaves no new name.
  HeldDirLock lock = lockDirectoryOf(path);
  UniqueFile in = lock ? openRegularFile(path) : nullptr;
  if (!in) {
    printDebug("Could not open '%s': %s", path.c_str(), std::strerror(errno));
    return kHeapOpenFailed;
  }
  FileReplacer copy(path, FileReplacer::Placement::kRename, copyPath);
  std::string err;
  if (!copy.open(&err)) {
    printDebug("Could not open '%s': %s", copyPath.c_str(), err.c_str());
    copy.keepFixedCopy();  // a copy that was made stays behind, as it always has
    return kHeapOpenFailed;
  }

  const std::string replacement = formatNarrow("maxmemory=%llu\n", static_cast<unsigned long long>(sizeMb));
  bool found = false;
  std::string line;
  while (readPiece(in.get(), kConfPiece, &line)) {
    bool isMax = isMaxMemoryLine(line);
    found = found || isMax;
    if (!copy.write(isMax ? replacement : line, &err)) {
      printDebug("Could not write '%s': %s", copyPath.c_str(), err.c_str());
      copy.keepFixedCopy();
      return kHeapWriteFailed;
    }
  }
  if (std::ferror(in.get())) {
    // A copy of part of the file must not take the place of all of it.
    printDebug("Could not read '%s'", path.c_str());
    copy.keepFixedCopy();
    return kHeapWriteFailed;
  }
  in.reset();
  if (!found) {
    copy.keepFixedCopy();
    return kHeapPatternNotFound;
  }
  if (!copy.commit(&err)) {
    printDebug("Could not replace '%s': %s", path.c_str(), err.c_str());
    copy.keepFixedCopy();
    return kHeapWriteFailed;
  }
  return kHeapSaved;
}

int setServerMaxMemory(const char* size) {
  std::int64_t systemMb = getSystemMemoryMb();
  std::uint64_t sizeMb = parseMemoryArgument(size);
  if (sizeMb < kMinServerMemoryMb) {
    printPlain("memory specified must be greater than %u %s \n ", static_cast<unsigned>(kMinServerMemoryMb), "mb");
    return 0;
  }
  std::uint64_t ceiling = getMaxAllowedMemoryMb();  // reads the machine's memory afresh
  if (sizeMb > ceiling) {
    printPlain("memory specified must be smaller than %llu %s \n ", static_cast<unsigned long long>(ceiling), "mb");
    return 0;
  }
  printDebug("parsed_mem: %llu", static_cast<unsigned long long>(sizeMb));
  printDebug("system_mem: %lld", static_cast<long long>(systemMb));
  printDebug("MaxAllowed_Mem: %llu", static_cast<unsigned long long>(ceiling));
  int code = saveHeapSize(sizeMb);
  if (code == kHeapSaved) return 1;
  printPlainLine(heapSaveText(code));
  return 0;
}

long getServerMaxMemory() {
  std::optional<std::string> path = workingPath(kProductServer, kServerConfName, kNoServerWorkingDir);
  if (!path) return 0;
  UniqueFile file(std::fopen(path->c_str(), "r"));
  if (!file) return 0;
  std::string line;
  while (readPiece(file.get(), kConfPiece, &line)) {
    if (!isMaxMemoryLine(line)) continue;
    // The first maxmemory line decides; one without a value after "=" reads 0.
    std::size_t eq = line.find('=');
    if (eq == std::string::npos) return 0;
    return static_cast<long>(parseLeadingInteger(line.substr(eq + 1)));
  }
  return 0;
}

int dumpServerConf() {
  std::optional<std::string> path = workingPath(kProductServer, kServerConfName, kNoServerWorkingDir);
  if (!path) return 0;
  UniqueFile file(std::fopen(path->c_str(), "r"));
  if (!file) return 0;
  std::string line;
  while (readPiece(file.get(), kSmallPiece, &line)) {
    std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    printDebug("key=value: %s=%s", line.substr(0, eq).c_str(), line.substr(eq + 1).c_str());
  }
  return 1;
}
