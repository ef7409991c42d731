// Console password entry.
//
// readKeypressNoEcho reads one key from standard input with canonical mode
// and echo switched off, and puts the terminal back before it returns.
// readPassword keeps them off from before its first key until the entry
// ends, so no key typed during the entry is ever echoed by the terminal.
// While keys are read this way, a signal whose default action ends the
// process (SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, ...; only
// those left at their default) first restores the terminal and then ends
// the process as it would have. A stop (Ctrl-Z) restores the terminal
// before the process stops; once continued in the foreground, the read goes
// on with echo off again. The handlers touch the terminal only while the
// process is in its foreground: in the background (continued by bg, or
// killed by the shell while stopped) the terminal is the shell's, and
// changing it would stop the process for terminal output. A key is an int
// (EOF at the end of input, so byte 0xFF stays a key). When standard input
// is not a terminal they just read.
//
// readPassword prints the prompt, then reads keys until Enter, end of input
// or 8191 stored characters: letters and digits are stored and echoed as
// "*", backspace (code 8) erases one, anything else is dropped without
// echo, and *droppedKey (when given) tells whether any key was; backspace
// or delete (127) while nothing is stored does not count. Nothing when no
// character was stored.
#pragma once

#include <optional>
#include <string>

constexpr std::size_t kPasswordBufferSize = 8192;

int readKeypressNoEcho();
std::optional<std::string> readPassword(const char* prompt, bool* droppedKey = nullptr);
