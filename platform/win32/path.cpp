#include "platform/path.h"

#include <windows.h>

#include <cerrno>

#include "platform/error.h"

// Windows-form paths are the system's own: they pass through unchanged, and the drive
// letters are the system's drives.

namespace {

int not_found() {
  plat_set_last_error(PLAT_ERROR_PATH_NOT_FOUND);
  errno = ENOENT;
  return -1;
}

}  // namespace

int plat_native_path(std::string_view windows_path, std::string* native) {
  if (windows_path.empty() || native == nullptr) return not_found();
  native->assign(windows_path);
  return 0;
}

int plat_windows_path(std::string_view native_path, std::string* windows) {
  if (native_path.empty() || windows == nullptr) return not_found();
  windows->assign(native_path);
  return 0;
}

std::vector<DriveMapping> plat_drive_map() {
  std::vector<DriveMapping> drives;
  DWORD mask = GetLogicalDrives();
  for (int i = 0; i < 26; ++i) {
    if ((mask & (1u << i)) == 0) continue;
    std::string root(1, static_cast<char>('A' + i));
    root.push_back(':');
    drives.push_back(DriveMapping{root, root + "\\"});
  }
  return drives;
}

void plat_drive_map_reload() {}
