#include "config/keys.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "config/config.h"
#include "setup/files.h"
#include "setup/write_file.h"
#include "setup/line_reader.h"
#include "setup/new_copy.h"
#include "setup/output.h"
#include "setup/unique_fd.h"

namespace {

constexpr const char* kKeyDirName = "conf/server.allow";
constexpr std::size_t kKeyBufferSize = 4096;  // the key and its terminator

std::optional<std::string> keyDir(const wchar_t* noDirMessage) {
  return workingPath(kProductAgent, kKeyDirName, noDirMessage);
}

std::array<OptText, kMaxKeyNames> keyCacheNames;
int keyCacheCount = 0;

}  // namespace

bool isValidKeyName(const char* name) {
  if (name == nullptr || *name == '\0') return false;
  if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
  // A name of the file writers' temporary names is never a key: a run that
  // finds one takes it for what a killed run left, and removes it.
  return std::strchr(name, '/') == nullptr && !isTemporaryName(name);
}

void normaliseLineEnds(std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\n') {
      while (!out.empty() && out.back() == '\r') out.pop_back();
    }
    out.push_back(c);
  }
  text.swap(out);
}

OptText readKeyFromStdin() {
  std::string key;
  // A piece runs up to and including the next line end, at most 4095 bytes.
  // The key is text: a NUL ends its piece, and the rest of that piece is
  // dropped.
  std::string piece;
  while (readBoundedLine(stdin, &piece, kKeyBufferSize)) {
    if (key.size() + piece.size() >= kKeyBufferSize) {
      printError(L"Key entered is too large\n");
      return std::nullopt;
    }
    printDebug("got: %s", piece.c_str());
    key += piece;
  }
  if (std::ferror(stdin)) {
    // Standard input closed or unreadable: what came so far is not the key.
    printError(L"Could not read the key from standard input: %s\n", std::strerror(errno));
    return std::nullopt;
  }
  printDebug("Returning: %s", key.c_str());
  return key;
}

int saveKey(const char* name, std::string& key) {
  std::optional<std::string> dir = keyDir(L"ERROR: Could not determine KZP Agent Working directory\n");
  if (!dir) return 1;
  if (!isValidKeyName(name)) {
    printError(L"Invalid key name '%s'\n", name ? name : "");
    return 1;
  }
  std::string path = *dir + "/" + name;
  printDebug("Saving to file: %s", path.c_str());
  normaliseLineEnds(key);
  int result = write_file(path.c_str(), key);
  printDebug("write returned %d", result);
  return result;
}

std::string keyNameFromDigest(const char* key, int length) {
  std::string name = md5_hex(key, length);
  printDebug("filename=%s", name.c_str());
  return name;
}

int listKeyFiles(std::vector<std::string>& names) {
  names.clear();
  std::optional<std::string> dir = keyDir(kNoServerWorkingDir);
  if (!dir) return 0;
  printDebug("Using KZP Configuration Directory: %s", dir->c_str());
  UniqueDir handle(::opendir(dir->c_str()));
  if (!handle) {
    printError(L"Failed to open key dir '%s'.\n", dir->c_str());
    return 0;
  }
  while (names.size() < static_cast<std::size_t>(kMaxKeyNames)) {
    struct dirent* entry = ::readdir(handle.get());
    if (entry == nullptr) break;
    printDebug("Directory Entry: %s", entry->d_name);
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    if (isTemporaryName(entry->d_name)) continue;  // a killed run's, not a key
    std::string path = *dir + "/" + entry->d_name;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) continue;  // a dangling link, for one
    names.push_back(entry->d_name);
  }
  return static_cast<int>(names.size());
}

void printKeyList(std::vector<std::string>& names, int count) {
  printPlain("Installed keys:\n");
  std::size_t shown = std::min(names.size(), static_cast<std::size_t>(std::max(count, 0)));
  for (std::size_t i = 0; i < shown; ++i) printPlain("\t%s\n", names[i].c_str());
  names.clear();
  printPlain("%d keys installed\n", count);
}

int deleteKey(const char* name) {
  std::optional<std::string> dir = keyDir(kNoServerWorkingDir);
  if (!dir) return 0;
  if (!isValidKeyName(name)) {
    printError(L"Invalid key name '%s'\n", name ? name : "");
    return 0;
  }
  std::string path = *dir + "/" + name;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return 0;
  return ::unlink(path.c_str()) == 0 ? 1 : 0;
}

OptText nextKeySequenceName() {
  std::optional<std::string> dir = keyDir(kNoServerWorkingDir);
  if (!dir) return std::nullopt;
  for (int i = 0; i < 10000; ++i) {
    std::string name = std::to_string(i);
    std::string path = *dir + "/" + name;
    printDebug("Checking existence of '%s'", path.c_str());
    struct stat st;
    int status = ::stat(path.c_str(), &st) == 0 ? 0 : -1;
    printDebug("stat returned %d", status);
    if (status != 0) {
      printDebug("seq '%s' doesnt exist, using as value", path.c_str());
      return name;
    }
  }
  return std::nullopt;
}

void freeKeyCache() {
  for (int i = 0; i < keyCacheCount && i < kMaxKeyNames; ++i) keyCacheNames[static_cast<std::size_t>(i)].reset();
}

int loadKeyCache() {
  freeKeyCache();
  std::vector<std::string> names;
  keyCacheCount = listKeyFiles(names);
  for (std::size_t i = 0; i < names.size(); ++i) keyCacheNames[i] = names[i];
  return keyCacheCount;
}

int getKeyCount() { return keyCacheCount; }

int getKeyNameLength(int index) {
  if (index < 0 || index >= keyCacheCount) return 0;
  const OptText& name = keyCacheNames[static_cast<std::size_t>(index)];
  return name ? static_cast<int>(name->size()) : 0;
}

void copyKeyName(int index, char* buffer) {
  if (index < 0 || index >= keyCacheCount || buffer == nullptr) return;
  const OptText& name = keyCacheNames[static_cast<std::size_t>(index)];
  if (name) std::memcpy(buffer, name->c_str(), name->size() + 1);
}

const char* listKeysStub() { return nullptr; }
