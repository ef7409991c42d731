#include "setup/password.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>

namespace {

// The settings a signal handler must put back; written before the handlers
// are installed and only read by them.
struct termios savedSettings;
const int kRestoreSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction previousActions[sizeof kRestoreSignals / sizeof kRestoreSignals[0]];

void restoreAndRedeliver(int sig) {
  ::tcsetattr(STDIN_FILENO, TCSANOW, &savedSettings);
  for (std::size_t i = 0; i < sizeof kRestoreSignals / sizeof kRestoreSignals[0]; ++i) {
    if (kRestoreSignals[i] == sig) ::sigaction(sig, &previousActions[i], nullptr);
  }
  // Blocked while this handler runs; delivered under the old action as soon
  // as it returns.
  ::raise(sig);
}

// Installs the restoring handlers for one key; the destructor puts the old
// actions back. A signal the process ignores stays ignored.
class TerminalGuard {
 public:
  TerminalGuard() {
    struct sigaction action {};
    action.sa_handler = restoreAndRedeliver;
    sigemptyset(&action.sa_mask);
    for (int sig : kRestoreSignals) sigaddset(&action.sa_mask, sig);
    for (std::size_t i = 0; i < kCount; ++i) {
      ::sigaction(kRestoreSignals[i], nullptr, &previousActions[i]);
      if (previousActions[i].sa_handler == SIG_IGN) continue;
      ::sigaction(kRestoreSignals[i], &action, nullptr);
      installed_[i] = true;
    }
  }
  ~TerminalGuard() {
    for (std::size_t i = 0; i < kCount; ++i) {
      if (installed_[i]) ::sigaction(kRestoreSignals[i], &previousActions[i], nullptr);
    }
  }
  TerminalGuard(const TerminalGuard&) = delete;
  TerminalGuard& operator=(const TerminalGuard&) = delete;

 private:
  static constexpr std::size_t kCount = sizeof kRestoreSignals / sizeof kRestoreSignals[0];
  bool installed_[kCount] = {};
};

}  // namespace

int readKeypressNoEcho() {
  struct termios current;
  if (::tcgetattr(STDIN_FILENO, &current) != 0) return std::getchar();

  savedSettings = current;
  TerminalGuard guard;
  struct termios raw = current;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  ::tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  int key = std::getchar();
  ::tcsetattr(STDIN_FILENO, TCSANOW, &savedSettings);
  return key;
}

std::optional<std::string> readPassword(const char* prompt) {
  std::fputs(prompt, stdout);
  std::fflush(stdout);

  std::string entry;
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
    }
  }
  std::fputc('\n', stdout);
  if (entry.empty()) return std::nullopt;
  return entry;
}
