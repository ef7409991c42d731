#include "setup/write_file.h"

#include "setup/file_replacer.h"
#include "setup/files.h"
#include "setup/output.h"

int write_file(const char* path, const std::string& text, bool owner_read_only) {
  std::string err;
  FileReplacer file(path, FileReplacer::Placement::kInPlace);
  bool opened = file.open(&err, 0400 & ~currentUmask(),
                          owner_read_only ? FileReplacer::Metadata::kForceMode : FileReplacer::Metadata::kKeep);
  printDebug("filedes=%d", file.descriptor());
  if (!opened) {
    printError(L"Failed to open outfile '%s':%s\n", path, err.c_str());
    return 1;
  }
  if (!file.write(text, &err) || !file.commit(&err)) {
    printError(L"Failed to write outfile '%s':%s\n", path, err.c_str());
    return 1;
  }
  printDebug("bytes: %zu", text.size());
  printDebug("File written");
  return 0;
}
