// Runs a program on a pseudo-terminal, as a user at a terminal would.
//
// Contract and calling order:
// 1. Pty pty(rows, cols) opens the terminal pair (kernel default settings);
//    sttyG()/attributes() already read its settings here, before any child.
// 2. start()/startTool() forks the child: a new session with the terminal
//    as its controlling terminal and its process group in the foreground;
//    stdin, stdout and stderr all on the terminal. Environment as run.h.
//    One child per Pty.
// 3. send() types bytes; waitFor(text) waits until everything printed so
//    far (output()) contains text; readFor(ms) collects for a while.
//    Output arrives through the terminal (line ends as "\r\n" by default).
// 4. setWindowSize() changes the size (the kernel sends SIGWINCH to the
//    foreground group); signal() sends any signal to the child's group.
//    hangUp() closes the terminal as closing its window does: the kernel
//    hangs it up (SIGHUP to the session leader only; the child's reads
//    fail). Nothing can be sent or read after it.
// 5. wait() reaps the child (killing it at the time-out); the terminal stays
//    open, so sttyG() afterwards shows what the child left behind.
// The destructor kills a child still running.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <string>
#include <utility>
#include <vector>

#include "setup/unique_fd.h"

namespace harness {

struct PtyExit {
  int exitCode = -1;  // -1 when killed by a signal
  int signal = 0;
  bool timedOut = false;
  bool exited(int code) const { return signal == 0 && !timedOut && exitCode == code; }
};

class Pty {
 public:
  explicit Pty(int rows = 24, int cols = 80);
  ~Pty();
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  void start(const std::string& program, const std::vector<std::string>& args,
             const std::vector<std::pair<std::string, std::string>>& env = {});
  void startTool(const std::vector<std::string>& args,
                 const std::vector<std::pair<std::string, std::string>>& env = {});

  void send(const std::string& bytes);
  // True once output() contains `text`; false after `timeoutMs`.
  bool waitFor(const std::string& text, int timeoutMs = 5000);
  // Reads whatever arrives within `ms`; returns the new bytes.
  std::string readFor(int ms);
  const std::string& output() const { return output_; }

  void setWindowSize(int rows, int cols);
  void signal(int sig);  // to the child's process group
  void hangUp();
  PtyExit wait(int timeoutMs = 10000);
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // The terminal's settings in the format of `stty -g`.
  std::string sttyG() const;
  struct termios attributes() const;
  std::string slaveName() const { return slaveName_; }

 private:
  bool readSome(int timeoutMs);

  UniqueFd master_;
  UniqueFd slave_;  // kept open: settings stay readable after the child exits
  std::string slaveName_;
  pid_t pid_ = -1;
  std::string output_;
};

// A termios as `stty -g` prints it.
std::string formatSttyG(const struct termios& t);

}  // namespace harness
