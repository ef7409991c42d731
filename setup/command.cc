#include "setup/command.h"
#include "setup/line_reader.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

bool isShellSafe(const std::string& value) {
  if (value.empty()) return false;
  for (unsigned char c : value) {
    bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    switch (c) {
      case '/': case '.': case '_': case '-': case '+': case ',':
      case ':': case '=': case '@': case '%': case '^':
        safe = true;
        break;
      default:
        break;
    }
    if (!safe) return false;
  }
  return true;
}

std::string shellQuote(const std::string& value) {
  if (isShellSafe(value)) return value;
  std::string quoted = "'";
  for (char c : value) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  quoted += '\'';
  return quoted;
}

int runCommand(const std::string& command) {
  // Anything buffered would otherwise appear after the child's output.
  std::fflush(nullptr);
  return std::system(command.c_str());
}

bool commandSucceeded(int status) {
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

CommandOutput::CommandOutput(const std::string& command) {
  std::fflush(nullptr);
  pipe_.reset(::popen(command.c_str(), "r"));
}

bool CommandOutput::readLine(std::string* line, std::size_t bufferSize) {
  if (!pipe_) return false;
  return readBoundedLine(pipe_.get(), line, bufferSize);
}

int CommandOutput::close() {
  if (!pipe_) return -1;
  return ::pclose(pipe_.release());
}
