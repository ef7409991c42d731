// What many end-to-end tests share: the tool run on a working directory of
// the test's own, a file's mode, and the restart notices the tool prints.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/harness/run.h"

namespace harness {

// The working directory the tests give with --dev-test-paths.
extern const char kTestWorkDir[];

// The tool with "--dev-test-paths kTestWorkDir" before `args`, standard
// input on /dev/null, both output streams in `out` in the order written.
RunResult tool(std::vector<std::string> args);

// The permission bits of what the path leads to, set-id and sticky bits
// included; a test failure (and a value no mode has) when it can't be read.
mode_t modeOf(const std::string& path);

// The notices after a setting that needs a restart.
extern const char kManagerRestart[];
extern const char kConsoleRestart[];
extern const char kAgentRestart[];

}  // namespace harness
