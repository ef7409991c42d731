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

int write_file(const char* path, const std::string& text) {
  UniqueFd fd(::creat(path, 0400));
  printDebug("filedes=%d", fd.get());
  if (!fd) {
    printError(L"Failed to open outfile '%s':%s\n", path, std::strerror(errno));
    return 1;
  }
  // An existing file keeps its old mode under creat; the text may be a
  // password, so the file is made owner-read-only whatever it was before
  // (less what the creation mask removes, as for a new file).
  const mode_t mask = ::umask(0);
  ::umask(mask);
  if (::fchmod(fd.get(), 0400 & ~mask) != 0) {
    printError(L"Failed to write outfile '%s':%s\n", path, std::strerror(errno));
    return 1;
  }
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      printError(L"Failed to write outfile '%s':%s\n", path, std::strerror(errno));
      return 1;
    }
    done += static_cast<std::size_t>(n);
  }
  printDebug("bytes: %zu", done);
  if (fd.close() != 0) {
    printError(L"Failed to write outfile '%s':%s\n", path, std::strerror(errno));
    return 1;
  }
  printDebug("File written");
  return 0;
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
