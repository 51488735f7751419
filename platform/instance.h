// The single-instance lock of the desktop client: an exclusive, non-blocking lock on a
// fresh open of the lock file. Once taken it is held until the process ends (its
// descriptor is never closed and is not inherited by started programs). A second attempt
// in the same process fails like one from another process, as a file opened without
// sharing cannot be opened again.
#pragma once

#include <string_view>

// 0 when this call took the lock on `path` (Windows form; the file is created when
// missing); -1 with errno when another holder has it (EWOULDBLOCK) or the file cannot be
// opened or created.
[[nodiscard]] int plat_instance_lock(std::string_view path);
