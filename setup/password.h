// Console password entry.
//
// Calling order: hold a PasswordExchange for the whole exchange (main holds
// one around both of its prompts), call readPassword once per prompt
// inside it, and let it go once the last entry has ended. readPassword
// called without one holds its own for that entry.
//
// PasswordExchange owns standard input's terminal while it lives:
// - From the start: the process can no longer dump core (for the rest of
//   the run: the password stays in memory until it is written).
// - It takes the terminal only as its foreground. Started in the
//   background of its controlling terminal, the process stops as a read
//   there would stop it (SIGTTIN to its process group), and looks again
//   once it is continued. Where it cannot wait so (SIGTTIN ignored or
//   blocked, or an orphaned process group) the terminal is withheld: its
//   settings are neither read nor changed, and the entry fails unread.
// - On the terminal it took: the settings in force then are kept; canonical
//   mode and echo go off before any prompt is printed and stay off until
//   the exchange ends, so no key typed at any moment of it is echoed by the
//   terminal. Keys typed before that were shown in clear already: they are
//   discarded, not taken as a password. A read waits for one key whatever
//   the inherited VMIN and VTIME were. The kept settings come back when it
//   ends (keys typed after the last entry stay queued for the next reader).
// - While it lives, a signal whose default action ends the process (only
//   those left at their default; the faults included) first puts the
//   settings back, then ends the process as it would have. A stop (Ctrl-Z)
//   puts them back before the process stops; once it is continued in the
//   foreground the entry goes on without echo, and keys typed meanwhile on
//   an echoing terminal are discarded. The settings are touched only where
//   the terminal is not another process group's foreground: in the
//   background of the controlling terminal it belongs to the shell.
// When standard input is not a terminal, it only keeps core dumps off.
//
// readPassword prints the prompt, then reads keys one byte at a time from
// descriptor 0 (nothing beyond the entry's last key is taken) to the line's
// end: Enter, the end of input or the terminal's end-of-input character.
// Letters and digits are stored and echoed as "*", at most
// kPasswordMaxLength of them; backspace, delete and the terminal's erase
// character erase one ("\b \b"); anything else is dropped without echo. A
// letter or digit past the limit makes the entry too long: the rest of its
// line is read without echo and dropped, so that no key of it is left for
// a later prompt or for the shell. The characters are held in one text
// that never moves to a new block; it is wiped on every way out
// (WipedOnExit) unless it is handed whole to the caller, whose to wipe it
// is then. Nothing when no character was stored, when the entry was too
// long, or when the input failed. EntryNotes tells whether a key was
// dropped (an erase while nothing is stored does not count), whether the
// entry was too long, and whether the input failed: a read error, a
// terminal that went away (hung up) while keys were awaited, or one
// withheld (then not even the prompt is printed). A failed or too long
// entry is no password at all.
//
// readKeypressNoEcho reads one key the same way (in an exchange of its own
// when none is held): the key as an int, EOF at the end of input or when
// the input failed, so byte 0xFF stays a key.
#pragma once

#include <optional>
#include <string>

#include "setup/wipe.h"

constexpr std::size_t kPasswordBufferSize = 8192;
constexpr std::size_t kPasswordMaxLength = kPasswordBufferSize - 1;

class PasswordExchange {
 public:
  PasswordExchange();  // one held already: this one changes nothing
  ~PasswordExchange();
  PasswordExchange(const PasswordExchange&) = delete;
  PasswordExchange& operator=(const PasswordExchange&) = delete;

  // While keys come from a terminal in the exchange's settings: its own
  // erase and end-of-input characters (-1 where it has none).
  struct TerminalKeys {
    bool raw = false;
    int erase = -1;
    int end = -1;
  };
  static TerminalKeys terminalKeys();
  // True while the terminal is withheld (another job's foreground, and no
  // way to wait for it): no key may be read.
  static bool terminalWithheld();

 private:
  bool outermost_ = false;
};

struct EntryNotes {
  bool droppedKey = false;
  bool tooLong = false;
  bool readFailed = false;
};

int readKeypressNoEcho();
std::optional<std::string> readPassword(const char* prompt, EntryNotes* notes = nullptr);
