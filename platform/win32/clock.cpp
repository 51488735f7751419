#include "platform/clock.h"

#include <windows.h>

#include <atomic>

namespace {
std::atomic<LocalTimeSource> g_time_source{nullptr};
std::atomic<UnixTimeSource> g_unix_source{nullptr};
constexpr int64_t kFiletimeUnixEpoch = 116444736000000000ll;
}  // namespace

LocalTime plat_local_time() {
  if (LocalTimeSource source = g_time_source.load(std::memory_order_acquire)) return source();
  SYSTEMTIME t{};
  GetLocalTime(&t);
  return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
}

int64_t plat_unix_time() {
  if (UnixTimeSource source = g_unix_source.load(std::memory_order_acquire)) return source();
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  int64_t ticks =
      static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
  return (ticks - kFiletimeUnixEpoch) / 10000000;
}

uint64_t plat_tick_ms() {
  return GetTickCount64();
}

void plat_sleep_ms(uint32_t ms) {
  Sleep(ms);
}

void plat_set_local_time_source(LocalTimeSource source) {
  g_time_source.store(source, std::memory_order_release);
}

void plat_set_unix_time_source(UnixTimeSource source) {
  g_unix_source.store(source, std::memory_order_release);
}
