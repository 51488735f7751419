// Windows error numbers to errno, and error texts.
#pragma once

// Reads the platform layer's last Windows error, keeps it in util_os_errno (where the
// runtime library keeps the last operating-system error) and sets errno from the fixed
// translation table. An error outside the table leaves errno unchanged.
void map_system_error();

// The errno value a Windows error translates to, or -1 when the table has no entry.
[[nodiscard]] int windows_error_to_errno(unsigned long windows_error);

// The last operating-system error stored by map_system_error (per thread).
[[nodiscard]] unsigned long util_os_errno();

// The standard library's text for an errno value; "Unknown error" for a value the library
// does not know. Leaves errno unchanged. The text is static and read-only.
[[nodiscard]] const char* error_text(int errnum);
