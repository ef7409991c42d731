// Holding the ending signals: which wait for the holder to go, and which
// may never wait.
#include "setup/ending_signals.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace {

volatile sig_atomic_t caught = 0;
void noteSignal(int sig) { caught = sig; }

// In a child: a handler of its own for `sig`, the signal raised while the
// holder lives. Exit 0 when the handler ran at once, 1 when it ran only
// once the holder was gone, 2 when it never ran.
int whenHandled(int sig) {
  pid_t pid = ::fork();
  if (pid == 0) {
    struct sigaction action {};
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(sig, &action, nullptr);
    bool atOnce = false;
    {
      EndingSignalsHeld held;
      ::raise(sig);
      atOnce = caught == sig;
    }
    ::_exit(atOnce ? 0 : caught == sig ? 1 : 2);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST(EndingSignalsHeld, FaultsActAtOnceTheOthersWait) {
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
    EXPECT_TRUE(isFaultSignal(sig)) << sig;
    EXPECT_EQ(whenHandled(sig), 0) << "fault signal " << sig << " was held";
  }
  for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGPIPE, SIGALRM, SIGXFSZ, SIGRTMIN, SIGRTMAX}) {
    EXPECT_FALSE(isFaultSignal(sig)) << sig;
    EXPECT_EQ(whenHandled(sig), 1) << "signal " << sig << " was not held";
  }
}

TEST(EndingSignalsHeld, TheOldMaskComesBack) {
  sigset_t before;
  sigemptyset(&before);
  sigaddset(&before, SIGUSR2);
  sigaddset(&before, SIGSEGV);
  sigset_t saved;
  ASSERT_EQ(::sigprocmask(SIG_SETMASK, &before, &saved), 0);
  {
    EndingSignalsHeld held;
    sigset_t during;
    ::sigprocmask(SIG_SETMASK, nullptr, &during);
    EXPECT_TRUE(sigismember(&during, SIGTERM));
    EXPECT_TRUE(sigismember(&during, SIGUSR2));
    // Not added by the holder, and not taken away either.
    EXPECT_TRUE(sigismember(&during, SIGSEGV));
    EXPECT_FALSE(sigismember(&during, SIGBUS));
  }
  sigset_t after;
  ::sigprocmask(SIG_SETMASK, &saved, &after);
  for (int sig : {SIGTERM, SIGINT, SIGUSR2, SIGSEGV, SIGBUS})
    EXPECT_EQ(sigismember(&after, sig), sigismember(&before, sig)) << sig;
}

}  // namespace
