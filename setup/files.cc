#include "setup/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include <openssl/evp.h>

#include "setup/output.h"
#include "setup/settings.h"
#include "setup/unique_fd.h"
#include "setup/writer_open.h"

namespace {
bool exists(const char* path) {
  struct stat st;
  return ::stat(path, &st) == 0;
}
}  // namespace

bool isStandaloneAgentInstall() {
  return exists("/etc/pelagent/agent_config") && !exists("/usr/sbin/tavrik/bin/kzp") &&
         !exists("/usr/sbin/tavrik/bin/kzpserver");
}
bool isServerInstalled() { return exists("/usr/sbin/tavrik/bin/kzpserver"); }
bool isAgentInstalled() { return exists("/usr/sbin/tavrik/bin/kzp"); }
bool isConsoleInstalled() { return exists("/usr/sbin/tavrik-orrin-console"); }
bool isDriverOnlyInstall() { return exists("/usr/sbin/zelt") && !exists("/usr/sbin/tavrik"); }

std::optional<std::string> getServerWorkingDir(int /*product*/) {
  // Callers report an absent directory as their own error.
  try {
    return workDirOverride ? *workDirOverride : std::string("/usr/sbin/tavrik");
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

int pathExists(const char* path) { return exists(path) ? 1 : 0; }
int fileExists(const char* path) { return pathExists(path); }

std::optional<std::string> workingDirOrReport(int product, const wchar_t* noDirText) {
  std::optional<std::string> dir = getServerWorkingDir(product);
  if (!dir && noDirText) printError(noDirText);
  return dir;
}

std::optional<std::string> workingPath(int product, const char* name, const wchar_t* noDirText) {
  std::optional<std::string> dir = workingDirOrReport(product, noDirText);
  if (!dir) return std::nullopt;
  return *dir + "/" + name;
}

mode_t currentUmask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

UniqueFd openRegularFd(const std::string& path) {
  struct stat st;
  return openLooked(path, O_RDONLY, 0, &st);
}

UniqueFile openRegularFile(const std::string& path) {
  UniqueFd fd = openRegularFd(path);
  if (!fd) return nullptr;
  UniqueFile file(::fdopen(fd.get(), "r"));
  if (file) fd.release();
  return file;
}

std::string md5_hex(const void* data, int length) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_Digest(data, length > 0 ? static_cast<std::size_t>(length) : 0, digest, &size, EVP_md5(), nullptr);
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < size; ++i) {
    out.push_back(hex[digest[i] >> 4]);
    out.push_back(hex[digest[i] & 0x0f]);
  }
  return out;
}

int returnZero(const char*, void*) { return 0; }
