#include "platform/handle.h"

#include <unistd.h>
#include <cerrno>

#include "platform/env.h"
#include "platform/posix/native_error.h"
#include "platform/retry.h"

namespace {

// Linux releases the descriptor even when close reports EINTR, so that is success and is
// never retried; any other error (a late write-back failing) is reported.
int close_descriptor(int fd) {
  if (::close(fd) == 0 || errno == EINTR) return 0;
  return fail_with(errno);
}

}  // namespace

int PlatDescriptorTraits::close(int handle) {
  return close_descriptor(handle);
}

int PlatSocketTraits::close(int handle) {
  return close_descriptor(handle);
}

void EnvFile::reset(int fd) {
  int old = fd_;
  fd_ = fd;
  if (old >= 0 && old != fd) {
    int saved = errno;
    (void)env_->close_file(old);
    errno = saved;
  }
}

ssize_t plat_write_all(Env* env, int fd, const void* bytes, size_t length) {
  return plat_write_fully([env, fd](const void* p, size_t n) { return env->write(fd, p, n); },
                          bytes, length);
}
