// Runs the built tool (or any program) as a child and captures what it did.
//
// Contract and calling order:
// - Fill a RunOptions (arguments, standard input, environment, time limit),
//   then call runTool (the built tavrik-setup) or runProgram (any argv).
//   The call blocks until the child exits or the time limit kills it.
// - The child gets the test's environment minus every proxy variable and
//   c-ares override (http_proxy, HTTPS_PROXY, no_proxy, LOCALDOMAIN,
//   RES_OPTIONS...), plus RunOptions::env; default signal dispositions and
//   mask; its own process group (a time-out kills the whole group).
// - RunResult holds exit status or signal, and stdout and stderr apart; with
//   `combined` both go to one pipe and arrive in `out` in the order written
//   (`err` stays empty).
// - shell() runs a /bin/sh command line for checks (tar tzf, stat...).
// Run inside a Sandbox for anything that touches fixed paths or the network.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace harness {

enum class Stdin {
  kText,     // a pipe carrying RunOptions::input, closed after it
  kDevNull,  // /dev/null
  kClosed,   // descriptor 0 not open at all
  kInherit,  // the test's own standard input
};

struct RunOptions {
  std::vector<std::string> args;  // arguments after argv[0]
  std::string input;              // with Stdin::kText
  Stdin stdinMode = Stdin::kText;
  std::vector<std::pair<std::string, std::string>> env;  // added or overriding
  std::vector<std::string> unsetEnv;                      // removed besides the proxy ones
  bool combined = false;          // stdout and stderr on one pipe, into `out`
  int timeoutMs = 20000;          // then SIGKILL to the child's process group
  std::string argv0;              // default: the program path
  std::string cwd;                // default: the test's working directory
};

struct RunResult {
  int exitCode = -1;   // WEXITSTATUS, or -1 when killed by a signal
  int signal = 0;      // terminating signal, 0 when it exited
  bool timedOut = false;
  bool execFailed = false;  // the program could not be started
  std::string out;     // standard output (both streams when combined)
  std::string err;     // standard error
  bool exited(int code) const { return signal == 0 && !timedOut && exitCode == code; }
};

// The built tool, TAVRIK_SETUP_BIN.
std::string toolPath();
RunResult runTool(const RunOptions& options);
// Convenience: the tool with these arguments, no standard input (/dev/null).
RunResult runTool(const std::vector<std::string>& args);
// argv[0] is the program (a path, or a name looked up in PATH).
RunResult runProgram(const std::string& program, const RunOptions& options);

// /bin/sh -c command; returns standard output; `status` gets the exit code
// (-1 on a signal). Standard error is passed through to the test's.
std::string shell(const std::string& command, int* status = nullptr);
// Single-quotes a word for shell().
std::string shellQuote(const std::string& word);

// Describes a result for a failure message: status, signal, out, err.
std::string describe(const RunResult& result);

}  // namespace harness
