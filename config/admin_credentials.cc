#include "config/admin_credentials.h"

#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "setup/files.h"
#include "setup/write_file.h"
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
  std::optional<std::string> path =
      workingPath(kProductServer, kAdminResetName, kNoServerWorkingDir);
  if (!path) std::exit(1);
  printDebug("setting username/password: %s/%s", user, password);
  printDebug("Opening configuration file: %s", path->c_str());
  const std::string content = formatAdminReset(user, password);
  printDebug("buffer=[%s]", content.c_str());
  if (hasLineBreak(user) || hasLineBreak(password)) {
    printError(kLineBreakRefused);
    return 1;
  }
  // It holds a password: owner-read-only, whatever the file was before.
  return write_file(path->c_str(), content, true);
}
