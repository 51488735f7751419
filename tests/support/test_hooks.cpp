#include "tests/support/test_hooks.h"

#include <atomic>
#include <cstdlib>

#include "util/memory_source.h"

namespace {

std::atomic<int> g_fail_next{0};

bool injected_failure() {
  int n = g_fail_next.load(std::memory_order_relaxed);
  while (n > 0) {
    if (g_fail_next.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) return true;
  }
  return false;
}

}  // namespace

void util_fail_next_allocations(int count) {
  g_fail_next.store(count, std::memory_order_relaxed);
}

void* util_memory_malloc(size_t size) {
  return injected_failure() ? nullptr : malloc(size);
}
void* util_memory_realloc(void* memory, size_t size) {
  return injected_failure() ? nullptr : realloc(memory, size);
}
void* util_memory_calloc(size_t count, size_t size) {
  return injected_failure() ? nullptr : calloc(count, size);
}
