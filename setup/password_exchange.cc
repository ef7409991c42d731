// The one owner of standard input's terminal during a password exchange:
// its settings, the signals that must put them back, and core dumps.
#include <signal.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "setup/ending_signals.h"
#include "setup/password.h"

namespace {

// The settings the signal handlers work with; written before the flag that
// lets the handlers use them, and only read by them. rawWanted is set while
// the exchange runs with its own settings applied.
struct termios savedSettings;
struct termios rawSettings;
volatile sig_atomic_t settingsSaved = 0;
volatile sig_atomic_t rawWanted = 0;
// Counts the times the process was continued; a stop asked for and not
// taken leaves it unchanged.
volatile sig_atomic_t continues = 0;

int holders = 0;
bool withheld = false;
PasswordExchange::TerminalKeys keys;

// In the background of its controlling terminal the terminal belongs to
// the foreground job (the shell, with its own settings in place): the
// exchange neither reads its settings there nor changes them (a change
// would stop the process for it, or with SIGTTOU ignored change the
// shell's terminal). Anywhere else (the foreground, a terminal that is not
// the controlling one, one without a foreground group) the settings are
// the exchange's to take and to put back.
bool terminalIsOurs() {
  pid_t foreground = ::tcgetpgrp(STDIN_FILENO);
  return foreground <= 0 || foreground == ::getpgrp();
}

void restoreSettings() {
  if (settingsSaved && terminalIsOurs()) ::tcsetattr(STDIN_FILENO, TCSANOW, &savedSettings);
}

// Back to the exchange's settings after a stop. Keys typed meanwhile on a
// terminal that echoed them were shown in clear: they are not taken.
void applyRawIfWanted() {
  if (!rawWanted || !terminalIsOurs()) return;
  struct termios now;
  bool echoing = ::tcgetattr(STDIN_FILENO, &now) != 0 || (now.c_lflag & (ICANON | ECHO)) != 0;
  ::tcsetattr(STDIN_FILENO, echoing ? TCSAFLUSH : TCSANOW, &rawSettings);
}

// Installed with SA_RESETHAND, so the default action is back in place on
// entry; raised again, the signal stays blocked until the handler returns
// and then ends the process as it would have.
void restoreThenEnd(int sig) {
  restoreSettings();
  ::raise(sig);
}

struct sigaction previousStop;
struct sigaction previousContinue;

// The job is being stopped (Ctrl-Z): the shell and whatever runs meanwhile
// get the terminal as it was, then the process stops as it would have. Once
// it is continued, the key read goes on without echo.
void restoreAndStop(int) {
  int savedErrno = errno;
  restoreSettings();
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
  continues = continues + 1;
  applyRawIfWanted();
  errno = savedErrno;
}

struct Taken {
  int sig;
  struct sigaction previous;
};
std::vector<Taken> taken;
bool stopInstalled = false;
bool handlersInstalled = false;

// Only signals left at their default action get the restoring handler: an
// ignored one stays ignored, and one with a handler of its own keeps it.
void takeIfDefault(int sig, const struct sigaction& ending) {
  Taken t{sig, {}};
  if (::sigaction(sig, nullptr, &t.previous) != 0 || t.previous.sa_handler != SIG_DFL) return;
  ::sigaction(sig, &ending, nullptr);
  taken.push_back(t);
}

void installHandlers() {
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
  stopInstalled = previousStop.sa_handler != SIG_IGN;
  if (stopInstalled) ::sigaction(SIGTSTP, &stop, nullptr);
  // Sent to the background, the read stops the process again (tty input);
  // fg continues it through this handler, and the read must go on then too.
  struct sigaction resume {};
  resume.sa_handler = reapplyRaw;
  resume.sa_flags = SA_RESTART;
  sigemptyset(&resume.sa_mask);
  ::sigaction(SIGCONT, &resume, &previousContinue);
  handlersInstalled = true;
}

void removeHandlers() {
  if (!handlersInstalled) return;
  handlersInstalled = false;
  ::sigaction(SIGCONT, &previousContinue, nullptr);
  if (stopInstalled) ::sigaction(SIGTSTP, &previousStop, nullptr);
  for (const Taken& t : taken) ::sigaction(t.sig, &t.previous, nullptr);
  taken.clear();
}

// A process that may not be stopped for terminal input: the stop is
// ignored or blocked, as the kernel would find for a read.
bool inputStopRefused() {
  struct sigaction action {};
  sigset_t blocked;
  sigemptyset(&blocked);
  ::sigaction(SIGTTIN, nullptr, &action);
  ::sigprocmask(SIG_BLOCK, nullptr, &blocked);
  return action.sa_handler == SIG_IGN || sigismember(&blocked, SIGTTIN) == 1;
}

// Started in the background of its controlling terminal, the process stops
// as a read there would stop it, and looks again once it is continued: the
// settings are read and changed only once the terminal is its own. False
// where it cannot wait so: the stop refused, or not taken (an orphaned
// process group, which nothing may stop for the terminal).
bool waitForTheTerminal() {
  while (!terminalIsOurs()) {
    if (inputStopRefused()) return false;
    sig_atomic_t seen = continues;
    // The whole group, as the kernel stops it: the job stops as one.
    ::kill(0, SIGTTIN);
    if (continues == seen) return false;
  }
  return true;
}

int specialKey(const struct termios& t, int index) {
  return t.c_cc[index] == _POSIX_VDISABLE ? -1 : t.c_cc[index];
}

}  // namespace

PasswordExchange::PasswordExchange() {
  if (holders++ > 0) return;
  outermost_ = true;
  // A core file would hold what was typed; the password stays in memory
  // until the run ends, so dumps stay off from here on.
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);

  struct termios current;
  if (::tcgetattr(STDIN_FILENO, &current) != 0) return;
  installHandlers();
  // Read once the terminal is ours: those are the settings to put back.
  if (!waitForTheTerminal() || ::tcgetattr(STDIN_FILENO, &current) != 0) {
    withheld = true;
    return;
  }
  savedSettings = current;
  settingsSaved = 1;
  rawSettings = current;
  rawSettings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  // One key per read, however long it takes (an inherited "min 0" would
  // end the entry before any key).
  rawSettings.c_cc[VMIN] = 1;
  rawSettings.c_cc[VTIME] = 0;
  rawWanted = 1;
  // Echo goes off before the first prompt is printed. Keys that came
  // before were shown by the terminal: they are discarded.
  if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &rawSettings) == 0) {
    keys.raw = true;
    keys.erase = specialKey(current, VERASE);
    keys.end = specialKey(current, VEOF);
  }
}

PasswordExchange::~PasswordExchange() {
  --holders;
  if (!outermost_) return;
  keys = TerminalKeys();
  withheld = false;
  rawWanted = 0;
  // At once, not flushed: keys typed after the last entry belong to the
  // next reader.
  restoreSettings();
  settingsSaved = 0;
  removeHandlers();
}

PasswordExchange::TerminalKeys PasswordExchange::terminalKeys() { return keys; }

bool PasswordExchange::terminalWithheld() { return withheld; }
