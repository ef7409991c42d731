#include "config/agent_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "config/config.h"
#include "config/text_reading.h"
#include "setup/dir_lock.h"
#include "setup/file_replacer.h"
#include "setup/files.h"
#include "setup/line_reader.h"
#include "setup/output.h"
#include "setup/unique_fd.h"

AgentConfigLines agentConfigStore;

namespace {

constexpr const char* kAgentConfigName = "conf/agent_config";
constexpr std::size_t kPieceSize = 4095;  // a longer line is stored as several entries

std::optional<std::string> agentConfigPath() {
  return workingPath(kProductAgent, kAgentConfigName, kNoServerWorkingDir);
}

// Writes the store through a replacer that open() was called on (opened
// tells how that went, openErr why not): the file of the moment is kept
// under ".bak", then the new file takes its place whole, with the old
// file's owner, mode, ACL and extended attributes.
int saveThrough(FileReplacer& file, bool opened, const std::string& openErr, const std::string& path) {
  printDebug("checking existence of '%s'", path.c_str());
  if (fileExists(path.c_str())) {
    std::string backup = path + ".bak";
    printDebug("Exists. Rename '%s' to '%s'", path.c_str(), backup.c_str());
    std::string err = openErr;
    if (!opened || !file.keepBackup(backup, &err)) {
      printError(L"Failed to create backup file: %s\n", err.c_str());
      return 0;
    }
    printDebug("Rename successful");
  }
  printDebug("Saving '%s'", path.c_str());
  std::string text;
  for (const std::string& line : agentConfigStore) text += line;
  std::string err = openErr;
  if (!opened || !file.write(text, &err) || !file.commit(&err)) {
    printDebug("%s", err.c_str());
    printError(L"Could not save output file\n");
    return 0;
  }
  return 1;
}

// Held from before the first load of an edit to finishAgentConfigEdits.
HeldDirLock editLock;

// The common tail of the setters: lock, load, edit, save.
int editSetting(const std::string& path, std::initializer_list<const char*> prefixes,
                const std::string& replacement, const std::string& appended, const char* appendTrace) {
  if (!editLock) editLock = lockDirectoryOf(path);
  if (!editLock) {
    printDebug("Could not lock '%s': %s", path.c_str(), std::strerror(errno));
    printError(L"Could not open configuration file\n");
    printError(L"Could not read agent configuration file\n");
    return 1;
  }
  if (!loadAgentConfig(path)) {
    printError(L"Could not read agent configuration file\n");
    return 1;
  }
  if (replaceOrAppendSetting(agentConfigStore, prefixes, replacement, appended) == 0) {
    printDebug("%s", appendTrace);
  }
  if (!saveAgentConfig(path)) {
    printError(L"Could not save config file\n");
    return 1;
  }
  return 0;
}

}  // namespace

int loadAgentConfig(const std::string& path) {
  if (!agentConfigStore.empty()) {
    printDebug("File was already read: %d", static_cast<int>(agentConfigStore.size()));
    return 1;
  }
  // A file that can't be read whole counts as missing: what was read of
  // it must not be written back as the whole file.
  UniqueFile file = openRegularFile(path);
  AgentConfigLines lines;
  std::string piece;
  if (file) {
    while (readPiece(file.get(), kPieceSize, &piece)) lines.push_back(piece);
  }
  if (!file || std::ferror(file.get())) {
    printDebug("Could not read '%s': %s", path.c_str(), std::strerror(errno));
    printError(L"Could not open configuration file\n");
    return 0;
  }
  agentConfigStore = std::move(lines);
  return 1;
}

void finishAgentConfigEdits() { editLock.reset(); }

int saveAgentConfig(const std::string& path) {
  FileReplacer file(path, FileReplacer::Placement::kRename);
  std::string openErr;
  bool opened = file.open(&openErr);
  return saveThrough(file, opened, openErr, path);
}

