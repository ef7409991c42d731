#include "setup/password.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "setup/ending_signals.h"

namespace {

// The settings the signal handlers work with; written before the handlers
// are installed and only read by them. rawWanted is set while an entry
// runs with the no-echo settings applied.
struct termios savedSettings;
struct termios rawSettings;
volatile sig_atomic_t rawWanted = 0;

// A process in the background that changes the terminal is stopped for it
// (SIGTTOU), so the handlers leave the terminal alone there: in the
// background it belongs to the shell, which has its own settings in place.
bool inForeground() { return ::tcgetpgrp(STDIN_FILENO) == ::getpgrp(); }

// Installed with SA_RESETHAND, so the default action is back in place on
// entry; raised again, the signal stays blocked until the handler returns
// and then ends the process as it would have.
void restoreThenEnd(int sig) {
  if (inForeground()) ::tcsetattr(STDIN_FILENO, TCSANOW, &savedSettings);
  ::raise(sig);
}

void applyRawIfWanted() {
  if (rawWanted && inForeground()) ::tcsetattr(STDIN_FILENO, TCSANOW, &rawSettings);
}

struct sigaction previousStop;
struct sigaction previousContinue;

// The job is being stopped (Ctrl-Z): the shell and whatever runs meanwhile
// get the terminal as it was, then the process stops as it would have. Once
// it is continued, the key read goes on without echo.
void restoreAndStop(int) {
  int savedErrno = errno;
  if (inForeground()) ::tcsetattr(STDIN_FILENO, TCSANOW, &savedSettings);
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

// Standard input read key by key without echo for as long as it lives (on
// a terminal; otherwise it does nothing). Installs the handlers first and
// puts the settings back before the old actions. Only signals left at
// their default action get the restoring handler: an ignored one stays
// ignored, and one with a handler of its own keeps it.
class NoEchoEntry {
 public:
  NoEchoEntry() {
    struct termios current;
    if (::tcgetattr(STDIN_FILENO, &current) != 0) return;
    active_ = true;
    savedSettings = current;
    rawSettings = current;
    rawSettings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);

    struct sigaction ending {};
    ending.sa_handler = restoreThenEnd;
    ending.sa_flags = SA_RESETHAND;
    sigfillset(&ending.sa_mask);
    for (int sig : endingSignals()) takeIfDefault(sig, ending);

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

    rawWanted = 1;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &rawSettings);
  }
  ~NoEchoEntry() {
    if (!active_) return;
    rawWanted = 0;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &savedSettings);
    ::sigaction(SIGCONT, &previousContinue, nullptr);
    if (stopInstalled_) ::sigaction(SIGTSTP, &previousStop, nullptr);
    for (const Taken& t : taken_) ::sigaction(t.sig, &t.previous, nullptr);
  }
  NoEchoEntry(const NoEchoEntry&) = delete;
  NoEchoEntry& operator=(const NoEchoEntry&) = delete;

 private:
  struct Taken {
    int sig;
    struct sigaction previous;
  };
  void takeIfDefault(int sig, const struct sigaction& ending) {
    Taken t{sig, {}};
    if (::sigaction(sig, nullptr, &t.previous) != 0 || t.previous.sa_handler != SIG_DFL) return;
    ::sigaction(sig, &ending, nullptr);
    taken_.push_back(t);
  }

  bool active_ = false;
  bool stopInstalled_ = false;
  std::vector<Taken> taken_;
};

// The erase key sends backspace on some terminals and delete on others.
// Only backspace erases here; delete is dropped like any other key.
bool isEraseKey(int key) { return key == '\b' || key == 0x7f; }

}  // namespace

int readKeypressNoEcho() {
  NoEchoEntry noEcho;
  return std::getchar();
}

std::optional<std::string> readPassword(const char* prompt, bool* droppedKey) {
  std::fputs(prompt, stdout);
  std::fflush(stdout);

  std::string entry;
  bool dropped = false;
  // Echo stays off from the first key to the last: put back between two
  // keys, it would show a key that comes meanwhile in clear.
  NoEchoEntry noEcho;
  for (;;) {
    int key = std::getchar();
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
