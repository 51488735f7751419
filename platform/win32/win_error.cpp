#include "platform/win32/win_error.h"

#include <windows.h>

#include <cerrno>
#include <cstring>

#include "platform/error.h"

namespace {

struct Translation {
  uint32_t windows;
  int errnum;
};

// The C runtime's own table (as _dosmaperr keeps it), then the errors that only this
// layer's services produce.
constexpr Translation kTable[] = {
    {ERROR_INVALID_FUNCTION, EINVAL},
    {ERROR_FILE_NOT_FOUND, ENOENT},
    {ERROR_PATH_NOT_FOUND, ENOENT},
    {ERROR_TOO_MANY_OPEN_FILES, EMFILE},
    {ERROR_ACCESS_DENIED, EACCES},
    {ERROR_INVALID_HANDLE, EBADF},
    {ERROR_ARENA_TRASHED, ENOMEM},
    {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},
    {ERROR_INVALID_BLOCK, ENOMEM},
    {ERROR_BAD_ENVIRONMENT, E2BIG},
    {ERROR_BAD_FORMAT, ENOEXEC},
    {ERROR_INVALID_ACCESS, EINVAL},
    {ERROR_INVALID_DATA, EINVAL},
    {ERROR_INVALID_DRIVE, ENOENT},
    {ERROR_CURRENT_DIRECTORY, EACCES},
    {ERROR_NOT_SAME_DEVICE, EXDEV},
    {ERROR_NO_MORE_FILES, ENOENT},
    {ERROR_LOCK_VIOLATION, EACCES},
    {ERROR_SHARING_VIOLATION, EACCES},
    {ERROR_BAD_NETPATH, ENOENT},
    {ERROR_NETWORK_ACCESS_DENIED, EACCES},
    {ERROR_BAD_NET_NAME, ENOENT},
    {ERROR_FILE_EXISTS, EEXIST},
    {ERROR_CANNOT_MAKE, EACCES},
    {ERROR_FAIL_I24, EACCES},
    {ERROR_INVALID_PARAMETER, EINVAL},
    {ERROR_NO_PROC_SLOTS, EAGAIN},
    {ERROR_DRIVE_LOCKED, EACCES},
    {ERROR_BROKEN_PIPE, EPIPE},
    {ERROR_DISK_FULL, ENOSPC},
    {ERROR_INVALID_TARGET_HANDLE, EBADF},
    {ERROR_WAIT_NO_CHILDREN, ECHILD},
    {ERROR_CHILD_NOT_COMPLETE, ECHILD},
    {ERROR_DIRECT_ACCESS_HANDLE, EBADF},
    {ERROR_NEGATIVE_SEEK, EINVAL},
    {ERROR_SEEK_ON_DEVICE, EACCES},
    {ERROR_DIR_NOT_EMPTY, ENOTEMPTY},
    {ERROR_NOT_LOCKED, EACCES},
    {ERROR_BAD_PATHNAME, ENOENT},
    {ERROR_MAX_THRDS_REACHED, EAGAIN},
    {ERROR_LOCK_FAILED, EACCES},
    {ERROR_ALREADY_EXISTS, EEXIST},
    {ERROR_FILENAME_EXCED_RANGE, ENOENT},
    {ERROR_NESTING_NOT_ALLOWED, EAGAIN},
    {ERROR_NOT_ENOUGH_QUOTA, ENOMEM},
    // Not in the runtime's table.
    {ERROR_SEM_TIMEOUT, EAGAIN},
    {ERROR_INSUFFICIENT_BUFFER, EMSGSIZE},
    {ERROR_NOT_ALL_ASSIGNED, EPERM},
    {ERROR_NO_SUCH_PRIVILEGE, EINVAL},
    {ERROR_PRIVILEGE_NOT_HELD, EPERM},
    {ERROR_INVALID_SECURITY_DESCR, EINVAL},
    {ERROR_DIRECTORY, ENOTDIR},
    {ERROR_PIPE_BUSY, EAGAIN},
    {ERROR_CANT_RESOLVE_FILENAME, ELOOP},
    {ERROR_WRITE_PROTECT, EROFS},
    {ERROR_NO_UNICODE_TRANSLATION, EILSEQ},
    {WSAECONNREFUSED, ECONNREFUSED},
    {WSAECONNRESET, ECONNRESET},
    {WSAECONNABORTED, ECONNABORTED},
    {WSAETIMEDOUT, ETIMEDOUT},
    {WSAENOTSOCK, ENOTSOCK},
    {WSAEHOSTUNREACH, EHOSTUNREACH},
    {WSAHOST_NOT_FOUND, EHOSTUNREACH},
    {WSANO_DATA, EHOSTUNREACH},
};

}  // namespace

int win32_to_errno(uint32_t code) {
  for (const Translation& t : kTable) {
    if (t.windows == code) return t.errnum;
  }
  return EINVAL;
}

int fail_win32() {
  return fail_win32(GetLastError());
}

int fail_win32(uint32_t code) {
  plat_set_last_error(code);
  errno = win32_to_errno(code);
  return -1;
}

int fail_errno(int errnum, uint32_t windows_error) {
  plat_set_last_error(windows_error);
  errno = errnum;
  return -1;
}

bool win32_path(const char* begin, unsigned long long length, char* out, unsigned long capacity) {
  if (length >= capacity || (length > 0 && memchr(begin, '\0', length) != nullptr)) {
    fail_errno(ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  memcpy(out, begin, length);
  out[length] = '\0';
  return true;
}
