#include "platform/posix/native_error.h"

#include <cerrno>

#include "platform/error.h"

uint32_t native_to_windows_error(int errnum) {
  switch (errnum) {
    case ENOENT:
      return PLAT_ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return PLAT_ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
      return PLAT_ERROR_ACCESS_DENIED;
    case EMFILE:
    case ENFILE:
      return 4;  // ERROR_TOO_MANY_OPEN_FILES
    case ENOMEM:
      return 8;  // ERROR_NOT_ENOUGH_MEMORY
    case EBADF:
      return 6;  // ERROR_INVALID_HANDLE
    case EEXIST:
      return 80;  // ERROR_FILE_EXISTS
    case EINVAL:
      return PLAT_ERROR_INVALID_PARAMETER;
    case ENOSPC:
      return 112;  // ERROR_DISK_FULL
    case ENAMETOOLONG:
      return 206;  // ERROR_FILENAME_EXCED_RANGE
    case EROFS:
      return 19;  // ERROR_WRITE_PROTECT
    case ELOOP:
      return 1921;  // ERROR_CANT_RESOLVE_FILENAME
    default:
      // Not a Windows number at all: the error table has no entry for it, so errno,
      // which carries the real cause, stays as it is.
      return 0x20000000u | static_cast<uint32_t>(errnum);
  }
}

int fail_with(int errnum) {
  return fail_with(errnum, native_to_windows_error(errnum));
}

int fail_with(int errnum, uint32_t windows_error) {
  plat_set_last_error(windows_error);
  errno = errnum;
  return -1;
}
