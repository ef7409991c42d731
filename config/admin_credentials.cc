#include "config/admin_credentials.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "setup/file_replacer.h"
#include "setup/files.h"
#include "setup/output.h"

namespace {

constexpr const char* kAdminResetName = "conf/adminreset.properties";

bool hasLineBreak(const char* text) { return std::strpbrk(text, "\r\n") != nullptr; }

}  // namespace

std::string formatAdminReset(const std::string& user, const std::string& password) {
  return "admin.user=" + user + "\nadmin.pass=" + password + "\n";
}

int adminResetUnused(int, void*) { return 0; }

int setUsernamePassword(const char* user, const char* password) {
  std::optional<std::string> dir = getServerWorkingDir(kProductServer);
  if (!dir) {
    printError(L"ERROR: Could not determine KZP Server Working directory\n");
    std::exit(1);
  }
  printDebug("setting username/password: %s/%s", user, password);
  const std::string path = *dir + "/" + kAdminResetName;
  printDebug("Opening configuration file: %s", path.c_str());
  const std::string content = formatAdminReset(user, password);
  printDebug("buffer=[%s]", content.c_str());
  if (hasLineBreak(user) || hasLineBreak(password)) {
    printDebug("user name or password holds a line break: refused");
    return 1;
  }

  // Owner read only whatever the old file had, less what the creation mask
  // removes (as for a new file).
  const mode_t mask = ::umask(0);
  ::umask(mask);
  std::string err;
  FileReplacer file(path);
  if (!file.open(&err, 0400 & ~mask, true)) {
    printError(L"Failed to open outfile '%s':%s\n", path.c_str(), err.c_str());
    return 1;
  }
  printDebug("filedes=%d", file.descriptor());
  if (!file.write(content, &err) || !file.commit(&err)) {
    printError(L"Failed to write outfile '%s':%s\n", path.c_str(), err.c_str());
    return 1;
  }
  printDebug("bytes: %zu", content.size());
  printDebug("File written");
  return 0;
}
