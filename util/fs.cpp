#include "util/fs.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>

#include "platform/error.h"
#include "platform/volume.h"
#include "util/error.h"
#include "util/ignore.h"

namespace {

// Bytes per cluster by drive letter; 0 = not known yet.
std::atomic<int> g_cluster_cache[26];

constexpr int64_t kUnixEpochMs = 11644473600000ll;

bool is_drive_prefix(const char* p) {
  return isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':' && p[2] == '\\';
}

bool is_floppy_root(const std::string& root) {
  if (root.size() < 2 || root.size() > 3 || root[1] != ':') return false;
  if (root.size() == 3 && root[2] != '\\') return false;
  char letter = static_cast<char>(tolower(static_cast<unsigned char>(root[0])));
  return letter == 'a' || letter == 'b';
}

int volume_type_code(int drive_type) {
  switch (drive_type) {
    case PLAT_DRIVE_REMOVABLE:
      return VOLUME_REMOVABLE;
    case PLAT_DRIVE_FIXED:
      return VOLUME_FIXED;
    case PLAT_DRIVE_REMOTE:
      return VOLUME_NETWORK;
    case PLAT_DRIVE_CDROM:
      return VOLUME_CDROM;
    case PLAT_DRIVE_RAMDISK:
      return VOLUME_RAMDISK;
    default:
      return VOLUME_UNKNOWN;
  }
}

void copy_text(char* out, size_t capacity, const std::string& text) {
  snprintf(out, capacity, "%s", text.c_str());
}

int query_cluster(const std::string& root) {
  PlatDiskSpace space{};
  if (plat_disk_free_space(root, &space) != 0) return 0;
  uint64_t bytes = static_cast<uint64_t>(space.sectors_per_cluster) * space.bytes_per_sector;
  return bytes > 0x7FFFFFFF ? 0 : static_cast<int>(bytes);
}

struct Walker {
  const walk_request* request;
  int match_flags;  // -1: every name matches
  int cluster;
  char path[UTIL_PATH_BUFFER];
  walk_entry entry;
  std::deque<PlatFindData> frames;

  bool name_matches(const char* name) const {
    return match_flags == -1 || shell_match(request->pattern, name, match_flags) == 0;
  }

  int report(size_t length, const PlatFindData& data) {
    entry = walk_entry{};
    entry.path = path;
    entry.path_length = static_cast<int>(length);
    entry.flags = 1;
    bool dir = (data.attributes & PLAT_ATTR_DIRECTORY) != 0;
    entry.size = dir ? 0 : (static_cast<uint64_t>(data.size_high) << 32) | data.size_low;
    entry.size_on_disk = round_up_to_cluster(entry.size, cluster);
    entry.mode =
        (dir ? 0x4000u : 0x8000u) | ((data.attributes & PLAT_ATTR_READONLY) ? 0444u : 0777u);
    entry.mtime = filetime_to_unix_seconds(data.last_write_time);
    return request->callback(&entry, request->user_data);
  }

  // Walks the folder whose path fills path[0, length). Find data lives in `frames` (one
  // per depth, kept between walks) so deep trees cost little stack.
  int walk(size_t length, size_t depth) {
    path[length] = '\0';
    if (frames.size() <= depth) frames.emplace_back();
    PlatFindData& data = frames[depth];
    PlatFindHandle find = find_first(path, &data);
    if (!find) return plat_last_error() == PLAT_ERROR_ACCESS_DENIED ? WALK_CONTINUE : WALK_ERROR;
    bool no_ignore = (request->flags & WALK_NO_IGNORE) != 0;
    if (!no_ignore && is_ignore_path(path, true)) return WALK_CONTINUE;
    bool recurse = (request->flags & WALK_RECURSE) != 0;
    bool dirs_first = (request->flags & WALK_DIRS_FIRST) != 0;
    size_t base = length;
    if (base == 0 || path[base - 1] != '\\') path[base++] = '\\';
    do {
      const char* name = data.name;
      if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
      size_t name_length = strlen(name);
      // A path the buffer cannot hold cannot be named to anyone; pass it over.
      if (base + name_length >= sizeof(path)) continue;
      memcpy(path + base, name, name_length + 1);
      size_t full = base + name_length;
      if (data.attributes & PLAT_ATTR_REPARSE_POINT) continue;
      bool is_dir = (data.attributes & PLAT_ATTR_DIRECTORY) != 0;
      if (!no_ignore && is_ignore_path(path, is_dir)) continue;
      // A folder listed without its status (or without a name of its own) cannot be
      // searched under that name; it is reported, not entered.
      if (is_dir && recurse && data.status_error == 0) {
        if (dirs_first && name_matches(name)) {
          int r = report(full, data);
          if (r == WALK_SKIP) continue;
          if (r != WALK_CONTINUE) return r;
        }
        int r = walk(full, depth + 1);
        if (r != WALK_CONTINUE) return r;
        if (dirs_first) continue;
        path[full] = '\0';
      }
      if (name_matches(name)) {
        int r = report(full, data);
        if (r != WALK_CONTINUE && r != WALK_SKIP) return r;
      }
    } while (plat_env()->find_next(find.get(), &data) == 0);
    return WALK_CONTINUE;
  }
};

}  // namespace

List* get_volumes() {
  List* list = list_create(5, 5, nullptr);
  for (const std::string& root : plat_logical_drive_roots()) {
    VolumeRecord record{};
    copy_text(record.root, sizeof(record.root), root);
    if (is_floppy_root(root)) {
      record.type = VOLUME_FLOPPY;
    } else {
      record.type = volume_type_code(plat_drive_type(root));
      PlatVolumeInformation info;
      if (plat_volume_information(root, &info) != 0) info = PlatVolumeInformation{};
      copy_text(record.label, sizeof(record.label), info.label);
      copy_text(record.file_system, sizeof(record.file_system), info.file_system);
      snprintf(record.serial, sizeof(record.serial), "%04X-%04X", (info.serial >> 16) & 0xFFFFu,
               info.serial & 0xFFFFu);
    }
    list_insert(list, &record, sizeof(record), list_count(list));
  }
  return list;
}

