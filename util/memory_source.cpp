// Alone in its file on purpose; see util/memory_source.h.
#include "util/memory_source.h"

#include <cstdlib>

void* util_memory_malloc(size_t size) {
  return malloc(size);
}
void* util_memory_realloc(void* memory, size_t size) {
  return realloc(memory, size);
}
void* util_memory_calloc(size_t count, size_t size) {
  return calloc(count, size);
}
