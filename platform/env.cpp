// The parts of platform/env.h that are the same on every system.
#include "platform/env.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/retry.h"
#include "platform/security.h"

// Both systems' layers answer these through the same functions.
long Env::file_security(std::string_view path, uint8_t* out, size_t capacity) {
  return plat_get_file_security(path, out, capacity);
}

int Env::set_file_security(std::string_view path, const uint8_t* descriptor, size_t length) {
  return plat_set_file_security(path, descriptor, length);
}

int Env::file_times(std::string_view path, PlatFileTimes* times) {
  return plat_file_times(path, times);
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

// Streams are opened binary on both systems, so the text-mode line ends are written here.
bool plat_write_text(FILE* stream, const char* text, size_t length) {
  while (length > 0) {
    const void* lf = memchr(text, '\n', length);
    size_t run = lf != nullptr ? static_cast<size_t>(static_cast<const char*>(lf) - text) : length;
    if (fwrite(text, 1, run, stream) != run) return false;
    if (lf == nullptr) break;
    if (fwrite("\r\n", 1, 2, stream) != 2) return false;
    text += run + 1;
    length -= run + 1;
  }
  return true;
}
