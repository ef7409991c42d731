// Child processes: the one place that builds and runs shell commands.
//
// - A command line is built by the caller from fixed text and values passed
//   through shellQuote, so that no value from outside (a directory named on
//   the command line, a path read from a file) can add a command.
// - shellQuote leaves a value made only of safe characters unchanged (so the
//   debug text of ordinary paths reads as before) and single-quotes anything
//   else.
// - runCommand waits for the child and gives the raw wait status of system();
//   commandSucceeded tells whether that status is a normal exit with 0.
// - CommandOutput reads a child's standard output through popen and gives its
//   exit status when closed.
#pragma once

#include <cstddef>
#include <string>

#include "setup/unique_fd.h"

// Letters, digits and "/._-+,:=@%^" need no quoting.
bool isShellSafe(const std::string& value);
// The value itself when safe, else '...' with each ' written as '\''.
std::string shellQuote(const std::string& value);

// system(command): the raw wait status, or -1 when no shell could be started.
int runCommand(const std::string& command);
// A status of runCommand or CommandOutput::close: exited normally with 0.
bool commandSucceeded(int status);

// The standard output of one child, read line by line.
class CommandOutput {
 public:
  // popen(command, "r"); check started() before reading.
  explicit CommandOutput(const std::string& command);
  bool started() const { return pipe_ != nullptr; }
  // The next piece of output as fgets reads it into a buffer of bufferSize
  // bytes: up to and including a newline, at most bufferSize - 1 characters.
  // false at the end of the output.
  bool readLine(std::string* line, std::size_t bufferSize);
  // Waits for the child: the raw wait status, or -1 when it was not started.
  int close();

 private:
  UniquePipe pipe_;
};
