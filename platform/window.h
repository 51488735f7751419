// Top-level windows found by their exact title, and the window commands the desktop
// client sends its own main window. Here: X11 windows of the display named by DISPLAY
// (libxcb loaded at run time); without a display no window is ever found, and every
// command answers as for a missing window (0 / false). State changes are requests to the
// window manager, which may carry them out after the call returns. Thread-safe (one
// display connection per call).
#pragma once

#include <cstdint>
#include <string_view>

// System commands (WM_SYSCOMMAND).
enum : uint32_t {
  PLAT_SC_MINIMIZE = 0xF020,
  PLAT_SC_MAXIMIZE = 0xF030,
  PLAT_SC_RESTORE = 0xF120,
};

// Whether a top-level window titled exactly `title` exists.
[[nodiscard]] bool plat_window_exists(std::string_view title);

// Sends the window the system command; answers the message result, which is 0 for a
// processed system command as for a missing window.
[[nodiscard]] intptr_t plat_window_command(std::string_view title, uint32_t command);

// Puts the window into the top-most band or out of it without moving or resizing it;
// answers the system's result (non-zero on success), 0 when no such window.
[[nodiscard]] int plat_window_set_topmost(std::string_view title, bool on_top);

// When the window exists and is visible: restores it and brings it to the foreground.
void plat_window_restore_and_raise(std::string_view title);
