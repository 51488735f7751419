// Last-error reporting of the platform layer. Native failures set errno as usual; where
// the layer synthesises a failure that Windows would report with its own error number
// (an unmapped drive is ERROR_PATH_NOT_FOUND, say), it also records that number here,
// per thread, for map_system_error to translate.
#pragma once

#include <cstdint>

// Windows error numbers the layer synthesises.
enum : uint32_t {
  PLAT_ERROR_FILE_NOT_FOUND = 2,
  PLAT_ERROR_PATH_NOT_FOUND = 3,
  PLAT_ERROR_ACCESS_DENIED = 5,
  PLAT_ERROR_INVALID_PARAMETER = 87,
};

// The last synthesised Windows error of this thread, 0 when none is pending.
[[nodiscard]] uint32_t plat_last_error();
void plat_set_last_error(uint32_t code);

// The system's message text for an errno value; never null.
[[nodiscard]] const char* plat_error_message(int errnum);