int replaceOrAppendSetting(AgentConfigLines& lines, std::initializer_list<const char*> prefixes,
                           const std::string& replacement, const std::string& appended) {
  int replaced = 0;
  for (std::string& line : lines) {
    for (const char* prefix : prefixes) {
      if (startsWith(line, prefix)) {
        trace("%s", line.c_str());
        line = replacement;
        ++replaced;
        break;
      }
    }
  }
  if (replaced == 0) {
    if (!lines.empty() && !lines.back().empty() && lines.back().back() != '\n') lines.back() += '\n';
    lines.push_back(appended);
  }
  return replaced;
}

std::optional<std::string> bindToValue(const AgentConfigLines& lines) {
  for (const std::string& line : lines) {
    if (!startsWith(line, "BindTo=")) continue;
    std::string value = line.substr(line.find('=') + 1);
    if (!value.empty() && value.back() == '\n') {
      value.pop_back();
      if (!value.empty() && value.back() == '\r') value.pop_back();
    }
    trace("%s", value.c_str());
    return value;
  }
  return std::nullopt;
}

int setAgentPort(const char* port) {
  if (port == nullptr) {
    printError(L"agent port cannot be null");
    return 1;
  }
  std::optional<std::string> path = agentConfigPath();
  if (!path) return 1;
  long value = parseLeadingInt32(port);
  if (value < 1 || value > 65535) {
    printError(L"Invalid port range");
    return 1;
  }
  std::string line = formatNarrow("LocalPort=%ld \n", value);
  return editSetting(*path, {"LocalPort="}, line, line, "Adding port value to end");
}

int setAgentDebug(bool on) {
  std::optional<std::string> path = agentConfigPath();
  if (!path) return 1;
  return editSetting(*path, {"Debug=", "# Debug=", "#Debug="}, on ? "Debug=1\n\n" : "# Debug=1\n\n",
                     on ? "Debug=1\n\n" : "#Debug=1\n\n", "Debug value to end");
}

int setAgentBindTo(const char* address) {
  if (address == nullptr) {
    printError(L"agent bindto cannot be null");
    return 1;
  }
  // A line end inside the value would smuggle further settings into the file.
  if (std::strpbrk(address, "\r\n") != nullptr) {
    printError(L"agent bindto cannot hold a line end\n");
    return 1;
  }
  std::optional<std::string> path = agentConfigPath();
  if (!path) return 1;
  std::string line = formatNarrow("BindTo=%s\n", address);
  return editSetting(*path, {"BindTo="}, line, line, "Adding bindto value to end");
}

OptText getAgentBindTo() {
  std::optional<std::string> path = agentConfigPath();
  if (!path) return std::nullopt;
  if (!loadAgentConfig(*path)) {
    printError(L"Could not read agent configuration file");
    return std::nullopt;
  }
  printDebug("Checking for BindTo entry");
  return bindToValue(agentConfigStore);
}

long agentPortFromValue(const char* /*value*/) { return 0; }

int getAgentPort() {
  std::optional<std::string> path = agentConfigPath();
  if (!path) return 0;
  if (!loadAgentConfig(*path)) {
    printError(L"Could not read agent configuration file\n");
    return 0;
  }
  printDebug("Checking for Port entry");
  for (const std::string& line : agentConfigStore) {
    if (startsWith(line, "LocalPort=")) return static_cast<int>(agentPortFromValue(line.c_str() + line.find('=') + 1));
  }
  return 0;
}

int isAgentDebugEnabled() {
  std::optional<std::string> path = agentConfigPath();
  if (!path) return 0;
  printDebug("Reading file");
  if (!loadAgentConfig(*path)) {
    printError(L"Could not read agent configuration file\n");
    return 0;
  }
  printDebug("Checking for debug entry");
  for (const std::string& line : agentConfigStore) {
    std::string folded;
    for (char c : line) {
      unsigned char u = static_cast<unsigned char>(c);
      if (!std::isspace(u)) folded.push_back(static_cast<char>(std::toupper(u)));
    }
    if (folded == "DEBUG=1" || folded == "DEBUG=TRUE") return 1;
  }
  printDebug("Not found in config, returning false");
  return 0;
}
