// Windows-form paths ("C:\Users\bob", "\\fs1\docs\x") and their native stand-ins.
// Everything above the platform layer speaks Windows form; translation happens here,
// at the last moment, through the drive map read from "etc/drives" in the working
// directory (lines "D:=/mnt/data" or "\\fs1\docs=/srv/docs"; C: is "/" unless mapped).
// The map is read once on first use; plat_drive_map_reload() rereads it. Thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// A Windows path separator: "\\" or "/" (both are accepted everywhere).
inline bool plat_is_path_separator(char c) {
  return c == '\\' || c == '/';
}

struct DriveMapping {
  std::string windows_root;  // "D:" or "\\fs1\docs" (server and share lower-cased)
  std::string native_root;   // "/mnt/data", never with a trailing slash unless "/"
};

// Windows form -> native. Drive letters in any case, UNC roots, doubled separators and
// "/" as a separator are accepted; relative paths stay relative with "\" turned into "/".
// Returns 0, or -1 with errno ENOENT (last error PATH_NOT_FOUND) for an unmapped drive or
// share or an empty path.
[[nodiscard]] int plat_native_path(std::string_view windows_path, std::string* native);

// Native -> Windows form under the mapping with the longest matching root (a drive letter
// wins a tie). Returns 0, or -1 with errno ENOENT when no mapping covers the path, or
// EINVAL when a component holds a backslash (no Windows-form path can name it).
[[nodiscard]] int plat_windows_path(std::string_view native_path, std::string* windows);

// The mappings: drive letters in letter order (C: always present unless mapped away),
// then UNC shares in file order.
[[nodiscard]] std::vector<DriveMapping> plat_drive_map();

void plat_drive_map_reload();
