#include "util/memory.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "util/memory_source.h"

namespace {

[[noreturn]] void exhausted() {
  fputs("virtual memory exhausted\n", stderr);
  fflush(stderr);
  exit(1);
}

}  // namespace

void* util_alloc(size_t size) {
  void* p = util_memory_malloc(size == 0 ? 1 : size);
  if (p == nullptr) exhausted();
  return p;
}

void* util_alloc_zero(size_t size) {
  void* p = util_alloc(size);
  memset(p, 0, size);
  return p;
}

void* util_realloc(void* memory, size_t size) {
  void* p = util_memory_realloc(memory, size == 0 ? 1 : size);
  if (p == nullptr) exhausted();
  return p;
}

void* util_calloc(size_t count, size_t size) {
  void* p = util_memory_calloc(count == 0 ? 1 : count, size == 0 ? 1 : size);
  if (p == nullptr) exhausted();
  return p;
}
