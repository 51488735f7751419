#include "platform/window.h"

// No window system is bound in this build: every lookup finds nothing.

bool plat_window_exists(std::string_view) {
  return false;
}

intptr_t plat_window_command(std::string_view, uint32_t) {
  return 0;
}

int plat_window_set_topmost(std::string_view, bool) {
  return 0;
}

void plat_window_restore_and_raise(std::string_view) {}
