// Windows release detection, the system drive root and the one registry read.
// Values are computed on first use and cached without a lock (every writer stores the
// same value).
#pragma once

#include <cstddef>

// 1 for the 9x family, 2 for everything else.
[[nodiscard]] int os_platform();

// Release code: 0 unknown (not cached), 1 Windows 98, 2 Me, 3 other 4.x, 4 2000, 5 XP,
// 6 other 5.x.
[[nodiscard]] int os_version_code();

// The first three characters of the Windows directory, e.g. "C:\".
[[nodiscard]] const char* system_drive_root();

// 0 when a plain string value was read (at most capacity - 1 bytes, NUL-terminated);
// -1 with errno when the key or value cannot be read.
[[nodiscard]] int registry_read_string(const char* subkey, const char* value_name, char* buffer,
                                       size_t capacity);
