// The POSIX Env: Windows-form paths through the drive map, descriptors close-on-exec,
// EINTR retried, failures recorded as the Windows error they stand for.
#include "platform/env.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/error.h"
#include "platform/handle.h"
#include "platform/path.h"
#include "platform/posix/native_error.h"
#include "platform/posix/posix_env.h"
#include "platform/retry.h"

namespace {

// -1 with errno and last error, or the result.
int checked(int rc) {
  return rc == -1 ? fail_with(errno) : rc;
}

int native_open_flags(unsigned flags) {
  bool reads = (flags & PLAT_OPEN_READ) != 0;
  bool writes = (flags & PLAT_OPEN_WRITE) != 0;
  int oflags = O_CLOEXEC | O_NOCTTY;
  oflags |= reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
  if ((flags & PLAT_OPEN_CREATE) != 0) oflags |= O_CREAT;
  if ((flags & PLAT_OPEN_TRUNCATE) != 0) oflags |= O_TRUNC;
  return oflags;
}

bool write_fully(int fd, const void* bytes, size_t length) {
  return plat_write_fully([fd](const void* p, size_t n) { return ::write(fd, p, n); }, bytes,
                          length) >= 0;
}

int create_exclusive_and_write(const std::string& native, unsigned mode, const void* bytes,
                               size_t length) {
  UniqueFd fd(plat_retry_eintr([&] {
    return ::open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY,
                  static_cast<mode_t>(mode));
  }));
  if (!fd.valid()) return fail_with(errno);
  if (!write_fully(fd.get(), bytes, length) ||
      plat_retry_eintr([&] { return ::fsync(fd.get()); }) != 0) {
    return fail_with(errno);
  }
  return fd.close();
}

class PosixEnv final : public Env {
 public:
  int open_file(std::string_view path, unsigned flags) override {
    std::string native;
    if (plat_native_path(path, &native) != 0) return -1;
    return checked(
        plat_retry_eintr([&] { return ::open(native.c_str(), native_open_flags(flags), 0666); }));
  }

