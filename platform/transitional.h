// TRANSITIONAL: the free functions of the platform layer from before Env, kept as thin
// forwards to plat_env() only for the files not yet moved to Env:
//   agent/report/{report,report_io}.cpp
// New code takes an Env* instead (platform/env.h). scripts/checksrc.sh refuses any other
// includer outside the tests. Delete this header with the last of those files' migration.
#pragma once

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/env.h"

// Old names of the interface.
using FileSystem = Env;
inline FileSystem* plat_file_system() {
  return plat_env();
}

[[nodiscard]] inline PlatFindHandle plat_find_first(std::string_view pattern, PlatFindData* data) {
  return plat_env()->find_first(pattern, data);
}
[[nodiscard]] inline int plat_find_next(PlatFind* find, PlatFindData* data) {
  return plat_env()->find_next(find, data);
}
[[nodiscard]] inline int plat_file_status(std::string_view path, PlatFileStatus* status) {
  return plat_env()->file_status(path, status);
}
[[nodiscard]] inline int plat_open_read(std::string_view path) {
  return plat_env()->open_read(path);
}
inline int plat_close(int fd) {
  return plat_env()->close_file(fd);
}
[[nodiscard]] inline ssize_t plat_read(int fd, void* buffer, size_t length) {
  return plat_env()->read(fd, buffer, length);
}
[[nodiscard]] inline int plat_seek(int fd, int64_t offset) {
  return plat_env()->seek(fd, offset);
}

[[nodiscard]] inline FILE* plat_fopen(std::string_view windows_path, const char* mode) {
  return plat_env()->open_stream(windows_path, mode);
}
// The exclusive open as a stream ("rb", "wb", "ab", "r+b", ...).
[[nodiscard]] inline FILE* plat_fopen_exclusive(std::string_view windows_path, const char* mode) {
  bool writes = strchr(mode, 'w') != nullptr || strchr(mode, 'a') != nullptr;
  unsigned flags = strchr(mode, '+') != nullptr ? PLAT_OPEN_READ | PLAT_OPEN_WRITE
                   : writes                     ? PLAT_OPEN_WRITE
                                                : PLAT_OPEN_READ;
  if (writes) flags |= PLAT_OPEN_CREATE;
  if (strchr(mode, 'w') != nullptr) flags |= PLAT_OPEN_TRUNCATE;
  EnvFile fd(plat_env(), plat_env()->open_exclusive(windows_path, flags));
  if (!fd.valid()) return nullptr;
  FILE* f = fdopen(fd.get(), mode);
  if (f != nullptr) (void)fd.release();  // the stream owns it now
  return f;
}

// plat_close and plat_process_wait stay without [[nodiscard]].

// Defined out of line (platform/transitional_clock.cpp) so a test-only object can
// replace them with a settable clock (tests/support/test_hooks.cpp).
[[nodiscard]] LocalTime plat_local_time();
[[nodiscard]] int64_t plat_unix_time();
inline uint64_t plat_tick_ms() {
  return plat_env()->tick_ms();
}
inline void plat_sleep_ms(uint32_t ms) {
  plat_env()->sleep_ms(ms);
}

[[nodiscard]] inline int plat_process_start(const char* command_line, ChildProcess* child) {
  return plat_env()->process_start(command_line, child);
}
inline PlatWaitResult plat_process_wait(ChildProcess& child, uint32_t timeout_ms) {
  return plat_env()->process_wait(child, timeout_ms);
}
[[nodiscard]] inline int plat_process_exit_code(const ChildProcess& child, uint32_t* code) {
  return plat_env()->process_exit_code(child, code);
}
[[nodiscard]] inline int plat_process_terminate(ChildProcess& child) {
  return plat_env()->process_terminate(child);
}
