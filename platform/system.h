// Facts about the running system that Windows code asks the OS for.
#pragma once

#include <cstddef>
#include <string>

// Windows directory ("C:\" here: the drive that maps "/").
[[nodiscard]] std::string plat_windows_directory();

// Release numbers: 0/0 where the system has none (here), so callers take general rules.
struct OsVersion {
  int platform_id;  // 1 = 9x line, 2 = everything else
  int major;
  int minor;
};
[[nodiscard]] OsVersion plat_os_version();

// Reads a plain string value under HKEY_LOCAL_MACHINE. There is no registry here:
// always -1 with errno ENOENT.
[[nodiscard]] int plat_registry_read_string(const char* subkey, const char* value_name,
                                            char* buffer, size_t capacity);

// Whether the system can switch off file system redirection for 32-bit programs (only
// 64-bit Windows can).
[[nodiscard]] bool plat_has_fs_redirection();

// The folder holding the running program, in the system's own form ("/usr/bin",
// "C:\Program Files\Varno"); empty when it cannot be told.
[[nodiscard]] std::string plat_program_dir();
// What the system appends to a program's file name: ".exe" on Windows, nothing here.
[[nodiscard]] const char* plat_program_suffix();
// The separator of the folders in the PATH variable.
[[nodiscard]] char plat_search_path_separator();

// Switches file system redirection for 32-bit programs off for this thread, keeping in
// `old_value` what the revert needs; the functions are looked up at run time in
// kernel32.dll. 0, or -1 with errno: ENOENT when kernel32.dll itself cannot be found,
// ENOSYS when the system has no such function (always here), else the call's own failure;
// the system's number is in plat_last_error().
[[nodiscard]] int plat_disable_fs_redirection(void** old_value);
[[nodiscard]] int plat_revert_fs_redirection(void* old_value);
