#include "platform/privilege.h"

#include <windows.h>

#include <cerrno>

#include "platform/win32/win_error.h"

int plat_enable_privilege(const char* windows_name) {
  if (windows_name == nullptr) return fail_errno(EINVAL, ERROR_NO_SUCH_PRIVILEGE);
  LUID luid{};
  if (!LookupPrivilegeValueA(nullptr, windows_name, &luid)) {
    DWORD code = GetLastError();
    return code == ERROR_NO_SUCH_PRIVILEGE ? fail_errno(EINVAL, code) : fail_win32(code);
  }
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    return fail_win32();
  }
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Luid = luid;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  BOOL ok = AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr);
  // The call succeeds also when the account does not hold the privilege; only the last
  // error tells.
  DWORD code = GetLastError();
  CloseHandle(token);
  if (!ok) return fail_win32(code);
  if (code == ERROR_NOT_ALL_ASSIGNED) return fail_errno(EPERM, code);
  return 0;
}
