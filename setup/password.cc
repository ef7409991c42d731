#include "setup/password.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kEndOfInput = -1;
constexpr int kReadFailed = -2;

// One byte from descriptor 0, never more: what follows the entry stays
// queued for whoever reads next.
int readKey() {
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
  const PasswordExchange::TerminalKeys terminal = PasswordExchange::terminalKeys();
  show(prompt);

  // Fixed, so the characters never move to a new block and leave a copy
  // behind; wiped on the way out, once the result has been made from it.
  struct Buffer {
    std::array<char, kPasswordBufferSize> keys;
    ~Buffer() { ::explicit_bzero(keys.data(), keys.size()); }
  } entry;
  std::size_t stored = 0;
  EntryNotes seen;
  for (;;) {
    int key = readKey();
    if (key == kReadFailed) {
      seen.readFailed = true;
      break;
    }
    if (key == kEndOfInput || key == terminal.end || key == '\n' || key == '\r' || stored >= entry.keys.size() - 1)
      break;
    bool erase = key == '\b' || key == 0x7f || key == terminal.erase;
    if (erase && stored > 0) {
      show("\b \b");
      entry.keys[--stored] = 0;
    } else if (std::isalnum(key)) {
      show("*");
      entry.keys[stored++] = static_cast<char>(key);
    } else if (!erase) {
      // Not stored and not shown. With nothing stored yet, an erase key
      // takes nothing away from what the user meant to type.
      seen.droppedKey = true;
    }
  }
  std::fputc('\n', stdout);
  if (notes) *notes = seen;
  if (stored == 0 || seen.readFailed) return std::nullopt;
  return std::optional<std::string>(std::in_place, entry.keys.data(), stored);
}
