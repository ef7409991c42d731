#include "config/admin_credentials.h"

#include <cstdlib>
#include <cstring>

#include "config/config.h"
#include "setup/files.h"
#include "setup/write_file.h"
#include "setup/output.h"
#include "setup/wipe.h"

namespace {

constexpr const char* kAdminResetName = "conf/adminreset.properties";

bool hasLineBreak(const char* text) { return std::strpbrk(text, "\r\n") != nullptr; }

}  // namespace

// Made in one block, without intermediate texts: each would be a copy of
// the password left in freed memory.
std::string formatAdminReset(std::string_view user, std::string_view password) {
  static constexpr std::string_view kUser = "admin.user=", kPass = "\nadmin.pass=";
  std::string text;
  text.reserve(kUser.size() + user.size() + kPass.size() + password.size() + 1);
  text.append(kUser).append(user).append(kPass).append(password).append("\n");
  return text;
}

int adminResetUnused(int, void*) { return 0; }

int setUsernamePassword(const char* user, const char* password) {
  std::optional<std::string> path =
      workingPath(kProductServer, kAdminResetName, kNoServerWorkingDir);
  if (!path) std::exit(1);
  printDebug("setting username/password: %s/%s", user, password);
  printDebug("Opening configuration file: %s", path->c_str());
  std::string content = formatAdminReset(user, password);
  WipedOnExit wiped(content);
  printDebug("buffer=[%s]", content.c_str());
  if (hasLineBreak(user) || hasLineBreak(password)) {
    printError(kLineBreakRefused);
    return 1;
  }
  // It holds a password: owner-read-only, whatever the file was before.
  return write_file(path->c_str(), content, true);
}
