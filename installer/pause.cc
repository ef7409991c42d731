#include "installer/pause.h"

#include <time.h>

#include <cerrno>

void pauseFor(unsigned seconds) {
  struct timespec end {};
  clock_gettime(CLOCK_MONOTONIC, &end);
  end.tv_sec += static_cast<time_t>(seconds);
  // An absolute end: an interrupted wait resumes towards the same moment
  // instead of starting over with what was left of it.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR) {
  }
}
