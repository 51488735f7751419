#include "platform/file_times.h"

#include <windows.h>

#include <cerrno>

#include "platform/win32/wide_path.h"
#include "platform/win32/win_error.h"

namespace {

constexpr int64_t kFiletimeUnixEpoch = 116444736000000000ll;

int64_t unix_seconds(const FILETIME& t) {
  int64_t ticks =
      static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  int64_t since = ticks - kFiletimeUnixEpoch;
  // Whole seconds, rounded towards the past as the runtime's status query does.
  return since >= 0 ? since / 10000000 : -((-since + 9999999) / 10000000);
}

}  // namespace

int plat_file_times(std::string_view path, PlatFileTimes* times) {
  if (times == nullptr) return fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
  WidePath p(path);
  if (!p.ok()) return -1;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(p.get(), GetFileExInfoStandard, &data)) return fail_win32();
  times->creation = unix_seconds(data.ftCreationTime);
  times->last_access = unix_seconds(data.ftLastAccessTime);
  times->last_write = unix_seconds(data.ftLastWriteTime);
  return 0;
}
