#include "platform/file.h"

#include <io.h>

#include <cerrno>
#include <climits>

#include "platform/win32/crt_file.h"
#include "platform/win32/win_error.h"

FILE* plat_fopen(std::string_view windows_path, const char* mode) {
  // As the runtime's fopen shares: others may read and write meanwhile.
  return crt_fopen(windows_path, mode, FILE_SHARE_READ | FILE_SHARE_WRITE);
}

FILE* plat_fopen_exclusive(std::string_view windows_path, const char* mode) {
  // No sharing: a held file fails with a sharing violation before anything (a "w"
  // truncation included) happens to it.
  // The sharing violation translates to EACCES.
  return crt_fopen(windows_path, mode, 0);
}

ssize_t plat_read(int fd, void* buffer, size_t length) {
  unsigned n = length > INT_MAX ? INT_MAX : static_cast<unsigned>(length);
  return _read(fd, buffer, n);
}

ssize_t plat_write(int fd, const void* buffer, size_t length) {
  unsigned n = length > INT_MAX ? INT_MAX : static_cast<unsigned>(length);
  return _write(fd, buffer, n);
}

int plat_seek(int fd, int64_t offset) {
  if (offset < 0) {
    errno = EINVAL;
    return -1;
  }
  if (GetFileType(crt_handle(fd)) != FILE_TYPE_DISK) {
    errno = ESPIPE;
    return -1;
  }
  return _lseeki64(fd, offset, SEEK_SET) == -1 ? -1 : 0;
}
