// Upload progress meter: one line redrawn once a second from SIGALRM.
//
// - Calling order: meter_start(label, total, &counter), the caller's writes
//   (adding each piece to the counter), meter_stop(). The counter must stay
//   valid until meter_stop returns.
// - It draws only while the process group is the terminal's foreground group
//   on standard output; with output to a file nothing is drawn at all.
// - The width follows the terminal (80 when unknown, at most 512); SIGWINCH
//   marks it to be read again at the next tick. Handlers are installed with
//   SA_RESTART so the ticks do not break the caller's writes, and they stay
//   installed after meter_stop; once it is stopped, a SIGALRM draws nothing
//   and arms no further tick.
// - The line itself is built by pure functions (meterFormatLine and the two
//   field formatters), which the tests drive with their own clock and width.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

using MeterCounter = volatile std::int64_t;

void meter_start(const char* label, std::int64_t total, MeterCounter* counter);
void meter_stop();
void meter_refresh();
void meter_on_alarm(int signal);
void meter_on_winch(int signal);
void meter_read_width();
int meter_is_foreground();

// The size field (6 characters for sizes the meter shows), e.g. "  10KB".
void meter_format_size(char* buffer, int size, std::int64_t bytes);
// The rate field (7 characters), e.g. " 48.8KB".
void meter_format_rate(char* buffer, int size, std::int64_t bytesPerSecond);

// The state of one meter; process-wide in the running meter.
struct MeterState {
  std::time_t startTime = 0;
  std::time_t lastUpdate = 0;
  const char* label = "";
  std::int64_t total = 0;
  std::int64_t shownBytes = 0;
  std::int64_t stalledTime = 0;
  std::int32_t smoothedRate = 0;
  std::int32_t width = 81;  // terminal columns + 1
};
constexpr std::size_t kMeterLineSize = 520;
constexpr int kMeterMaxColumns = 512;

// Advances the state to counter value `bytes` at time `now` and builds the
// line: exactly width - 1 characters (fewer only on a narrow terminal).
std::string meterFormatLine(MeterState* state, std::int64_t bytes, std::time_t now);

// The clock the meter reads (time() unless a test replaces it).
using MeterClock = std::time_t (*)();
void meter_set_clock(MeterClock clock);
