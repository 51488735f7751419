#include "platform/mailslot.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <string>

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

MailslotReceiver::~MailslotReceiver() {
  reset();
}

MailslotReceiver::MailslotReceiver(MailslotReceiver&& other) noexcept : fd_(other.release()) {}

MailslotReceiver& MailslotReceiver::operator=(MailslotReceiver&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

int MailslotReceiver::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void MailslotReceiver::reset(int fd) {
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
}

ssize_t MailslotReceiver::read(void* buffer, size_t capacity) {
  if (fd_ < 0) {
    errno = EBADF;
    return -1;
  }
  for (;;) {
    // Peek with MSG_TRUNC for the datagram's real length, so that a message too large for
    // the buffer is refused without being consumed, as a mailslot does.
    char probe;
    ssize_t size = recv(fd_, &probe, 1, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (size == -1) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (static_cast<size_t>(size) > capacity) {
      errno = EMSGSIZE;
      return -1;
    }
    ssize_t n = recv(fd_, buffer, capacity, MSG_DONTWAIT);
    if (n == -1 && errno == EINTR) continue;
    return n;
  }
}

int plat_mailslot_create(const char* name, MailslotReceiver* out) {
  sockaddr_un address;
  socklen_t length;
  if (make_address(name, &address, &length) != 0) return -1;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd == -1) return -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  out->reset(fd);
  return 0;
}

int plat_mailslot_send(const char* name, const void* message, size_t length, uint32_t timeout_ms) {
  sockaddr_un address;
  socklen_t address_length;
  if (make_address(name, &address, &address_length) != 0) return -1;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd == -1) return -1;
  timeval timeout{static_cast<time_t>(timeout_ms / 1000),
                  static_cast<suseconds_t>((timeout_ms % 1000) * 1000)};
  int flags = MSG_NOSIGNAL;
  if (timeout_ms == 0) {
    flags |= MSG_DONTWAIT;
  } else {
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  }
  ssize_t n;
  do {
    n = sendto(fd, message, length, flags, reinterpret_cast<sockaddr*>(&address), address_length);
  } while (n == -1 && errno == EINTR);
  int saved = errno;
  close(fd);
  if (n == -1) {
    if (saved == EWOULDBLOCK) saved = EAGAIN;
    errno = saved;
    return -1;
  }
  return 0;
}
