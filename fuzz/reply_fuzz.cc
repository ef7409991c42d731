// Feeds arbitrary bytes as a build-service reply to the parser, which
// installs any attachment into a scratch destination directory, and reads
// the status markers of the result. Besides the sanitizers, it checks that
// nothing is ever written beside the destination directory.
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "installer/replies.h"
#include "installer/state.h"

namespace {

std::string root;

void removeEntries(const std::string& dir, const char* keep) {
  DIR* d = opendir(dir.c_str());
  if (!d) return;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == ".." || (keep && name == keep)) continue;
    std::string path = dir + "/" + name;
    if (unlink(path.c_str()) != 0) {
      std::string command = "rm -rf '" + path + "'";
      if (std::system(command.c_str()) != 0) std::abort();
    }
  }
  closedir(d);
}

// The scratch root holds only the destination directory.
void checkNothingOutside() {
  DIR* d = opendir(root.c_str());
  if (!d) std::abort();
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != ".." && name != "dest") {
      std::fprintf(stderr, "written outside the destination: %s\n", name.c_str());
      std::abort();
    }
  }
  closedir(d);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char dir[] = "/tmp/reply-fuzz.XXXXXX";
  if (!mkdtemp(dir)) std::abort();
  root = dir;
  destDir = root + "/dest";
  silentMode = 1;
  std::atexit([] { std::system(("rm -rf '" + root + "'").c_str()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string reply(reinterpret_cast<const char*>(data), size);
  spinnerState = 0;
  attachmentSaved = 0;
  ReplyParse result = examineHttpReply(reply);
  if (result.text && result.status == 200) {
    for (const char* marker : {"<!-- STATUS: ", "<!-- PERCENT: ", "<!-- AVGTIME: ", "<!-- URL: "})
      extractMarkerValue(*result.text, marker);
  }
  checkNothingOutside();
  removeEntries(destDir, nullptr);
  return 0;
}
