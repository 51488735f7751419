#include "platform/file.h"

#include <cerrno>
#include <fcntl.h>
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

