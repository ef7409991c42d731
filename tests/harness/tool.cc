#include "tests/harness/tool.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace harness {

const char kTestWorkDir[] = "/tmp/work";

const char kManagerRestart[] =
    "The Velmora Manager must be restarted for these changes to take effect\n"
    "Use '/etc/init.d/kzp-server restart' to restart.\n";
const char kConsoleRestart[] =
    "The Velmora Orrin Console must be restarted for these changes to take effect\n"
    "Use '/etc/init.d/kzp-console restart' to restart.\n";
const char kAgentRestart[] =
    "The Velmora Agent must be restarted for these changes to take effect\n"
    "Use '/etc/init.d/kzp-agent restart' to restart.\n";

RunResult tool(std::vector<std::string> args) {
  RunOptions o;
  o.args = {"--dev-test-paths", kTestWorkDir};
  o.args.insert(o.args.end(), args.begin(), args.end());
  o.stdinMode = Stdin::kDevNull;
  o.combined = true;
  return runTool(o);
}

mode_t modeOf(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    ADD_FAILURE() << "no mode for " << path << ": " << std::strerror(errno);
    return static_cast<mode_t>(-1);
  }
  return st.st_mode & 07777;
}

}  // namespace harness
