// Private to the POSIX layer: records a native failure as the Windows error the same
// failure would produce there, keeping errno.
#pragma once

#include <cstdint>

// The Windows error number that stands for `errnum`.
uint32_t native_to_windows_error(int errnum);

// Records `errnum` (errno and last error); answers -1 for `return fail_with(...)`.
int fail_with(int errnum);

// As fail_with, with an explicit Windows error number.
int fail_with(int errnum, uint32_t windows_error);
