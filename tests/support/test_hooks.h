// Hooks for tests of code that takes no Env. They live only in the test-only object library
// `test_hooks`, which replaces the shipped definitions of the functions it hooks (see
// util/memory_source.h); the shipped binaries never contain them.
#pragma once

// The next `count` allocations of util/memory.h fail as if memory were exhausted.
void util_fail_next_allocations(int count);
