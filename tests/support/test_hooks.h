// Hooks for tests of code that cannot take an Env yet. They live only in the test-only
// object library `test_hooks`, which replaces the shipped definitions of the functions it
// hooks (see util/memory_source.h and platform/transitional_clock.cpp); the shipped
// binaries never contain them.
#pragma once

#include <cstdint>

#include "platform/env.h"

// The next `count` allocations of util/memory.h fail as if memory were exhausted.
void util_fail_next_allocations(int count);

// The transitional plat_local_time()/plat_unix_time() answer what `source` answers; null
// restores plat_env()'s clock. Code that takes an Env is given a wrapper instead.
using LocalTimeSource = LocalTime (*)();
void plat_set_local_time_source(LocalTimeSource source);
using UnixTimeSource = int64_t (*)();
void plat_set_unix_time_source(UnixTimeSource source);
