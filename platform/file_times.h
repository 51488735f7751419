// File times by Windows-form path, as the C runtime's status query reports them: whole
// seconds since 1970-01-01 UTC. Thread-safe.
#pragma once

#include <cstdint>
#include <string_view>

struct PlatFileTimes {
  int64_t creation;  // birth time where the file system records it, else status change
  int64_t last_access;
  int64_t last_write;
};

// Times of the object `path` names, following symbolic links. 0, or -1 with errno.
[[nodiscard]] int plat_file_times(std::string_view path, PlatFileTimes* times);
