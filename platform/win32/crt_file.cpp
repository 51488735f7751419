#include "platform/win32/crt_file.h"

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstring>

#include "platform/win32/win_error.h"

int crt_open(std::string_view path, DWORD access, DWORD share, DWORD disposition, bool append) {
  char p[MAX_PATH * 4];
  if (path.empty()) return fail_errno(ENOENT, ERROR_PATH_NOT_FOUND);
  if (!win32_path(path.data(), path.size(), p, sizeof p)) return -1;
  HANDLE h = CreateFileA(p, access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail_win32();
  int flags = _O_BINARY | _O_NOINHERIT;
  if ((access & GENERIC_WRITE) == 0) flags |= _O_RDONLY;
  if (append) flags |= _O_APPEND;
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
  if (fd == -1) {
    CloseHandle(h);
    return fail_errno(EMFILE, ERROR_TOO_MANY_OPEN_FILES);
  }
  return fd;
}

FILE* crt_fopen(std::string_view path, const char* mode, DWORD share) {
  if (mode == nullptr || (mode[0] != 'r' && mode[0] != 'w' && mode[0] != 'a')) {
    fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  bool plus = strchr(mode, '+') != nullptr;
  DWORD access = 0;
  DWORD disposition = 0;
  switch (mode[0]) {
    case 'r':
      access = GENERIC_READ | (plus ? GENERIC_WRITE : 0);
      disposition = OPEN_EXISTING;
      break;
    case 'w':
      access = GENERIC_WRITE | (plus ? GENERIC_READ : 0);
      disposition = CREATE_ALWAYS;
      break;
    default:
      access = GENERIC_WRITE | (plus ? GENERIC_READ : 0);
      disposition = OPEN_ALWAYS;
      break;
  }
  int fd = crt_open(path, access, share, disposition, mode[0] == 'a');
  if (fd == -1) return nullptr;
  // The stream's mode: the same letters, always binary.
  char stream_mode[4] = {mode[0], 0, 0, 0};
  size_t at = 1;
  if (plus) stream_mode[at++] = '+';
  stream_mode[at] = 'b';
  FILE* f = _fdopen(fd, stream_mode);
  if (f == nullptr) {
    int saved = errno;
    _close(fd);
    errno = saved;
  }
  return f;
}

HANDLE crt_handle(int fd) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}
