// Volumes behind the drive letters: the drive roots, their kind, label, serial number and
// file system, and cluster geometry. Answers come from the system on every call (no
// caching here). Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// GetDriveType's answers.
enum : int {
  PLAT_DRIVE_UNKNOWN = 0,
  PLAT_DRIVE_NO_ROOT_DIR = 1,
  PLAT_DRIVE_REMOVABLE = 2,
  PLAT_DRIVE_FIXED = 3,
  PLAT_DRIVE_REMOTE = 4,
  PLAT_DRIVE_CDROM = 5,
  PLAT_DRIVE_RAMDISK = 6,
};

// "C:\", "D:\", ... for every mapped drive letter, in letter order.
[[nodiscard]] std::vector<std::string> plat_logical_drive_roots();

// The kind of the volume at a root (a PLAT_DRIVE_ value).
[[nodiscard]] int plat_drive_type(std::string_view root);

struct PlatVolumeInformation {
  std::string label;        // empty when the volume has none
  uint32_t serial;          // volume serial number
  std::string file_system;  // as the mount table names it
};

// 0, or -1 with errno when the root cannot be queried.
[[nodiscard]] int plat_volume_information(std::string_view root, PlatVolumeInformation* info);

struct PlatDiskSpace {
  uint32_t sectors_per_cluster;
  uint32_t bytes_per_sector;
  uint64_t free_clusters;
  uint64_t total_clusters;
};

// Figures of the volume holding `root`; an empty root means the current directory's.
[[nodiscard]] int plat_disk_free_space(std::string_view root, PlatDiskSpace* space);
