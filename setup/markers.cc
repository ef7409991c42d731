#include "setup/markers.h"

#include "setup/file_replacer.h"
#include "setup/files.h"
#include "setup/output.h"
#include "setup/settings.h"

std::optional<std::string> markerPath(const char* name) {
  std::optional<std::string> path = workingPath(kProductAgent, name, nullptr);
  if (!path) return std::nullopt;
  // The path is handed to the system as one name: one that could not be
  // held in a path buffer is refused rather than cut.
  if (path->size() >= kPathBufferSize) return std::nullopt;
  return path;
}

int writeConfigCheckFile(const char* path) {
  // Through the shared replacer: a FIFO or device at the path is refused
  // before anything is opened, and the marker is whole or not written.
  FileReplacer file(path, FileReplacer::Placement::kInPlace);
  std::string err;
  static const char kText[] = "1";
  return file.open(&err) && file.write(kText, sizeof kText - 1, &err) && file.commit(&err) ? 1 : 0;
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
