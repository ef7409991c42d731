// What every harness child process shares: its environment and the state
// it starts from. Internal to the harness (run.cc, pty.cc).
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace harness {

// An environment block built before fork (after fork only async-signal-safe
// calls are allowed, and servers may be running threads).
class ChildEnv {
 public:
  ChildEnv(const std::vector<std::pair<std::string, std::string>>& extra,
           const std::vector<std::string>& unset);
  char** envp() { return ptrs_.data(); }

 private:
  std::vector<std::string> entries_;
  std::vector<char*> ptrs_;
};

// An argv block built before fork.
class ChildArgs {
 public:
  ChildArgs(const std::string& argv0, const std::vector<std::string>& args);
  char** argv() { return ptrs_.data(); }

 private:
  std::vector<std::string> entries_;
  std::vector<char*> ptrs_;
};

// In the child: default dispositions for every signal, empty mask, and every
// descriptor above 2 closed at exec.
void resetChildState();

}  // namespace harness
