#include "util/memory.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<int> g_fail_next{0};

bool injected_failure() {
  int n = g_fail_next.load(std::memory_order_relaxed);
  while (n > 0) {
    if (g_fail_next.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) return true;
  }
  return false;
}

[[noreturn]] void exhausted() {
  fputs("virtual memory exhausted\n", stderr);
  fflush(stderr);
  exit(1);
}

}  // namespace

void* util_alloc(size_t size) {
  void* p = injected_failure() ? nullptr : malloc(size == 0 ? 1 : size);
  if (p == nullptr) exhausted();
  return p;
}

void* util_alloc_zero(size_t size) {
  void* p = util_alloc(size);
  memset(p, 0, size);
  return p;
}

void* util_realloc(void* memory, size_t size) {
  void* p = injected_failure() ? nullptr : realloc(memory, size == 0 ? 1 : size);
  if (p == nullptr) exhausted();
  return p;
}

void* util_calloc(size_t count, size_t size) {
  void* p = injected_failure() ? nullptr : calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
  if (p == nullptr) exhausted();
  return p;
}

void util_fail_next_allocations(int count) { g_fail_next.store(count, std::memory_order_relaxed); }
