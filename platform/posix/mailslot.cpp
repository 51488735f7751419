#include "platform/mailslot.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/retry.h"

namespace {

constexpr char kAddressPrefix[] = "varno-mailslot:";

// Abstract address: a leading NUL, then the name bytes (no terminator counted).
int make_address(const char* name, sockaddr_un* address, socklen_t* length) {
  std::string text = std::string(kAddressPrefix) + name;
  memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (text.size() + 1 > sizeof address->sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(address->sun_path + 1, text.data(), text.size());
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + text.size());
  return 0;
}

}  // namespace

ssize_t MailslotReceiver::read(void* buffer, size_t capacity) {
  const int fd = handle_.get();
  if (fd < 0) {
    errno = EBADF;
    return -1;
  }
  // Peek with MSG_TRUNC for the datagram's real length, so that a message too large for
  // the buffer is refused without being consumed, as a mailslot does.
  char probe;
  ssize_t size =
      plat_retry_eintr([&] { return recv(fd, &probe, 1, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT); });
  if (size == -1) return -1;
  if (static_cast<size_t>(size) > capacity) {
    errno = EMSGSIZE;
    return -1;
  }
  return plat_retry_eintr([&] { return recv(fd, buffer, capacity, MSG_DONTWAIT); });
}

int plat_mailslot_create(const char* name, MailslotReceiver* out) {
  sockaddr_un address;
  socklen_t length;
  if (make_address(name, &address, &length) != 0) return -1;
  Socket s(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!s.valid()) return -1;
  if (bind(s.get(), reinterpret_cast<sockaddr*>(&address), length) != 0) return -1;
  out->reset(s.release());
  return 0;
}

int plat_mailslot_send(const char* name, const void* message, size_t length, uint32_t timeout_ms) {
  sockaddr_un address;
  socklen_t address_length;
  if (make_address(name, &address, &address_length) != 0) return -1;
  Socket s(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!s.valid()) return -1;
  timeval timeout{static_cast<time_t>(timeout_ms / 1000),
                  static_cast<suseconds_t>((timeout_ms % 1000) * 1000)};
  int flags = MSG_NOSIGNAL;
  if (timeout_ms == 0) {
    flags |= MSG_DONTWAIT;
  } else {
    (void)setsockopt(s.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  }
  ssize_t n = plat_retry_eintr([&] {
    return sendto(s.get(), message, length, flags, reinterpret_cast<sockaddr*>(&address),
                  address_length);
  });
  if (n == -1) {
    if (errno == EWOULDBLOCK) errno = EAGAIN;
    return -1;
  }
  return 0;
}
