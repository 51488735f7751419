// Alone in its file: a test program that defines plat_env() itself (a fault-injecting
// agent) keeps the linker from taking this one from the archive.
#include "platform/env.h"

Env* plat_env() {
  return plat_system_env();
}
