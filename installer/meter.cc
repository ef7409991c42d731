#include "installer/meter.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

const char kUnits[] = " KMGT";
constexpr int kLastUnit = 4;

MeterState meter;
MeterCounter* meterCounter = nullptr;
volatile sig_atomic_t widthChanged = 0;
// From meter_start to meter_stop. The alarm handler stays installed after
// the stop; a tick that comes then (one that was already pending when the
// alarm was cancelled, or a SIGALRM from outside) draws nothing and arms
// nothing.
volatile sig_atomic_t meterRunning = 0;

std::time_t systemClock() { return std::time(nullptr); }
MeterClock meterClock = systemClock;

// Rates are shown from a 32-bit field: larger values are held at its ends
// instead of wrapping.
std::int32_t clampRate(double value) {
  if (value >= 2147483647.0) return 2147483647;
  if (value <= -2147483648.0) return -2147483647 - 1;
  return static_cast<std::int32_t>(value);
}

void installHandler(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // the upload's writes go on across a tick
  sigaction(signal, &action, nullptr);
}

// Builds the line into `line` (kMeterLineSize bytes) without allocating, so
// it can run inside the SIGALRM handler; gives the count of bytes to write.
int buildLine(MeterState* s, std::int64_t bytes, std::time_t now, char* line) {
  std::int64_t delta = bytes - s->shownBytes;
  s->shownBytes = bytes;
  std::int64_t remaining = s->total - s->shownBytes;
  double elapsed;
  if (remaining > 0) {
    elapsed = static_cast<double>(now - s->lastUpdate);
  } else {
    // Complete: the rate becomes the average of the whole transfer.
    elapsed = static_cast<double>(now - s->startTime);
    delta = s->total;
    s->smoothedRate = 0;
  }
  std::int32_t rate = elapsed == 0 ? clampRate(static_cast<double>(delta))
                                   : clampRate(static_cast<double>(delta) / elapsed);
  if (s->smoothedRate != 0)
    s->smoothedRate = clampRate(0.9 * s->smoothedRate + (1.0 - 0.9) * rate);
  else
    s->smoothedRate = rate;

  int length = 0;
  auto room = [&]() { return static_cast<std::size_t>(kMeterLineSize - length); };
  auto advance = [&](int n) {
    if (n > 0) length += std::min(n, static_cast<int>(room()) - 1);
  };
  int labelWidth = s->width - 35;
  if (labelWidth > 0) {
    line[length++] = '\r';
    std::size_t labelLength = std::strlen(s->label);
    for (int i = 0; i < labelWidth - 1; ++i)
      line[length++] = static_cast<std::size_t>(i) < labelLength ? s->label[i] : ' ';
  }
  int percent = s->total != 0 ? static_cast<int>(static_cast<float>(s->shownBytes) /
                                                 static_cast<float>(s->total) * 100.0f)
                              : 100;
  advance(std::snprintf(line + length, room(), " %3d%% ", percent));
  char field[32];
  meter_format_size(field, sizeof field, s->shownBytes);
  advance(std::snprintf(line + length, room(), "%s ", field));
  meter_format_rate(field, sizeof field, s->smoothedRate);
  advance(std::snprintf(line + length, room(), "%s/s ", field));

  if (delta == 0)
    s->stalledTime += static_cast<std::int64_t>(elapsed);
  else
    s->stalledTime = 0;

  if (s->stalledTime >= 5) {
    advance(std::snprintf(line + length, room(), "- stalled -"));
  } else if (s->smoothedRate == 0 && remaining != 0) {
    advance(std::snprintf(line + length, room(), "  --:-- ETA"));
  } else {
    std::int64_t seconds =
        remaining > 0 ? remaining / s->smoothedRate : static_cast<std::int64_t>(now - s->startTime);
    long long hours = seconds / 3600;
    int minutes = static_cast<int>(seconds % 3600 / 60);
    int secs = static_cast<int>(seconds % 60);
    if (hours > 0)
      advance(std::snprintf(line + length, room(), "%lld:%02d:%02d", hours, minutes, secs));
    else
      advance(std::snprintf(line + length, room(), "  %02d:%02d", minutes, secs));
    advance(std::snprintf(line + length, room(), "%s", remaining > 0 ? " ETA" : "    "));
  }
  s->lastUpdate = now;
  int columns = s->width - 1;
  return length < columns ? length : columns;
}

}  // namespace

void meter_format_size(char* buffer, int size, std::int64_t bytes) {
  int unit = 0;
  while (bytes > 9999 && unit < kLastUnit) {
    bytes = (bytes + 512) / 1024;
    ++unit;
  }
  std::snprintf(buffer, static_cast<std::size_t>(size), "%4lld%c%s", static_cast<long long>(bytes),
                kUnits[unit], unit == 0 ? " " : "B");
}

void meter_format_rate(char* buffer, int size, std::int64_t bytesPerSecond) {
  std::int64_t value = bytesPerSecond * 100;
  int unit = 0;
  while (value > 99999 && unit < kLastUnit) {
    value = (value + 512) / 1024;
    ++unit;
  }
  if (unit == 0) {  // never shown in plain bytes
    unit = 1;
    value = (value + 512) / 1024;
  }
  value += 5;
  std::snprintf(buffer, static_cast<std::size_t>(size), "%3lld.%1lld%c%s",
                static_cast<long long>(value / 100), static_cast<long long>(value / 10 % 10),
                kUnits[unit], "B");
}

std::string meterFormatLine(MeterState* state, std::int64_t bytes, std::time_t now) {
  char line[kMeterLineSize];
  int n = buildLine(state, bytes, now, line);
  return std::string(line, static_cast<std::size_t>(n));
}

void meter_set_clock(MeterClock clock) { meterClock = clock ? clock : systemClock; }

void meter_read_width() {
  struct winsize size {};
  int columns = 80;
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col != 0) columns = size.ws_col;
  if (columns > kMeterMaxColumns) columns = kMeterMaxColumns;
  meter.width = columns + 1;
}

int meter_is_foreground() {
  pid_t group = tcgetpgrp(STDOUT_FILENO);
  return group != -1 && group == getpgrp();
}

void meter_refresh() {
  char line[kMeterLineSize];
  int n = buildLine(&meter, *meterCounter, meterClock(), line);
  ssize_t ignored = write(STDOUT_FILENO, line, static_cast<std::size_t>(n));
  (void)ignored;
}

void meter_on_alarm(int) {
  if (!meterRunning) return;
  int saved = errno;
  if (widthChanged) {
    meter_read_width();
    widthChanged = 0;
  }
  if (meter_is_foreground()) meter_refresh();
  alarm(1);
  errno = saved;
}

void meter_on_winch(int) { widthChanged = 1; }

void meter_start(const char* label, std::int64_t total, MeterCounter* counter) {
  std::fflush(stdout);  // the meter writes the descriptor directly
  meter = MeterState();
  meter.startTime = meter.lastUpdate = meterClock();
  meter.label = label;
  meter.total = total;
  meterCounter = counter;
  meter_read_width();
  if (meter_is_foreground()) meter_refresh();
  installHandler(SIGALRM, meter_on_alarm);
  installHandler(SIGWINCH, meter_on_winch);
  meterRunning = 1;
  alarm(1);
}

void meter_stop() {
  // Before the alarm is cancelled: a tick between the two must not arm it
  // again.
  meterRunning = 0;
  alarm(0);
  if (!meter_is_foreground()) return;
  if (meter.shownBytes != meter.total) meter_refresh();
  ssize_t ignored = write(STDOUT_FILENO, "\n", 1);
  (void)ignored;
}
