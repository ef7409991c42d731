// The waits between the build service's status pages.
//
// pauseFor returns once `seconds` have passed on the monotonic clock since
// it was called. A signal that arrives meanwhile (a resized terminal's
// SIGWINCH, SIGALRM) runs its handler and the wait goes on to the same end:
// no stream of signals makes the service be asked more often.
#pragma once

void pauseFor(unsigned seconds);
