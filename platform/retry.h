// The two loops every system call site needs, written once: retry a call interrupted by a
// signal, and repeat a write until every byte is taken. Header-only; thread-safe.
#pragma once

#include <sys/types.h>
#include <cerrno>
#include <cstddef>

// Repeats `call` while it answers -1 with errno EINTR. Never use it for close: Linux has
// released the descriptor even when close reports EINTR, and a retry could close another
// thread's new descriptor.
template <typename Call>
auto plat_retry_eintr(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

// Writes all `length` bytes through `write_once(bytes, length)` (one write(2)-like call),
// repeating partial writes and EINTR. Answers `length`, or -1 with errno.
//
// The zero-byte rule: a call that takes no byte of a non-empty remainder is a failure
// (errno EIO), never a reason to try again, so a device that stops taking bytes cannot
// spin the loop. Writing 0 bytes makes no call and succeeds.
template <typename WriteOnce>
ssize_t plat_write_fully(WriteOnce write_once, const void* bytes, size_t length) {
  const char* p = static_cast<const char*>(bytes);
  size_t done = 0;
  while (done < length) {
    ssize_t n = write_once(p + done, length - done);
    if (n == -1 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) {
      errno = EIO;
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(length);
}
