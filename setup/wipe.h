// Texts that held a password (typed at the prompt, or on their way into the
// credentials file) are overwritten before their memory goes back, so no
// later allocation, core file or swap page holds them.
#pragma once

#include <optional>
#include <string>

// Overwrites every byte the text's storage holds (its whole capacity, in a
// way the optimiser keeps) and empties it.
void wipeSecret(std::string& text);

// True when the two texts hold the same bytes. Compared in constant time
// and in general registers only (CRYPTO_memcmp): a vectorised compare would
// leave whole pieces of them in vector registers, which a later lazy symbol
// binding or a signal frame saves onto the stack, out of every wipe's reach.
bool sameSecret(const std::string& a, const std::string& b);

// Wipes a text (or an entry, when it holds one) when it goes out of scope,
// on every way out. Initialise an entry from the function that gives it
// rather than assign it: a moved-from short text keeps its characters.
class WipedOnExit {
 public:
  explicit WipedOnExit(std::string& text) : text_(&text) {}
  explicit WipedOnExit(std::optional<std::string>& entry) : entry_(&entry) {}
  ~WipedOnExit() {
    if (text_) wipeSecret(*text_);
    if (entry_ && *entry_) wipeSecret(**entry_);
  }
  WipedOnExit(const WipedOnExit&) = delete;
  WipedOnExit& operator=(const WipedOnExit&) = delete;

 private:
  std::string* text_ = nullptr;
  std::optional<std::string>* entry_ = nullptr;
};
