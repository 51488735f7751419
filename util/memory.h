// Allocation that never answers null: on exhaustion the process writes
// "virtual memory exhausted\n" to standard error and exits with status 1.
// Memory from these functions is released with free(). Thread-safe.
#pragma once

#include <cstddef>

[[nodiscard]] void* util_alloc(size_t size);
[[nodiscard]] void* util_alloc_zero(size_t size);
[[nodiscard]] void* util_realloc(void* memory, size_t size);
[[nodiscard]] void* util_calloc(size_t count, size_t size);

// Tests make allocations fail through tests/support/test_hooks.h.
