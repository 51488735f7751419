#include "platform/system.h"

#include <windows.h>

#include <cerrno>
#include <cstring>

#include "platform/win32/win_error.h"

namespace {

using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);

template <typename Fn>
Fn lookup(const char* module, const char* name) {
  HMODULE m = GetModuleHandleA(module);
  if (m == nullptr) return nullptr;
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(m, name)));
}

}  // namespace

std::string plat_windows_directory() {
  char dir[MAX_PATH + 1] = {};
  UINT n = GetWindowsDirectoryA(dir, sizeof dir);
  if (n == 0 || n >= sizeof dir) return "C:\\";
  return std::string(dir, n);
}

OsVersion plat_os_version() {
  // GetVersionEx answers what the program's manifest claims; the kernel's own answer is
  // the release that runs.
  OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  auto rtl_get_version = lookup<RtlGetVersionFn>("ntdll.dll", "RtlGetVersion");
  if (rtl_get_version != nullptr && rtl_get_version(&info) == 0) {
    return OsVersion{static_cast<int>(info.dwPlatformId), static_cast<int>(info.dwMajorVersion),
                     static_cast<int>(info.dwMinorVersion)};
  }
  return OsVersion{VER_PLATFORM_WIN32_NT, 0, 0};
}

int plat_registry_read_string(const char* subkey, const char* value_name, char* buffer,
                              size_t capacity) {
  if (subkey == nullptr || buffer == nullptr || capacity == 0 || capacity > MAXDWORD) {
    return fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
  }
  HKEY key = nullptr;
  LONG r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, KEY_QUERY_VALUE, &key);
  if (r != ERROR_SUCCESS) return fail_win32(static_cast<uint32_t>(r));
  DWORD type = 0;
  DWORD size = static_cast<DWORD>(capacity - 1);
  r = RegQueryValueExA(key, value_name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
  RegCloseKey(key);
  if (r != ERROR_SUCCESS) return fail_win32(static_cast<uint32_t>(r));
  if (type != REG_SZ) return fail_errno(EINVAL, ERROR_INVALID_DATA);
  buffer[size < capacity ? size : capacity - 1] = '\0';
  return 0;
}

namespace {

using Wow64DisableFn = BOOL(WINAPI*)(PVOID*);
using Wow64RevertFn = BOOL(WINAPI*)(PVOID);

// The function `name` of kernel32.dll, or null with errno ENOENT (no module) or ENOSYS.
template <typename Fn>
Fn kernel32_function(const char* name) {
  HMODULE m = GetModuleHandleA("kernel32.dll");
  if (m == nullptr) {
    fail_win32();
    errno = ENOENT;
    return nullptr;
  }
  auto f = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(m, name)));
  if (f == nullptr) fail_errno(ENOSYS, GetLastError());
  return f;
}

}  // namespace

bool plat_has_fs_redirection() {
  return lookup<Wow64DisableFn>("kernel32.dll", "Wow64DisableWow64FsRedirection") != nullptr &&
         lookup<Wow64RevertFn>("kernel32.dll", "Wow64RevertWow64FsRedirection") != nullptr;
}

int plat_disable_fs_redirection(void** old_value) {
  auto disable = kernel32_function<Wow64DisableFn>("Wow64DisableWow64FsRedirection");
  if (disable == nullptr) return -1;
  return disable(old_value) ? 0 : fail_win32();
}

int plat_revert_fs_redirection(void* old_value) {
  auto revert = kernel32_function<Wow64RevertFn>("Wow64RevertWow64FsRedirection");
  if (revert == nullptr) return -1;
  return revert(old_value) ? 0 : fail_win32();
}

std::string plat_program_dir() {
  char self[MAX_PATH * 4];
  DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
  if (n == 0 || n >= sizeof self) return std::string();
  std::string path(self, n);
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

const char* plat_program_suffix() {
  return ".exe";
}

char plat_search_path_separator() {
  return ';';
}
