#include "setup/markers.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "setup/files.h"
#include "setup/output.h"
#include "setup/settings.h"
#include "setup/unique_fd.h"

std::optional<std::string> markerPath(const char* name) {
  std::optional<std::string> path = workingPath(kProductAgent, name, nullptr);
  if (!path) return std::nullopt;
  // The path is handed to the system as one name: one that could not be
  // held in a path buffer is refused rather than cut.
  if (path->size() >= kPathBufferSize) return std::nullopt;
  return path;
}

int writeConfigCheckFile(const char* path) {
  UniqueFd fd(::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666));
  if (!fd) return 0;
  static const char kText[] = "1";
  if (!writeAll(fd.get(), kText, sizeof kText - 1)) return 0;
  return fd.close() == 0 ? 1 : 0;
}

void printAgentRestartNotice() {
  printInfo(L"The Velmora Agent must be restarted for these changes to take effect\n");
  printInfo(L"Use '/etc/init.d/kzp-agent restart' to restart.\n");
}

void printServerRestartNotice() {
  if (isConsoleInstalled()) {
    printInfo(L"The Velmora Orrin Console must be restarted for these changes to take effect\n");
    printInfo(L"Use '/etc/init.d/kzp-console restart' to restart.\n");
  } else {
    printInfo(L"The Velmora Manager must be restarted for these changes to take effect\n");
    printInfo(L"Use '/etc/init.d/kzp-server restart' to restart.\n");
  }
}
