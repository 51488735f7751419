// Private to the Win32 layer: records a failure as the layer's last Windows error
// (platform/error.h) and sets errno to the C runtime's translation of it.
#pragma once

#include <cstdint>

// The errno value the C runtime gives a Windows error; EINVAL when it has none.
int win32_to_errno(uint32_t code);

// Records `code` (or the thread's GetLastError()) and its errno; answers -1 for
// `return fail_win32(...)`.
int fail_win32();
int fail_win32(uint32_t code);

// Records an errno value and the Windows error that stands for it.
int fail_errno(int errnum, uint32_t windows_error);

// A narrow path for the Windows API: the same bytes, NUL-terminated. False (errno
// ENAMETOOLONG, last error FILENAME_EXCED_RANGE) when it holds a NUL or is too long.
bool win32_path(const char* begin, unsigned long long length, char* out, unsigned long capacity);
