#include "platform/handle.h"

#include <unistd.h>
#include <cerrno>

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

int PlatObjectTraits::close(int handle) {
  return close_descriptor(handle);
}
