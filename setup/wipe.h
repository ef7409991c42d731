// Texts that held a password (typed at the prompt, or on their way into the
// credentials file) are overwritten before their memory goes back, so no
// later allocation, core file or swap page holds them.
#pragma once

#include <string>

// Overwrites every byte the text's storage holds (its whole capacity, in a
// way the optimiser keeps) and empties it.
void wipeSecret(std::string& text);

// Wipes a text when it goes out of scope, on every way out.
class WipedOnExit {
 public:
  explicit WipedOnExit(std::string& text) : text_(text) {}
  ~WipedOnExit() { wipeSecret(text_); }
  WipedOnExit(const WipedOnExit&) = delete;
  WipedOnExit& operator=(const WipedOnExit&) = delete;

 private:
  std::string& text_;
};
