#include "platform/window.h"

#include <windows.h>

#include <cstring>

namespace {

constexpr size_t kTitleRoom = 1024;

// The top-level window titled exactly `title`, or null (also for a title that holds a NUL
// or does not fit).
HWND find_window(std::string_view title) {
  char text[kTitleRoom];
  if (title.size() >= sizeof text || memchr(title.data(), '\0', title.size()) != nullptr) {
    return nullptr;
  }
  memcpy(text, title.data(), title.size());
  text[title.size()] = '\0';
  return FindWindowA(nullptr, text);
}

}  // namespace

bool plat_window_exists(std::string_view title) {
  return find_window(title) != nullptr;
}

intptr_t plat_window_command(std::string_view title, uint32_t command) {
  HWND window = find_window(title);
  if (window == nullptr) return 0;
  return static_cast<intptr_t>(SendMessageA(window, WM_SYSCOMMAND, command, 0));
}

int plat_window_set_topmost(std::string_view title, bool on_top) {
  HWND window = find_window(title);
  if (window == nullptr) return 0;
  return SetWindowPos(window, on_top ? HWND_TOPMOST : HWND_NOTOPMOST, 0, 0, 0, 0,
                      SWP_NOMOVE | SWP_NOSIZE);
}

void plat_window_restore_and_raise(std::string_view title) {
  HWND window = find_window(title);
  if (window == nullptr || !IsWindowVisible(window)) return;
  SendMessageA(window, WM_SYSCOMMAND, SC_RESTORE, 0);
  SetForegroundWindow(window);
}
