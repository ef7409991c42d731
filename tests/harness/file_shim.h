// What the end-to-end tests of the tool's file writers share: runs under
// the file shim (tests/shims/file_ops.cc) and the channel it pauses on, the
// products laid out for the writers, and a directory's listing.
//
// Calling order: Sandbox first; lay*Files; a ShimChannel before the run that
// pauses; fileShimOptions (with shimEnv for the shim's settings) to runTool.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "setup/unique_fd.h"
#include "tests/harness/run.h"
#include "tests/harness/sandbox.h"

namespace harness {

using EnvList = std::vector<std::pair<std::string, std::string>>;

// The tool with the no-pause and file shims preloaded, and `env` besides.
RunOptions fileShimOptions(std::vector<std::string> args, const std::string& input = "", EnvList env = {});
// The shim acting on files under `under`, with the settings `more`.
EnvList shimEnv(const std::string& under, EnvList more);

// The manager (with a netstat that lists nothing and 4 GB of memory), and
// the full agent with no OS release files and `host` on the loopback.
void layManagerFiles(Sandbox& box);
void layAgentFiles(Sandbox& box, const std::string& host);

// The names in a directory, sorted, "." and ".." left out.
std::vector<std::string> listing(const std::string& dir);

// Talking with the file shim through FIFOs under `dir`: a pause point it
// reports reaching (with its pid) and waits at, and a FIFO it writes to when
// it first finds a lock held. Made before any tool starts.
class ShimChannel {
 public:
  explicit ShimChannel(Sandbox& box, const std::string& dir = "/tmp/pause");
  const std::string& dir() const { return dir_; }
  std::string busyPath() const { return dir_ + "/busy"; }

  // The pid the paused tool wrote, or 0 when none came within the time.
  pid_t awaitPause();
  bool awaitBusy();
  // Lets the paused tool go on.
  bool release();

 private:
  std::string dir_;
  UniqueFd reached_, busy_;
};

}  // namespace harness