int get_cluster_size(const char* path) {
  if (path == nullptr || path[0] == '\0') return 0;
  if (path[1] == ':') {
    int letter = toupper(static_cast<unsigned char>(path[0]));
    if (letter < 'A' || letter > 'Z') return 0;
    std::atomic<int>& slot = g_cluster_cache[letter - 'A'];
    int cached = slot.load(std::memory_order_relaxed);
    if (cached != 0) return cached;
    int size = query_cluster(std::string(path, path[2] != '\0' ? 3 : 2));
    if (size != 0) slot.store(size, std::memory_order_relaxed);
    return size;
  }
  if (path[0] == '\\' && path[1] == '\\') {
    const char* server_end = strchr(path + 2, '\\');
    const char* share_end = server_end != nullptr ? strchr(server_end + 1, '\\') : nullptr;
    std::string root = share_end != nullptr ? std::string(path, share_end + 1) : std::string(path);
    return query_cluster(root);
  }
  return query_cluster(std::string());
}

uint64_t round_up_to_cluster(uint64_t size, int cluster) {
  if (size == 0 || cluster <= 0) return size;
  uint64_t c = static_cast<uint64_t>(cluster);
  uint64_t r = size % c;
  return r == 0 ? size : size + (c - r);
}

int64_t filetime_to_unix_seconds(uint64_t filetime) {
  return (static_cast<int64_t>(filetime / 10000) - kUnixEpochMs) / 1000;
}

int dir_walk(const char* path, const walk_request* request) {
  if (request == nullptr || path == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (request->callback == nullptr) return 0;
  // One walk's buffers are large; keep them off the caller's stack.
  auto walker = std::make_unique<Walker>();
  walker->request = request;
  if (make_absolute_path(path, walker->path) == nullptr) return -1;
  if (request->pattern == nullptr || request->pattern[0] == '\0') {
    walker->match_flags = -1;
  } else {
    walker->match_flags = (request->flags & WALK_NOCASE) ? MATCH_CASEFOLD : 0;
  }
  walker->cluster = get_cluster_size(path);
  int result = walker->walk(strlen(walker->path), 0);
  if (result == WALK_ERROR) {
    map_system_error();
    return -1;
  }
  errno = 0;
  return 0;
}

char* make_absolute_path(const char* path, char* output) {
  if (path == nullptr || output == nullptr) {
    errno = EINVAL;
    return nullptr;
  }
  size_t length = strlen(path);
  if (is_drive_prefix(path) || (path[0] == '\\' && path[1] == '\\')) {
    if (length >= UTIL_PATH_BUFFER) {
      errno = ERANGE;
      return nullptr;
    }
    memcpy(output, path, length + 1);
    return output;
  }
  std::string full;
  if (plat_env()->full_directory_path(path, &full) != 0) {
    int saved = errno;
    map_system_error();
    if (plat_last_error() == PLAT_ERROR_DIRECTORY) errno = saved;
    return nullptr;
  }
  if (full.size() >= UTIL_PATH_BUFFER) {
    errno = ERANGE;
    return nullptr;
  }
  memcpy(output, full.c_str(), full.size() + 1);
  return output;
}

int parent_directory(char* output, const char* path) {
  if (output == nullptr) return 0;
  output[0] = '\0';
  char full[UTIL_PATH_BUFFER];
  if (make_absolute_path(path, full) == nullptr) return 0;
  size_t length = strlen(full);
  size_t root = is_drive_prefix(full) ? 3 : (full[0] == '\\' && full[1] == '\\') ? 2 : 0;
  if (length > root && full[length - 1] == '\\') --length;
  if (root == 3 && length <= 3) return 0;  // the drive root has no parent
  size_t slash = length;                   // index of the last backslash, `length` when none
  for (size_t i = 0; i < length; ++i) {
    if (full[i] == '\\') slash = i;
  }
  if (slash == length || (root == 2 && slash < 2)) {
    // No backslash past the root: the path comes back whole.
    full[length] = '\0';
    memcpy(output, full, length + 1);
    return static_cast<int>(length);
  }
  size_t keep = (root == 3 && slash == 2) ? 3 : slash;  // a drive root keeps its backslash
  memcpy(output, full, keep);
  output[keep] = '\0';
  return static_cast<int>(keep);
}

PlatFindHandle find_first(const char* path, PlatFindData* data) {
  if (path == nullptr || data == nullptr) {
    plat_set_last_error(PLAT_ERROR_INVALID_PARAMETER);
    errno = EINVAL;
    return nullptr;
  }
  if (path[0] == '\0') {
    plat_set_last_error(PLAT_ERROR_PATH_NOT_FOUND);
    errno = ENOENT;
    return nullptr;
  }
  std::string pattern;
  if (strcmp(path, ".") == 0) {
    pattern = "*";
  } else {
    size_t i = 0;
    if (is_drive_prefix(path)) {
      pattern.assign(path, 3);
      i = 3;
    } else if (path[0] == '\\' && path[1] == '\\') {
      pattern = "\\\\";
      i = 2;
    }
    for (; path[i] != '\0'; ++i) {
      if (path[i] == '\\' && !pattern.empty() && pattern.back() == '\\') continue;
      pattern.push_back(path[i]);
    }
    if (pattern.empty() || pattern.back() != '\\') pattern.push_back('\\');
    pattern.push_back('*');
  }
  return plat_env()->find_first(pattern, data);
}
