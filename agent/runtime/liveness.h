// The backup thread's sign of life. The backup thread and the job code it runs bump the
// counter while they make progress; the watchdog in the main thread only compares
// snapshots, so only change matters and wrap-around is harmless. Relaxed ordering is
// enough: a stale read delays the verdict by one watchdog slice at most.
#pragma once

#include <atomic>
#include <cstdint>

extern std::atomic<uint32_t> liveness_counter;

inline void liveness_bump() {
  liveness_counter.fetch_add(1, std::memory_order_relaxed);
}
