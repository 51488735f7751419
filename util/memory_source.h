// Private to util/memory.cpp: where its memory comes from. util/memory_source.cpp takes it
// from the C library; the tests' hook object (tests/support/test_hooks.cpp) defines the
// same three functions with injected failures, and the linker then never takes the
// shipped file from the archive, so no shipped binary carries the hook.
#pragma once

#include <cstddef>

[[nodiscard]] void* util_memory_malloc(size_t size);
[[nodiscard]] void* util_memory_realloc(void* memory, size_t size);
[[nodiscard]] void* util_memory_calloc(size_t count, size_t size);
