#include "productlib/clock.h"

#include <sys/time.h>

#include <cerrno>

#include "setup/log.h"

int get_time_usec(std::uint64_t* usec) {
  timeval now{};
  if (gettimeofday(&now, nullptr) != 0) {
    logError(0, errno, "error getting localtime");
    return 1;
  }
  *usec = static_cast<std::uint64_t>(now.tv_usec);
  return 0;
}
