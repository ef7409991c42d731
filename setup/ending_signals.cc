#include "setup/ending_signals.h"

#include <pthread.h>

std::vector<int> endingSignals() {
  std::vector<int> signals = {
      SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,  SIGUSR1, SIGSEGV,
      SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGPOLL, SIGSYS,
#ifdef SIGSTKFLT
      SIGSTKFLT,
#endif
#ifdef SIGPWR
      SIGPWR,
#endif
  };
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) signals.push_back(sig);
  return signals;
}

bool isFaultSignal(int sig) { return sig == SIGSEGV || sig == SIGBUS || sig == SIGFPE || sig == SIGILL; }

EndingSignalsHeld::EndingSignalsHeld() {
  sigset_t block;
  sigemptyset(&block);
  for (int sig : endingSignals())
    if (!isFaultSignal(sig)) sigaddset(&block, sig);
  held_ = ::pthread_sigmask(SIG_BLOCK, &block, &previous_) == 0;
}

EndingSignalsHeld::~EndingSignalsHeld() {
  if (held_) ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}
