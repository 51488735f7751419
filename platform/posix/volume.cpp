#include "platform/volume.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/path.h"
#include "platform/posix/native_error.h"

namespace {

// Magic numbers of statfs f_type (linux/magic.h and the file systems' own sources).
constexpr unsigned long kTmpfs = 0x01021994;
constexpr unsigned long kRamfs = 0x858458f6;
constexpr unsigned long kNfs = 0x6969;
constexpr unsigned long kCifs = 0xFF534D42;
constexpr unsigned long kSmb = 0x517B;
constexpr unsigned long kSmb2 = 0xFE534D42;
constexpr unsigned long kIso9660 = 0x9660;
constexpr unsigned long kUdf = 0x15013346;

struct MountEntry {
  std::string mount_point;
  std::string fs_type;
  std::string source;
};

// mountinfo escapes blanks and backslashes as octal "\040".
std::string unescape_octal(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' &&
        s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
      out.push_back(
          static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

// The mount that holds `native`: found by mount identity, else by the longest mount point.
bool find_mount(const std::string& native, MountEntry* found) {
  struct statx st {};
  bool have_id = statx(AT_FDCWD, native.c_str(), AT_NO_AUTOMOUNT, STATX_MNT_ID, &st) == 0 &&
                 (st.stx_mask & STATX_MNT_ID);
  char* real = realpath(native.c_str(), nullptr);
  std::string resolved = real != nullptr ? real : native;
  free(real);

  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  size_t best = 0;
  bool any = false;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, devno, root, point, options;
    if (!(fields >> id >> parent >> devno >> root >> point >> options)) continue;
    std::string word;
    while (fields >> word && word != "-") {
    }
    MountEntry entry;
    if (!(fields >> entry.fs_type >> entry.source)) continue;
    entry.mount_point = unescape_octal(point);
    entry.source = unescape_octal(entry.source);
    if (have_id) {
      if (strtoull(id.c_str(), nullptr, 10) == st.stx_mnt_id) {
        *found = entry;
        return true;
      }
      continue;
    }
    const std::string& mp = entry.mount_point;
    bool covers = mp == "/" || resolved == mp ||
                  (resolved.size() > mp.size() && resolved.compare(0, mp.size(), mp) == 0 &&
                   resolved[mp.size()] == '/');
    if (covers && (!any || mp.size() >= best)) {
      best = mp.size();
      *found = entry;
      any = true;
    }
  }
  return any;
}

std::string read_first_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// A block device whose disk says it is removable (the partition's own folder has no
// "removable" file; its parent disk's has).
bool is_removable_device(const std::string& source) {
  if (source.compare(0, 5, "/dev/") != 0) return false;
  char* dev = realpath(source.c_str(), nullptr);
  if (dev == nullptr) return false;
  std::string name = dev;
  free(dev);
  name = name.substr(name.rfind('/') + 1);
  char* sys = realpath(("/sys/class/block/" + name).c_str(), nullptr);
  if (sys == nullptr) return false;
  std::string folder = sys;
  free(sys);
  for (const std::string& f : {folder + "/removable", folder + "/../removable"}) {
    std::string v = read_first_line(f);
    if (!v.empty()) return v == "1";
  }
  return false;
}

// The label whose /dev/disk/by-label link names the device, unescaped ("\x20").
std::string label_of_device(const std::string& source) {
  if (source.compare(0, 5, "/dev/") != 0) return {};
  char* dev = realpath(source.c_str(), nullptr);
  if (dev == nullptr) return {};
  std::string device = dev;
  free(dev);
  DIR* dir = opendir("/dev/disk/by-label");
  if (dir == nullptr) return {};
  std::string label;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    char* target = realpath((std::string("/dev/disk/by-label/") + entry->d_name).c_str(), nullptr);
    if (target == nullptr) continue;
    bool same = device == target;
    free(target);
    if (!same) continue;
    const char* n = entry->d_name;
    for (size_t i = 0; n[i] != '\0'; ++i) {
      if (n[i] == '\\' && n[i + 1] == 'x' && isxdigit(static_cast<unsigned char>(n[i + 2])) &&
          isxdigit(static_cast<unsigned char>(n[i + 3]))) {
        char hex[3] = {n[i + 2], n[i + 3], '\0'};
        label.push_back(static_cast<char>(strtol(hex, nullptr, 16)));
        i += 3;
      } else {
        label.push_back(n[i]);
      }
    }
    break;
  }
  closedir(dir);
  return label;
}

int native_root(std::string_view root, std::string* native) {
  if (root.empty()) {
    *native = ".";
    return 0;
  }
  if (plat_native_path(root, native) != 0) return -1;
  if (native->empty()) *native = ".";
  return 0;
}

}  // namespace

