#include "platform/instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <cerrno>
#include <string>

#include "platform/handle.h"
#include "platform/path.h"
#include "platform/posix/native_error.h"
#include "platform/retry.h"

int plat_instance_lock(std::string_view path) {
  std::string native;
  if (plat_native_path(path, &native) != 0) return -1;
  UniqueFd fd(plat_retry_eintr(
      [&] { return open(native.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666); }));
  if (!fd.valid()) return fail_with(errno);
  // A lock belongs to the open file description, so a fresh open in this same process
  // conflicts with the one already held, as on Windows.
  if (plat_retry_eintr([&] { return flock(fd.get(), LOCK_EX | LOCK_NB); }) != 0) {
    return fail_with(errno);
  }
  // The descriptor is the lock: it stays open until the process ends.
  (void)fd.release();
  return 0;
}
