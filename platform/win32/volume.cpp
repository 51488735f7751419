#include "platform/volume.h"

#include <windows.h>

#include <cerrno>
#include <cstring>

#include "platform/win32/win_error.h"

namespace {

// A root for the volume calls: NUL-terminated, or null for the current directory's.
bool root_text(std::string_view root, char* out, size_t capacity, const char** result) {
  if (root.empty()) {
    *result = nullptr;
    return true;
  }
  if (!win32_path(root.data(), root.size(), out, static_cast<unsigned long>(capacity))) {
    return false;
  }
  *result = out;
  return true;
}

}  // namespace

std::vector<std::string> plat_logical_drive_roots() {
  std::vector<std::string> roots;
  char buffer[512];
  DWORD n = GetLogicalDriveStringsA(sizeof buffer, buffer);
  if (n == 0 || n > sizeof buffer) return roots;
  // NUL-separated roots, ended by an empty one.
  for (const char* p = buffer; p < buffer + n && *p != '\0'; p += strlen(p) + 1) {
    roots.emplace_back(p);
  }
  return roots;
}

int plat_drive_type(std::string_view root) {
  char text[MAX_PATH];
  const char* r = nullptr;
  if (!root_text(root, text, sizeof text, &r)) return PLAT_DRIVE_NO_ROOT_DIR;
  // The system's codes are this layer's codes.
  return static_cast<int>(GetDriveTypeA(r));
}

int plat_volume_information(std::string_view root, PlatVolumeInformation* info) {
  if (info == nullptr) return fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
  *info = PlatVolumeInformation{};
  char text[MAX_PATH];
  const char* r = nullptr;
  if (!root_text(root, text, sizeof text, &r)) return -1;
  char label[MAX_PATH + 1] = {};
  char file_system[MAX_PATH + 1] = {};
  DWORD serial = 0;
  if (!GetVolumeInformationA(r, label, sizeof label, &serial, nullptr, nullptr, file_system,
                             sizeof file_system)) {
    return fail_win32();
  }
  info->label = label;
  info->serial = serial;
  info->file_system = file_system;
  return 0;
}

int plat_disk_free_space(std::string_view root, PlatDiskSpace* space) {
  if (space == nullptr) return fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
  char text[MAX_PATH];
  const char* r = nullptr;
  if (!root_text(root, text, sizeof text, &r)) return -1;
  DWORD sectors = 0, bytes = 0, free_clusters = 0, total_clusters = 0;
  if (!GetDiskFreeSpaceA(r, &sectors, &bytes, &free_clusters, &total_clusters)) {
    return fail_win32();
  }
  space->sectors_per_cluster = sectors;
  space->bytes_per_sector = bytes;
  space->free_clusters = free_clusters;
  space->total_clusters = total_clusters;
  return 0;
}
