#include "config/agent_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>

#include "config/config.h"
#include "config/port_text.h"
#include "setup/file_replacer.h"
#include "setup/files.h"
#include "setup/output.h"
#include "setup/unique_fd.h"

AgentConfigLines agentConfigStore;

namespace {

constexpr const char* kAgentConfigName = "conf/agent_config";
constexpr std::size_t kPieceSize = 4095;  // a longer line is stored as several entries

// Reads the next piece: up to and including the next line end, at most
// kPieceSize bytes. Empty at the end of the file.
std::string readPiece(std::FILE* file) {
  std::string piece;
  int c;
  while (piece.size() < kPieceSize && (c = std::getc(file)) != EOF) {
    piece.push_back(static_cast<char>(c));
    if (c == '\n') break;
  }
  return piece;
}

bool writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Keeps the current file under the backup name: a second name for the same
// file, or a copy where links are not possible. The backup appears whole
// or not at all; an older backup is replaced.
bool keepBackup(const std::string& path, const std::string& backup) {
  std::string staging = backup + ".new";
  ::unlink(staging.c_str());
  if (::link(path.c_str(), staging.c_str()) != 0) {
    UniqueFd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!in || ::fstat(in.get(), &st) != 0) return false;
    UniqueFd out(::open(staging.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777));
    if (!out) return false;
    char buffer[8192];
    ssize_t n;
    bool ok = true;
    while (ok && (n = ::read(in.get(), buffer, sizeof buffer)) != 0) {
      if (n < 0) {
        if (errno == EINTR) continue;
        ok = false;
        break;
      }
      ok = writeAll(out.get(), std::string(buffer, static_cast<std::size_t>(n)));
    }
    if (ok && ::fsync(out.get()) != 0) ok = false;
    if (out.close() != 0) ok = false;
    if (!ok) {
      int saved = errno;
      ::unlink(staging.c_str());
      errno = saved;
      return false;
    }
  }
  if (::rename(staging.c_str(), backup.c_str()) != 0) {
    int saved = errno;
    ::unlink(staging.c_str());
    errno = saved;
    return false;
  }
  return true;
}

// The new file takes the old one's place whole, with its mode and owner;
// a new file gets 0666 less the umask.
bool replaceFile(const std::string& path, const std::string& text) {
  FileReplacer replacer(path);
  std::string err;
  if (!replacer.open(&err) || !replacer.write(text, &err) || !replacer.commit(&err)) {
    printDebug("%s", err.c_str());
    return false;
  }
  return true;
}

std::optional<std::string> agentConfigPath() {
  std::optional<std::string> dir = getServerWorkingDir(kProductAgent);
  if (!dir) {
    printError(L"ERROR: Could not determine KZP Server Working directory\n");
    return std::nullopt;
  }
  return *dir + "/" + kAgentConfigName;
}

bool startsWith(const std::string& line, const char* prefix) {
  return line.compare(0, std::strlen(prefix), prefix) == 0;
}

// The common tail of the setters: load, edit, save.
int editSetting(std::initializer_list<const char*> prefixes, const std::string& replacement,
                const std::string& appended, const char* appendTrace) {
  std::optional<std::string> path = agentConfigPath();
  if (!path) return 1;
  if (!loadAgentConfig(*path)) {
    printError(L"Could not read agent configuration file\n");
    return 1;
  }
  for (const std::string& line : agentConfigStore) {
    for (const char* prefix : prefixes) {
      if (startsWith(line, prefix)) trace("%s", line.c_str());
    }
  }
  if (replaceOrAppendSetting(agentConfigStore, prefixes, replacement, appended) == 0) {
    printDebug("%s", appendTrace);
  }
  if (!saveAgentConfig(*path)) {
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
  UniqueFile file(std::fopen(path.c_str(), "r"));
  if (!file) {
    printError(L"Could not open configuration file\n");
    return 0;
  }
  for (std::string piece = readPiece(file.get()); !piece.empty(); piece = readPiece(file.get())) {
    agentConfigStore.push_back(piece);
  }
  return 1;
}

int saveAgentConfig(const std::string& path) {
  printDebug("checking existence of '%s'", path.c_str());
  if (fileExists(path.c_str())) {
    std::string backup = path + ".bak";
    printDebug("Exists. Rename '%s' to '%s'", path.c_str(), backup.c_str());
    if (!keepBackup(path, backup)) {
      printError(L"Failed to create backup file: %s\n", std::strerror(errno));
      return 0;
    }
    printDebug("Rename successful");
  }
  printDebug("Saving '%s'", path.c_str());
  std::string text;
  for (const std::string& line : agentConfigStore) text += line;
  if (!replaceFile(path, text)) {
    printError(L"Could not save output file\n");
    return 0;
  }
  return 1;
}

int replaceOrAppendSetting(AgentConfigLines& lines, std::initializer_list<const char*> prefixes,
                           const std::string& replacement, const std::string& appended) {
  int replaced = 0;
  for (std::string& line : lines) {
    for (const char* prefix : prefixes) {
      if (startsWith(line, prefix)) {
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
  if (!agentConfigPath()) return 1;
  long value = atoiSaturated(port);
  if (value < 1 || value > 65535) {
    printError(L"Invalid port range");
    return 1;
  }
  std::string line = formatNarrow("LocalPort=%ld \n", value);
  return editSetting({"LocalPort="}, line, line, "Adding port value to end");
}

int setAgentDebug(bool on) {
  if (!agentConfigPath()) return 1;
  return editSetting({"Debug=", "# Debug=", "#Debug="}, on ? "Debug=1\n\n" : "# Debug=1\n\n",
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
  if (!agentConfigPath()) return 1;
  std::string line = formatNarrow("BindTo=%s\n", address);
  return editSetting({"BindTo="}, line, line, "Adding bindto value to end");
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
