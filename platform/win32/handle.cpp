#include "platform/win32/handle.h"

#include <cerrno>

void close_handle_quietly(HANDLE h) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return;
  DWORD saved = GetLastError();
  int saved_errno = errno;
  CloseHandle(h);
  SetLastError(saved);
  errno = saved_errno;
}
