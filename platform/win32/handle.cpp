#include "platform/win32/handle.h"

#include <io.h>

#include <cerrno>

#include "platform/handle.h"
#include "platform/win32/win_error.h"

void close_handle_quietly(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return;
  DWORD saved = GetLastError();
  int saved_errno = errno;
  CloseHandle(h);
  SetLastError(saved);
  errno = saved_errno;
}

int PlatDescriptorTraits::close(int handle) {
  // The runtime's descriptor and the handle behind it go together.
  return _close(handle) == 0 ? 0 : fail_errno(EBADF, ERROR_INVALID_HANDLE);
}

int PlatObjectTraits::close(int handle) {
  return CloseHandle(int_to_handle(handle)) ? 0 : fail_win32();
}
