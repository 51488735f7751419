#include "platform/instance.h"

#include <windows.h>

#include <cerrno>

#include "platform/win32/win_error.h"

int plat_instance_lock(std::string_view path) {
  char p[MAX_PATH * 4];
  if (!win32_path(path.data(), path.size(), p, sizeof p)) return -1;
  // Opened for update without sharing: any second open, here or elsewhere, fails with a
  // sharing violation. Not inheritable.
  HANDLE h = CreateFileA(p, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    if (code == ERROR_SHARING_VIOLATION) return fail_errno(EWOULDBLOCK, code);
    return fail_win32(code);
  }
  // The handle is the lock: it stays open until the process ends.
  return 0;
}
