#include "setup/password.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>

namespace {

// The settings the signal handlers work with; written before the handlers
// are installed and only read by them. rawWanted is set only while a key is
// awaited with the no-echo settings applied.
struct termios savedSettings;
struct termios rawSettings;
volatile sig_atomic_t rawWanted = 0;

const int kRestoreSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr std::size_t kRestoreCount = sizeof kRestoreSignals / sizeof kRestoreSignals[0];
struct sigaction previousActions[kRestoreCount];
struct sigaction previousStop;
struct sigaction previousContinue;

void restoreAndRedeliver(int sig) {
  ::tcsetattr(STDIN_FILENO, TCSANOW, &savedSettings);
  for (std::size_t i = 0; i < kRestoreCount; ++i) {
    if (kRestoreSignals[i] == sig) ::sigaction(sig, &previousActions[i], nullptr);
  }
  // Blocked while this handler runs; delivered under the old action as soon
  // as it returns.
  ::raise(sig);
}

// Only from the foreground: a background process that changes the terminal
// is stopped for it.
void applyRawIfWanted() {
  if (rawWanted && ::tcgetpgrp(STDIN_FILENO) == ::getpgrp()) ::tcsetattr(STDIN_FILENO, TCSANOW, &rawSettings);
}

// The job is being stopped (Ctrl-Z): the shell and whatever runs meanwhile
// get the terminal as it was, then the process stops as it would have. Once
// it is continued, the key read goes on without echo.
void restoreAndStop(int) {
  int savedErrno = errno;
  ::tcsetattr(STDIN_FILENO, TCSANOW, &savedSettings);
  struct sigaction ours;
  ::sigaction(SIGTSTP, &previousStop, &ours);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTSTP);
  // Pending while this handler runs; unblocked, it stops the process here
  // under the old action. The rest runs once the process is continued.
  ::raise(SIGTSTP);
  ::sigprocmask(SIG_UNBLOCK, &stop, nullptr);
  ::sigaction(SIGTSTP, &ours, nullptr);
  applyRawIfWanted();
  errno = savedErrno;
}

// Continued after any stop (SIGSTOP, or a stop at the shell's hands): the
// shell may have put its own settings in place meanwhile.
void reapplyRaw(int) {
  int savedErrno = errno;
  applyRawIfWanted();
  errno = savedErrno;
}

// Installs the handlers for one key; the destructor puts the old actions
// back. A signal the process ignores stays ignored.
class TerminalGuard {
 public:
  TerminalGuard() {
    struct sigaction action {};
    action.sa_handler = restoreAndRedeliver;
    sigemptyset(&action.sa_mask);
    for (int sig : kRestoreSignals) sigaddset(&action.sa_mask, sig);
    for (std::size_t i = 0; i < kRestoreCount; ++i) {
      ::sigaction(kRestoreSignals[i], nullptr, &previousActions[i]);
      if (previousActions[i].sa_handler == SIG_IGN) continue;
      ::sigaction(kRestoreSignals[i], &action, nullptr);
      installed_[i] = true;
    }
    // The read goes on after a stop: it must be restarted, not end in EINTR.
    struct sigaction stop {};
    stop.sa_handler = restoreAndStop;
    stop.sa_flags = SA_RESTART;
    sigemptyset(&stop.sa_mask);
    ::sigaction(SIGTSTP, nullptr, &previousStop);
    if (previousStop.sa_handler != SIG_IGN) {
      ::sigaction(SIGTSTP, &stop, nullptr);
      stopInstalled_ = true;
    }
    // Sent to the background, the read stops the process again (tty
    // input); fg continues it through this handler, and the read must go on
    // then too.
    struct sigaction resume {};
    resume.sa_handler = reapplyRaw;
    resume.sa_flags = SA_RESTART;
    sigemptyset(&resume.sa_mask);
    ::sigaction(SIGCONT, &resume, &previousContinue);
  }
  ~TerminalGuard() {
    ::sigaction(SIGCONT, &previousContinue, nullptr);
    if (stopInstalled_) ::sigaction(SIGTSTP, &previousStop, nullptr);
    for (std::size_t i = 0; i < kRestoreCount; ++i) {
      if (installed_[i]) ::sigaction(kRestoreSignals[i], &previousActions[i], nullptr);
    }
  }
  TerminalGuard(const TerminalGuard&) = delete;
  TerminalGuard& operator=(const TerminalGuard&) = delete;

 private:
  bool installed_[kRestoreCount] = {};
  bool stopInstalled_ = false;
};

// The erase key sends backspace on some terminals and delete on others.
// Only backspace erases here; delete is dropped like any other key.
bool isEraseKey(int key) { return key == '\b' || key == 0x7f; }

}  // namespace

int readKeypressNoEcho() {
  struct termios current;
  if (::tcgetattr(STDIN_FILENO, &current) != 0) return std::getchar();

  savedSettings = current;
  rawSettings = current;
  rawSettings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  TerminalGuard guard;
  rawWanted = 1;
  ::tcsetattr(STDIN_FILENO, TCSANOW, &rawSettings);
  int key = std::getchar();
  rawWanted = 0;
  ::tcsetattr(STDIN_FILENO, TCSANOW, &savedSettings);
  return key;
}

std::optional<std::string> readPassword(const char* prompt, bool* droppedKey) {
  std::fputs(prompt, stdout);
  std::fflush(stdout);

  std::string entry;
  bool dropped = false;
  for (;;) {
    int key = readKeypressNoEcho();
    if (key == EOF || key == '\n' || key == '\r' || entry.size() >= kPasswordBufferSize - 1) break;
    if (key == '\b' && !entry.empty()) {
      std::fputs("\b \b", stdout);
      std::fflush(stdout);
      entry.pop_back();
    } else if (std::isalnum(static_cast<unsigned char>(key))) {
      std::fputc('*', stdout);
      std::fflush(stdout);
      entry.push_back(static_cast<char>(key));
    } else if (!(isEraseKey(key) && entry.empty())) {
      // Not stored and not shown. With nothing stored yet, an erase key
      // takes nothing away from what the user meant to type.
      dropped = true;
    }
  }
  if (droppedKey) *droppedKey = dropped;
  std::fputc('\n', stdout);
  if (entry.empty()) return std::nullopt;
  return entry;
}
