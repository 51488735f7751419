// TRANSITIONAL (see platform/transitional.h). Alone in its file: the test-only hook object
// (tests/support/test_hooks.cpp) defines the same two functions, and the linker then never
// takes this one from the archive.
#include "platform/transitional.h"

LocalTime plat_local_time() {
  return plat_env()->local_time();
}

int64_t plat_unix_time() {
  return plat_env()->unix_time();
}
