#include "setup/password.h"

#include <poll.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <utility>

namespace {

constexpr int kEndOfInput = -1;
constexpr int kReadFailed = -2;

// One byte from descriptor 0, never more: what follows the entry stays
// queued for whoever reads next.
int readKey() {
  // Another job's terminal, and no way to wait for it.
  if (PasswordExchange::terminalWithheld()) return kReadFailed;
  for (;;) {
    unsigned char byte = 0;
    ssize_t n = ::read(STDIN_FILENO, &byte, 1);
    if (n == 1) return byte;
    if (n == 0) {
      // A terminal in the exchange's settings gives no byte only once it
      // has been hung up; anything else has really ended.
      return PasswordExchange::terminalKeys().raw ? kReadFailed : kEndOfInput;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // Inherited non-blocking: wait for the key instead of ending the entry.
      struct pollfd wait {STDIN_FILENO, POLLIN, 0};
      ::poll(&wait, 1, -1);
      continue;
    }
    return kReadFailed;
  }
}

void show(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

}  // namespace

int readKeypressNoEcho() {
  PasswordExchange exchange;
  int key = readKey();
  return key < 0 ? EOF : key;
}

std::optional<std::string> readPassword(const char* prompt, EntryNotes* notes) {
  // Echo is off before the prompt is shown: a key typed as soon as it
  // appears is never echoed.
  PasswordExchange exchange;
  EntryNotes seen;
  if (PasswordExchange::terminalWithheld()) {
    // Not one key could be read: no prompt either.
    seen.readFailed = true;
    if (notes) *notes = seen;
    return std::nullopt;
  }
  const PasswordExchange::TerminalKeys terminal = PasswordExchange::terminalKeys();
  show(prompt);

  // Room for the longest entry from the start, so the characters never
  // move to a new block and leave a copy behind. The one text that holds
  // them: wiped on every way out here, or handed whole to the caller.
  std::string entry;
  entry.reserve(kPasswordMaxLength);
  WipedOnExit wiped(entry);
  for (;;) {
    int key = readKey();
    if (key == kReadFailed) {
      seen.readFailed = true;
      break;
    }
    if (key == kEndOfInput || key == terminal.end || key == '\n' || key == '\r') break;
    // Past the limit the rest of the line is read unseen, so that no key
    // of it is left for the next prompt or for the shell.
    if (seen.tooLong) continue;
    bool erase = key == '\b' || key == 0x7f || key == terminal.erase;
    if (erase && !entry.empty()) {
      show("\b \b");
      entry.pop_back();
    } else if (std::isalnum(key)) {
      if (entry.size() == kPasswordMaxLength) {
        seen.tooLong = true;
        continue;
      }
      show("*");
      entry.push_back(static_cast<char>(key));
    } else if (!erase) {
      // Not stored and not shown. With nothing stored yet, an erase key
      // takes nothing away from what the user meant to type.
      seen.droppedKey = true;
    }
  }
  std::fputc('\n', stdout);
  if (notes) *notes = seen;
  if (entry.empty() || seen.readFailed || seen.tooLong) return std::nullopt;
  // Moved, not copied: the block itself goes to the caller.
  return std::optional<std::string>(std::move(entry));
}
