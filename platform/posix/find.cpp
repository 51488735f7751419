#include "platform/posix/posix_env.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/error.h"
#include "platform/handle.h"
#include "platform/path.h"
#include "platform/posix/native_error.h"
#include "platform/retry.h"

namespace {

constexpr uint64_t kFiletimeUnixEpoch = 116444736000000000ull;
constexpr unsigned kStatxMask = STATX_BASIC_STATS | STATX_BTIME | STATX_MNT_ID;

uint64_t to_filetime(const statx_timestamp& t) {
  if (t.tv_sec < 0 && static_cast<uint64_t>(-t.tv_sec) * 10000000ull > kFiletimeUnixEpoch) return 0;
  int64_t ticks = t.tv_sec * 10000000ll + t.tv_nsec / 100;
  return static_cast<uint64_t>(static_cast<int64_t>(kFiletimeUnixEpoch) + ticks);
}

}  // namespace

struct PlatFind {
  DIR* dir = nullptr;
  struct statx self {};
  std::string name_pattern;  // empty: every name
  int pending_dots = 0;      // "." and ".." still to hand out (2, 1, 0)

  ~PlatFind() {
    if (dir != nullptr) closedir(dir);
  }

  bool matches(const char* name) const {
    return name_pattern.empty() ||
           fnmatch(name_pattern.c_str(), name, FNM_NOESCAPE | FNM_CASEFOLD) == 0;
  }

  void fill(const char* name, const struct statx& st, bool reparse, PlatFindData* data) const {
    memset(data, 0, sizeof(*data));
    bool is_dir = S_ISDIR(st.stx_mode) && !reparse;
    uint32_t attributes = 0;
    if (S_ISDIR(st.stx_mode)) attributes |= PLAT_ATTR_DIRECTORY;
    if ((st.stx_mode & S_IWUSR) == 0) attributes |= PLAT_ATTR_READONLY;
    if (reparse) attributes |= PLAT_ATTR_REPARSE_POINT;
    if (attributes == 0) attributes = PLAT_ATTR_NORMAL;
    data->attributes = attributes;
    data->creation_time = to_filetime((st.stx_mask & STATX_BTIME) ? st.stx_btime : st.stx_ctime);
    data->last_access_time = to_filetime(st.stx_atime);
    data->last_write_time = to_filetime(st.stx_mtime);
    uint64_t size = (S_ISREG(st.stx_mode) && !is_dir) ? st.stx_size : 0;
    data->size_high = static_cast<uint32_t>(size >> 32);
    data->size_low = static_cast<uint32_t>(size);
    snprintf(data->name, sizeof(data->name), "%s", name);
  }

  // An entry whose status read failed with `error`: only the listing's type is known.
  static void fill_unknown(const char* name, unsigned char type, int error, PlatFindData* data) {
    memset(data, 0, sizeof(*data));
    if (type == DT_DIR) {
      data->attributes = PLAT_ATTR_DIRECTORY;
    } else if (type == DT_REG || type == DT_UNKNOWN) {
      data->attributes = PLAT_ATTR_NORMAL;
    } else {
      data->attributes = PLAT_ATTR_REPARSE_POINT;
    }
    data->status_error = error;
    snprintf(data->name, sizeof(data->name), "%s", name);
  }

  bool is_reparse(const struct statx& st) const {
    if (S_ISLNK(st.stx_mode)) return true;
    if (!S_ISREG(st.stx_mode) && !S_ISDIR(st.stx_mode)) return true;
    if (S_ISDIR(st.stx_mode)) {
      if (st.stx_dev_major != self.stx_dev_major || st.stx_dev_minor != self.stx_dev_minor)
        return true;
      // A bind mount stays on the same device; only the mount identity tells it apart.
      if ((st.stx_mask & STATX_MNT_ID) && (self.stx_mask & STATX_MNT_ID) &&
          st.stx_mnt_id != self.stx_mnt_id)
        return true;
    }
    return false;
  }

  // 0 with `data` filled, 1 at the end, -1 on failure (errno set).
  int next(PlatFindData* data) {
    while (pending_dots > 0) {
      const char* name = pending_dots == 2 ? "." : "..";
      --pending_dots;
      if (!matches(name)) continue;
      if (name[1] == '\0') {
        fill(name, self, false, data);
        return 0;
      }
      struct statx parent {};
      if (statx(dirfd(dir), "..", AT_SYMLINK_NOFOLLOW, kStatxMask, &parent) != 0) parent = self;
      fill(name, parent, false, data);
      return 0;
    }
    for (;;) {
      errno = 0;
      dirent* entry = readdir(dir);
      if (entry == nullptr) return errno == 0 ? 1 : -1;
      const char* name = entry->d_name;
      if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
      if (strchr(name, '\\') != nullptr) continue;
      if (strlen(name) >= sizeof(data->name)) continue;
      if (!matches(name)) continue;
      struct statx st {};
      if (statx(dirfd(dir), name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, kStatxMask, &st) != 0) {
        if (errno == ENOENT) continue;  // vanished since the listing
        fill_unknown(name, entry->d_type, errno, data);
        return 0;
      }
      fill(name, st, is_reparse(st), data);
      return 0;
    }
  }
};

void plat_find_close(PlatFind* find) {
  delete find;
}

PlatFindHandle posix_find_first(std::string_view pattern, PlatFindData* data) {
  if (data == nullptr || pattern.empty()) {
    fail_with(EINVAL);
    return nullptr;
  }
  size_t cut = pattern.size();
  while (cut > 0 && !plat_is_path_separator(pattern[cut - 1])) --cut;
  std::string_view folder = pattern.substr(0, cut);
  std::string_view names = pattern.substr(cut);
  // Keep a root separator ("\*" or "D:\*"), drop the one that ends a longer folder.
  if (folder.size() > 1 && !(folder.size() == 3 && folder[1] == ':')) folder.remove_suffix(1);
  std::string native;
  if (folder.empty()) {
    native = ".";
  } else if (plat_native_path(folder, &native) != 0) {
    plat_set_last_error(PLAT_ERROR_PATH_NOT_FOUND);
    return nullptr;
  }
  if (native.empty()) native = ".";

  auto find = PlatFindHandle(new PlatFind);
  if (names != "*" && names != "*.*" && !names.empty()) find->name_pattern = std::string(names);
  UniqueFd fd(plat_retry_eintr(
      [&] { return open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK); }));
  if (!fd.valid()) {
    int e = errno;
    fail_with(e,
              e == ENOENT || e == ENOTDIR ? PLAT_ERROR_PATH_NOT_FOUND : native_to_windows_error(e));
    return nullptr;
  }
  if (statx(fd.get(), "", AT_EMPTY_PATH, kStatxMask, &find->self) != 0) {
    fail_with(errno);
    return nullptr;
  }
  find->dir = fdopendir(fd.get());
  if (find->dir == nullptr) {
    fail_with(errno);
    return nullptr;
  }
  (void)fd.release();  // the listing owns it now
  find->pending_dots = 2;
  int r = find->next(data);
  if (r != 0) {
    if (r == 1) {
      fail_with(ENOENT, PLAT_ERROR_FILE_NOT_FOUND);
    } else {
      fail_with(errno);
    }
    return nullptr;
  }
  return find;
}

int posix_find_next(PlatFind* find, PlatFindData* data) {
  if (find == nullptr || data == nullptr) return fail_with(EINVAL);
  int r = find->next(data);
  if (r == 1) return fail_with(ENOENT, PLAT_ERROR_NO_MORE_FILES);
  if (r == -1) return fail_with(errno);
  return 0;
}
