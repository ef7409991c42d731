// Console password entry.
//
// readKeypressNoEcho reads one key from standard input with canonical mode
// and echo switched off, and puts the terminal back before it returns; a
// SIGINT, SIGTERM, SIGHUP or SIGQUIT that arrives meanwhile first restores
// the terminal and then acts as it would have. A stop (Ctrl-Z) restores the
// terminal before the process stops; once continued in the foreground, the
// read goes on with echo off again. It returns the key as an int (EOF at
// the end of input, so byte 0xFF stays a key). When standard input is not a
// terminal it just reads.
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
