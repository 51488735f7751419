#include "platform/file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <string>
#include <unistd.h>

#include "platform/path.h"

FILE* plat_fopen(std::string_view windows_path, const char* mode) {
  std::string native;
  if (plat_native_path(windows_path, &native) != 0) return nullptr;
  std::string m(mode);
  m.push_back('e');
  return fopen(native.c_str(), m.c_str());
}

FILE* plat_fopen_exclusive(std::string_view windows_path, const char* mode) {
  std::string native;
  if (plat_native_path(windows_path, &native) != 0) return nullptr;
  bool writes = strchr(mode, 'w') != nullptr || strchr(mode, 'a') != nullptr;
  // Take the lock before truncating, so a file held by a reader is left as it is.
  int flags = O_CLOEXEC | (writes ? O_CREAT : 0) | (strchr(mode, '+') != nullptr ? O_RDWR : writes ? O_WRONLY : O_RDONLY);
  int fd = open(native.c_str(), flags, 0666);
  if (fd < 0) return nullptr;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    errno = EACCES;
    return nullptr;
  }
  if (strchr(mode, 'w') != nullptr && ftruncate(fd, 0) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return nullptr;
  }
  FILE* f = fdopen(fd, mode);
  if (f == nullptr) {
    int saved = errno;
    close(fd);
    errno = saved;
  }
  return f;
}

ssize_t plat_read(int fd, void* buffer, size_t length) {
  ssize_t n;
  do {
    n = read(fd, buffer, length);
  } while (n == -1 && errno == EINTR);
  return n;
}

ssize_t plat_write(int fd, const void* buffer, size_t length) {
  ssize_t n;
  do {
    n = write(fd, buffer, length);
  } while (n == -1 && errno == EINTR);
  return n;
}

int plat_seek(int fd, int64_t offset) {
  if (offset < 0) {
    errno = EINVAL;
    return -1;
  }
  return lseek(fd, static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(-1) ? -1 : 0;
}