  int open_read(std::string_view path) override {
    std::string native;
    if (plat_native_path(path, &native) != 0) return -1;
    return checked(plat_retry_eintr(
        [&] { return ::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK); }));
  }

  int create_new(std::string_view path, unsigned mode) override {
    std::string native;
    if (plat_native_path(path, &native) != 0) return -1;
    return checked(plat_retry_eintr([&] {
      return ::open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY,
                    static_cast<mode_t>(mode));
    }));
  }

  int open_exclusive(std::string_view path, unsigned flags) override {
    std::string native;
    if (plat_native_path(path, &native) != 0) return -1;
    // Truncation waits until the lock is held, so a file held by a reader stays intact.
    UniqueFd fd(plat_retry_eintr([&] {
      return ::open(native.c_str(), native_open_flags(flags & ~PLAT_OPEN_TRUNCATE), 0666);
    }));
    if (!fd.valid()) return fail_with(errno);
    // The lock belongs to this fresh open file description: any other open, even in this
    // process, is refused while it lives.
    if (plat_retry_eintr([&] { return ::flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0) {
      return fail_with(EACCES);
    }
    // flock does not see record locks (Java's FileChannel.lock takes those); an open file
    // description lock conflicts with them, and like flock it lives with this open.
    struct flock range {};
    range.l_type = (flags & PLAT_OPEN_WRITE) != 0 ? F_WRLCK : F_RDLCK;
    range.l_whence = SEEK_SET;  // start 0, length 0: the whole file, however it grows
    if (plat_retry_eintr([&] { return ::fcntl(fd.get(), F_OFD_SETLK, &range); }) != 0) {
      return fail_with(EACCES);
    }
    if ((flags & PLAT_OPEN_TRUNCATE) != 0 &&
        plat_retry_eintr([&] { return ::ftruncate(fd.get(), 0); }) != 0) {
      return fail_with(errno);
    }
    return fd.release();
  }

  int close_file(int fd) override { return UniqueFd(fd).close(); }

  ssize_t read(int fd, void* buffer, size_t length) override {
    return plat_retry_eintr([&] { return ::read(fd, buffer, length); });
  }

  ssize_t read_at(int fd, void* buffer, size_t length, uint64_t offset) override {
    return plat_retry_eintr(
        [&] { return ::pread(fd, buffer, length, static_cast<off_t>(offset)); });
  }

  ssize_t write(int fd, const void* buffer, size_t length) override {
    return plat_retry_eintr([&] { return ::write(fd, buffer, length); });
  }

  int seek(int fd, int64_t offset) override {
    if (offset < 0) {
      errno = EINVAL;
      return -1;
    }
    return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(-1) ? -1 : 0;
  }

  int64_t file_size(int fd) override {
    struct stat st;
    if (plat_retry_eintr([&] { return ::fstat(fd, &st); }) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
  }

  int sync(int fd) override {
    return plat_retry_eintr([&] { return ::fsync(fd); });
  }

  int publish_new_file(std::string_view path, unsigned mode, const void* bytes,
                       size_t length) override {
    std::string native;
    if (plat_native_path(path, &native) != 0) return -1;
    size_t slash = native.rfind('/');
    std::string folder = slash == std::string::npos ? "."
                         : slash == 0               ? "/"
                                                    : native.substr(0, slash);
    // An unnamed file in the target folder, linked under the name once written: linking
    // fails rather than replace, and nobody can open the name before the bytes are there.
    UniqueFd fd(plat_retry_eintr([&] {
      return ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, static_cast<mode_t>(mode));
    }));
    if (!fd.valid()) {
      if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
        return create_exclusive_and_write(native, mode, bytes, length);
      }
      return fail_with(errno);
    }
    if (::fchmod(fd.get(), static_cast<mode_t>(mode)) != 0 ||
        !write_fully(fd.get(), bytes, length) ||
        plat_retry_eintr([&] { return ::fsync(fd.get()); }) != 0) {
      return fail_with(errno);
    }
    std::string self = "/proc/self/fd/" + std::to_string(fd.get());
    int r = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, native.c_str(), AT_SYMLINK_FOLLOW);
    int e = errno;
    fd.reset();
    if (r == 0) return 0;
    if (e == EEXIST) return fail_with(e);
    // No /proc to link through: plain exclusive creation still never replaces anything.
    return create_exclusive_and_write(native, mode, bytes, length);
  }

  FILE* open_stream(std::string_view path, const char* mode) override {
    std::string native;
    if (plat_native_path(path, &native) != 0) return nullptr;
    std::string m(mode);
    m.push_back('e');
    return ::fopen(native.c_str(), m.c_str());
  }

  int rename_file(std::string_view from, std::string_view to) override {
    std::string a, b;
    if (plat_native_path(from, &a) != 0 || plat_native_path(to, &b) != 0) return -1;
    return plat_retry_eintr([&] { return ::rename(a.c_str(), b.c_str()); });
  }

  int delete_file(std::string_view path) override {
    std::string native;
    if (plat_native_path(path, &native) != 0) return -1;
    return plat_retry_eintr([&] { return ::unlink(native.c_str()); });
  }

  int make_dir(std::string_view path) override {
    std::string native;
    if (plat_native_path(path, &native) != 0) return -1;
    return plat_retry_eintr([&] { return ::mkdir(native.c_str(), 0777); });
  }

  int remove_dir(std::string_view path) override {
    std::string native;
    if (plat_native_path(path, &native) != 0) return -1;
    return plat_retry_eintr([&] { return ::rmdir(native.c_str()); });
  }

  int file_exists(std::string_view path) override {
    std::string native;
    if (plat_native_path(path, &native) != 0) return errno == ENOENT ? 0 : -1;
    struct stat st;
    if (plat_retry_eintr([&] { return ::stat(native.c_str(), &st); }) != 0) {
      return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
    }
    return S_ISDIR(st.st_mode) ? 0 : 1;
  }

  int dir_usable(std::string_view path) override {
    std::string native;
    if (plat_native_path(path, &native) != 0) return 0;
    struct stat st;
    if (plat_retry_eintr([&] { return ::stat(native.c_str(), &st); }) != 0) return 0;
    return S_ISDIR(st.st_mode) && ::access(native.c_str(), X_OK) == 0 ? 1 : 0;
  }

  int sync_dir(std::string_view path) override {
    std::string native;
    if (plat_native_path(path, &native) != 0) return -1;
    UniqueFd fd(plat_retry_eintr(
        [&] { return ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!fd.valid()) return -1;
    return plat_retry_eintr([&] { return ::fsync(fd.get()); });
  }

  int file_status(std::string_view path, PlatFileStatus* status) override {
    std::string native;
    if (status == nullptr) return fail_with(EINVAL);
    if (plat_native_path(path, &native) != 0) return -1;
    struct stat st {};
    if (plat_retry_eintr([&] { return ::stat(native.c_str(), &st); }) != 0) {
      return fail_with(errno);
    }
    status->is_directory = S_ISDIR(st.st_mode);
    status->is_regular = S_ISREG(st.st_mode);
    status->size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    status->modification_time = static_cast<int64_t>(st.st_mtime);
    return 0;
  }

  int full_directory_path(std::string_view path, std::string* full) override {
    if (full == nullptr) return fail_with(EINVAL);
    std::string native;
    if (plat_native_path(path, &native) != 0) return -1;
    if (native.empty()) native = ".";
    char* real = ::realpath(native.c_str(), nullptr);
    if (real == nullptr) return fail_with(errno);
    std::string resolved(real);
    free(real);
    struct stat st {};
    if (::stat(resolved.c_str(), &st) != 0) return fail_with(errno);
    if (!S_ISDIR(st.st_mode)) return fail_with(ENOTDIR, PLAT_ERROR_DIRECTORY);
    return plat_windows_path(resolved, full);
  }

  PlatFindHandle find_first(std::string_view pattern, PlatFindData* data) override {
    return posix_find_first(pattern, data);
  }

  int find_next(PlatFind* find, PlatFindData* data) override { return posix_find_next(find, data); }

  LocalTime local_time() override {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm parts{};
    localtime_r(&ts.tv_sec, &parts);
    return LocalTime{parts.tm_year + 1900,
                     parts.tm_mon + 1,
                     parts.tm_mday,
                     parts.tm_hour,
                     parts.tm_min,
                     parts.tm_sec,
                     static_cast<int>(ts.tv_nsec / 1000000)};
  }

  int64_t unix_time() override {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec;
  }

  uint64_t tick_ms() override {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  }

  void sleep_ms(uint32_t ms) override {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    // nanosleep leaves the remainder in `left`, so a retry sleeps only what is left.
    (void)plat_retry_eintr([&] { return nanosleep(&left, &left); });
  }

  int process_start(const char* command_line, ChildProcess* child) override {
    return posix_process_start(command_line, child);
  }

  PlatWaitResult process_wait(ChildProcess& child, uint32_t timeout_ms) override {
    return posix_process_wait(this, child, timeout_ms);
  }

  int process_exit_code(const ChildProcess& child, uint32_t* code) override {
    return posix_process_exit_code(child, code);
  }

  int process_terminate(ChildProcess& child) override { return posix_process_terminate(child); }
};

}  // namespace

Env* plat_system_env() {
  static PosixEnv instance;
  return &instance;
}
