#include "platform/clock.h"

#include <atomic>
#include <cerrno>
#include <ctime>

namespace {
std::atomic<LocalTimeSource> g_time_source{nullptr};
std::atomic<UnixTimeSource> g_unix_source{nullptr};
}

LocalTime plat_local_time() {
  if (LocalTimeSource source = g_time_source.load(std::memory_order_acquire)) return source();
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm parts{};
  localtime_r(&ts.tv_sec, &parts);
  return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,  parts.tm_hour,
                   parts.tm_min,         parts.tm_sec,     static_cast<int>(ts.tv_nsec / 1000000)};
}

int64_t plat_unix_time() {
  if (UnixTimeSource source = g_unix_source.load(std::memory_order_acquire)) return source();
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts.tv_sec;
}

uint64_t plat_tick_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void plat_sleep_ms(uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) == -1 && errno == EINTR) {
  }
}

void plat_set_local_time_source(LocalTimeSource source) {
  g_time_source.store(source, std::memory_order_release);
}

void plat_set_unix_time_source(UnixTimeSource source) {
  g_unix_source.store(source, std::memory_order_release);
}
