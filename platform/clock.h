// Clock and sleep: local wall time with milliseconds for log lines, a monotonic
// millisecond tick for time-outs. Thread-safe. Tests may freeze the wall clock.
#pragma once

#include <cstdint>

struct LocalTime {
  int year;
  int month;   // 1..12
  int day;     // 1..31
  int hour;
  int minute;
  int second;
  int millisecond;
};

LocalTime plat_local_time();

// Seconds since 1970-01-01 UTC.
int64_t plat_unix_time();

// Monotonic milliseconds; only differences mean anything.
uint64_t plat_tick_ms();

void plat_sleep_ms(uint32_t ms);

// Test hook: every later plat_local_time() answers what `source` answers; null restores
// the real clock. Not for production code.
using LocalTimeSource = LocalTime (*)();
void plat_set_local_time_source(LocalTimeSource source);

// Test hook: plat_unix_time() answers what `source` answers; null restores the real clock.
using UnixTimeSource = int64_t (*)();
void plat_set_unix_time_source(UnixTimeSource source);
