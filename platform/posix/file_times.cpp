#include "platform/file_times.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <cerrno>
#include <string>

#include "platform/path.h"
#include "platform/posix/native_error.h"

int plat_file_times(std::string_view path, PlatFileTimes* times) {
  if (times == nullptr) return fail_with(EINVAL);
  std::string native;
  if (plat_native_path(path, &native) != 0) return -1;
  struct statx st {};
  if (statx(AT_FDCWD, native.c_str(), AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME,
            &st) != 0) {
    return fail_with(errno);
  }
  // Windows keeps a creation time for every file; Linux only where the file system records
  // a birth time. The status change is the nearest stand-in elsewhere.
  const bool has_birth = (st.stx_mask & STATX_BTIME) != 0 && st.stx_btime.tv_sec != 0;
  times->creation = has_birth ? st.stx_btime.tv_sec : st.stx_ctime.tv_sec;
  times->last_access = st.stx_atime.tv_sec;
  times->last_write = st.stx_mtime.tv_sec;
  return 0;
}
