#include "platform/fs.h"

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
#include "platform/path.h"
#include "platform/posix/native_error.h"

namespace {

constexpr uint64_t kFiletimeUnixEpoch = 116444736000000000ull;
constexpr unsigned kStatxMask = STATX_BASIC_STATS | STATX_BTIME | STATX_MNT_ID;

uint64_t to_filetime(const statx_timestamp& t) {
  if (t.tv_sec < 0 && static_cast<uint64_t>(-t.tv_sec) * 10000000ull > kFiletimeUnixEpoch) return 0;
  int64_t ticks = t.tv_sec * 10000000ll + t.tv_nsec / 100;
  return static_cast<uint64_t>(static_cast<int64_t>(kFiletimeUnixEpoch) + ticks);
}

bool is_sep(char c) {
  return c == '\\' || c == '/';
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
        continue;  // vanished since the listing, or not ours to look at
      }
      fill(name, st, is_reparse(st), data);
      return 0;
    }
  }
};

void plat_find_close(PlatFind* find) {
  delete find;
}

PlatFindHandle plat_find_first(std::string_view pattern, PlatFindData* data) {
  if (data == nullptr || pattern.empty()) {
    fail_with(EINVAL);
    return nullptr;
  }
  size_t cut = pattern.size();
  while (cut > 0 && !is_sep(pattern[cut - 1])) --cut;
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
  int fd = open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
  if (fd == -1) {
    int e = errno;
    fail_with(e,
              e == ENOENT || e == ENOTDIR ? PLAT_ERROR_PATH_NOT_FOUND : native_to_windows_error(e));
    return nullptr;
  }
  if (statx(fd, "", AT_EMPTY_PATH, kStatxMask, &find->self) != 0) {
    int e = errno;
    close(fd);
    fail_with(e);
    return nullptr;
  }
  find->dir = fdopendir(fd);
  if (find->dir == nullptr) {
    int e = errno;
    close(fd);
    fail_with(e);
    return nullptr;
  }
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

int plat_find_next(PlatFind* find, PlatFindData* data) {
  if (find == nullptr || data == nullptr) return fail_with(EINVAL);
  int r = find->next(data);
  if (r == 1) return fail_with(ENOENT, PLAT_ERROR_NO_MORE_FILES);
  if (r == -1) return fail_with(errno);
  return 0;
}

int plat_file_status(std::string_view path, PlatFileStatus* status) {
  std::string native;
  if (status == nullptr) return fail_with(EINVAL);
  if (plat_native_path(path, &native) != 0) return -1;
  struct stat st {};
  if (stat(native.c_str(), &st) != 0) return fail_with(errno);
  status->is_directory = S_ISDIR(st.st_mode);
  status->is_regular = S_ISREG(st.st_mode);
  status->size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
  status->modification_time = static_cast<int64_t>(st.st_mtime);
  return 0;
}

int plat_open_read(std::string_view path) {
  std::string native;
  if (plat_native_path(path, &native) != 0) return -1;
  int fd;
  do {
    fd = open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd == -1 && errno == EINTR);
  if (fd == -1) return fail_with(errno);
  return fd;
}

int plat_create_new(std::string_view path, unsigned mode) {
  std::string native;
  if (plat_native_path(path, &native) != 0) return -1;
  int fd;
  do {
    fd = open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY,
              static_cast<mode_t>(mode));
  } while (fd == -1 && errno == EINTR);
  if (fd == -1) return fail_with(errno);
  return fd;
}

namespace {

bool write_fully(int fd, const void* bytes, size_t length) {
  const char* p = static_cast<const char*>(bytes);
  while (length > 0) {
    ssize_t n = write(fd, p, length);
    if (n == -1 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

namespace {

int create_exclusive_and_write(const std::string& native, unsigned mode, const void* bytes,
                               size_t length) {
  int fd = open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY,
                static_cast<mode_t>(mode));
  if (fd == -1) return fail_with(errno);
  bool ok = write_fully(fd, bytes, length) && fsync(fd) == 0;
  int e = errno;
  close(fd);
  return ok ? 0 : fail_with(e);
}

}  // namespace

int plat_publish_new_file(std::string_view path, unsigned mode, const void* bytes, size_t length) {
  std::string native;
  if (plat_native_path(path, &native) != 0) return -1;
  size_t slash = native.rfind('/');
  std::string folder = slash == std::string::npos ? "."
                       : slash == 0               ? "/"
                                                  : native.substr(0, slash);
  // An unnamed file in the target folder, linked under the name once written: linking
  // fails rather than replace, and nobody can open the name before the bytes are there.
  int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, static_cast<mode_t>(mode));
  if (fd == -1) {
    if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
      return create_exclusive_and_write(native, mode, bytes, length);
    }
    return fail_with(errno);
  }
  if (fchmod(fd, static_cast<mode_t>(mode)) != 0 || !write_fully(fd, bytes, length) ||
      fsync(fd) != 0) {
    int e = errno;
    close(fd);
    return fail_with(e);
  }
  std::string self = "/proc/self/fd/" + std::to_string(fd);
  int r = linkat(AT_FDCWD, self.c_str(), AT_FDCWD, native.c_str(), AT_SYMLINK_FOLLOW);
  int e = errno;
  close(fd);
  if (r == 0) return 0;
  if (e == EEXIST) return fail_with(e);
  // No /proc to link through: plain exclusive creation still never replaces anything.
  return create_exclusive_and_write(native, mode, bytes, length);
}

int plat_close(int fd) {
  // Linux releases the descriptor even when close reports EINTR; never retry.
  if (close(fd) != 0) return fail_with(errno);
  return 0;
}

int plat_full_directory_path(std::string_view path, std::string* full) {
  if (full == nullptr) return fail_with(EINVAL);
  std::string native;
  if (plat_native_path(path, &native) != 0) return -1;
  if (native.empty()) native = ".";
  char* real = realpath(native.c_str(), nullptr);
  if (real == nullptr) return fail_with(errno);
  std::string resolved(real);
  free(real);
  struct stat st {};
  if (stat(resolved.c_str(), &st) != 0) return fail_with(errno);
  if (!S_ISDIR(st.st_mode)) return fail_with(ENOTDIR, PLAT_ERROR_DIRECTORY);
  return plat_windows_path(resolved, full);
}
