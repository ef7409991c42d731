#include "setup/wipe.h"

#include <openssl/crypto.h>
#include <string.h>

void wipeSecret(std::string& text) {
  // Characters dropped earlier (an erased key, a shorter text) may still
  // stand beyond the size; resizing within the capacity moves nothing.
  text.resize(text.capacity());
  ::explicit_bzero(&text[0], text.size());
  text.clear();
}

bool sameSecret(const std::string& a, const std::string& b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}
