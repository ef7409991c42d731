// The signals that end the process by default and that it may catch or
// block, and a holder that keeps them waiting while a change must not be
// cut short.
#pragma once

#include <signal.h>

#include <vector>

// The fixed ones and the real-time ones (SIGKILL and SIGSTOP are never
// among them: nothing can catch or block those).
std::vector<int> endingSignals();

// Blocks every one of endingSignals() in the calling thread for as long as
// it lives, then puts the old mask back: a signal that came meanwhile acts
// then, as it would have.
class EndingSignalsHeld {
 public:
  EndingSignalsHeld();
  ~EndingSignalsHeld();
  EndingSignalsHeld(const EndingSignalsHeld&) = delete;
  EndingSignalsHeld& operator=(const EndingSignalsHeld&) = delete;

 private:
  sigset_t previous_;
  bool held_ = false;
};
