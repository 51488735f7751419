#include "platform/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <string>

#include "platform/path.h"

namespace {

template <typename Call>
auto retry_eintr(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

class PosixFileSystem final : public FileSystem {
 public:
  int open_file(std::string_view path, unsigned flags) override {
    std::string native;
    if (plat_native_path(path, &native) != 0) return -1;
    int oflags = O_CLOEXEC;
    bool reads = (flags & PLAT_OPEN_READ) != 0;
    bool writes = (flags & PLAT_OPEN_WRITE) != 0;
    oflags |= reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
    if ((flags & PLAT_OPEN_CREATE) != 0) oflags |= O_CREAT;
    if ((flags & PLAT_OPEN_TRUNCATE) != 0) oflags |= O_TRUNC;
    return retry_eintr([&] { return ::open(native.c_str(), oflags, 0666); });
  }

  int close_file(int fd) override {
    // POSIX leaves the descriptor state unspecified after EINTR; Linux has closed it.
    int rc = ::close(fd);
    return rc == -1 && errno == EINTR ? 0 : rc;
  }

  ssize_t read_at(int fd, void* buffer, size_t length, uint64_t offset) override {
    return retry_eintr([&] { return ::pread(fd, buffer, length, static_cast<off_t>(offset)); });
  }

  ssize_t write(int fd, const void* buffer, size_t length) override {
    return retry_eintr([&] { return ::write(fd, buffer, length); });
  }

  int64_t file_size(int fd) override {
    struct stat st;
    if (retry_eintr([&] { return ::fstat(fd, &st); }) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
  }

  int sync(int fd) override {
    return retry_eintr([&] { return ::fsync(fd); });
  }

  int rename_file(std::string_view from, std::string_view to) override {
    std::string a, b;
    if (plat_native_path(from, &a) != 0 || plat_native_path(to, &b) != 0) return -1;
    return retry_eintr([&] { return ::rename(a.c_str(), b.c_str()); });
  }

  int delete_file(std::string_view path) override {
    std::string native;
    if (plat_native_path(path, &native) != 0) return -1;
    return retry_eintr([&] { return ::unlink(native.c_str()); });
  }

  int make_dir(std::string_view path) override {
    std::string native;
    if (plat_native_path(path, &native) != 0) return -1;
    return retry_eintr([&] { return ::mkdir(native.c_str(), 0777); });
  }

  int remove_dir(std::string_view path) override {
    std::string native;
    if (plat_native_path(path, &native) != 0) return -1;
    return retry_eintr([&] { return ::rmdir(native.c_str()); });
  }

  int file_exists(std::string_view path) override {
    std::string native;
    if (plat_native_path(path, &native) != 0) return errno == ENOENT ? 0 : -1;
    struct stat st;
    if (retry_eintr([&] { return ::stat(native.c_str(), &st); }) != 0) {
      return errno == ENOENT || errno == ENOTDIR ? 0 : -1;
    }
    return S_ISDIR(st.st_mode) ? 0 : 1;
  }

  int dir_usable(std::string_view path) override {
    std::string native;
    if (plat_native_path(path, &native) != 0) return 0;
    struct stat st;
    if (retry_eintr([&] { return ::stat(native.c_str(), &st); }) != 0) return 0;
    return S_ISDIR(st.st_mode) && ::access(native.c_str(), X_OK) == 0 ? 1 : 0;
  }

  int sync_dir(std::string_view path) override {
    std::string native;
    if (plat_native_path(path, &native) != 0) return -1;
    int fd =
        retry_eintr([&] { return ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (fd == -1) return -1;
    int rc = retry_eintr([&] { return ::fsync(fd); });
    int saved = errno;
    ::close(fd);
    errno = saved;
    return rc;
  }
};

}  // namespace

FileSystem* plat_file_system() {
  static PosixFileSystem instance;
  return &instance;
}
