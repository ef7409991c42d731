// The signals that end the process by default and that it may catch or
// block, and a holder that keeps them waiting while a change must not be
// cut short.
#pragma once

#include <signal.h>

#include <vector>

// The fixed ones and the real-time ones (SIGKILL and SIGSTOP are never
// among them: nothing can catch or block those). A handler that puts
// something back before the process ends takes all of them, the faults
// (SIGSEGV, SIGBUS, SIGFPE, SIGILL) included.
std::vector<int> endingSignals();

// True for the signals a fault of the process itself raises. Blocking them
// is undefined when the fault is real (Linux kills the process at once
// anyway), so they are never held.
bool isFaultSignal(int sig);

// Blocks every one of endingSignals() but the faults in the calling thread
// for as long as it lives, then puts the old mask back: a signal that came
// meanwhile acts then, as it would have. A fault acts at once, held or not.
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
