// The parts of platform/env.h that are the same on every system.
#include "platform/env.h"

#include <cerrno>

#include "platform/retry.h"

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
