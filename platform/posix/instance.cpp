#include "platform/instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <cerrno>
#include <string>

#include "platform/path.h"
#include "platform/posix/native_error.h"

int plat_instance_lock(std::string_view path) {
  std::string native;
  if (plat_native_path(path, &native) != 0) return -1;
  int fd;
  do {
    fd = open(native.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666);
  } while (fd == -1 && errno == EINTR);
  if (fd == -1) return fail_with(errno);
  // A lock belongs to the open file description, so a fresh open in this same process
  // conflicts with the one already held, as on Windows.
  int r;
  do {
    r = flock(fd, LOCK_EX | LOCK_NB);
  } while (r != 0 && errno == EINTR);
  if (r != 0) {
    int saved = errno;
    close(fd);
    return fail_with(saved);
  }
  // The descriptor is the lock: it stays open until the process ends.
  return 0;
}
