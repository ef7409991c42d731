// Deadlines of the harness's waits, as poll time-outs. Internal to the
// harness (pty.cc, servers.cc).
#pragma once

#include <chrono>

namespace harness {

using Clock = std::chrono::steady_clock;

// Milliseconds until `deadline`, 0 once it has passed.
inline int msLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace harness