std::vector<std::string> plat_logical_drive_roots() {
  std::vector<std::string> roots;
  for (const DriveMapping& m : plat_drive_map()) {
    if (m.windows_root.size() == 2 && m.windows_root[1] == ':')
      roots.push_back(m.windows_root + "\\");
  }
  return roots;
}

int plat_drive_type(std::string_view root) {
  std::string native;
  if (native_root(root, &native) != 0) return PLAT_DRIVE_NO_ROOT_DIR;
  struct stat st {};
  if (stat(native.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return PLAT_DRIVE_NO_ROOT_DIR;
  struct statfs fs {};
  if (statfs(native.c_str(), &fs) != 0) return PLAT_DRIVE_UNKNOWN;
  unsigned long magic = static_cast<unsigned long>(fs.f_type) & 0xFFFFFFFFul;
  if (magic == kTmpfs || magic == kRamfs) return PLAT_DRIVE_RAMDISK;
  if (magic == kNfs || magic == kCifs || magic == kSmb || magic == kSmb2) return PLAT_DRIVE_REMOTE;
  if (magic == kIso9660 || magic == kUdf) return PLAT_DRIVE_CDROM;
  MountEntry mount;
  if (find_mount(native, &mount)) {
    const std::string& t = mount.fs_type;
    if (t == "nfs" || t == "nfs4" || t == "cifs" || t == "smb3" || t == "smbfs" ||
        t == "fuse.sshfs" || t == "sshfs")
      return PLAT_DRIVE_REMOTE;
    if (is_removable_device(mount.source)) return PLAT_DRIVE_REMOVABLE;
  }
  return PLAT_DRIVE_FIXED;
}

int plat_volume_information(std::string_view root, PlatVolumeInformation* info) {
  if (info == nullptr) return fail_with(EINVAL);
  *info = PlatVolumeInformation{};
  std::string native;
  if (native_root(root, &native) != 0) return -1;
  struct statfs fs {};
  if (statfs(native.c_str(), &fs) != 0) return fail_with(errno);
  int words[2];
  static_assert(sizeof(words) == sizeof(fs.f_fsid));
  memcpy(words, &fs.f_fsid, sizeof(words));
  // Windows serials are 32 bits; fold both halves of the 64-bit identity in.
  info->serial = static_cast<uint32_t>(words[0]) ^ static_cast<uint32_t>(words[1]);
  MountEntry mount;
  if (find_mount(native, &mount)) {
    info->file_system = mount.fs_type;
    info->label = label_of_device(mount.source);
  }
  return 0;
}

int plat_disk_free_space(std::string_view root, PlatDiskSpace* space) {
  if (space == nullptr) return fail_with(EINVAL);
  std::string native;
  if (native_root(root, &native) != 0) return -1;
  struct statvfs vfs {};
  if (statvfs(native.c_str(), &vfs) != 0) return fail_with(errno);
  uint64_t cluster = vfs.f_bsize;
  if (cluster == 0 || cluster > 0xFFFFFFFFull) return fail_with(EINVAL);
  // Windows reports the cluster as sectors of 512 bytes where it divides evenly.
  if (cluster % 512 == 0) {
    space->bytes_per_sector = 512;
    space->sectors_per_cluster = static_cast<uint32_t>(cluster / 512);
  } else {
    space->bytes_per_sector = static_cast<uint32_t>(cluster);
    space->sectors_per_cluster = 1;
  }
  uint64_t frsize = vfs.f_frsize != 0 ? vfs.f_frsize : cluster;
  space->free_clusters = vfs.f_bavail * frsize / cluster;
  space->total_clusters = vfs.f_blocks * frsize / cluster;
  return 0;
}
