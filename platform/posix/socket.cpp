#include "platform/socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <cerrno>
#include <cstring>

#include "platform/posix/native_error.h"
#include "platform/retry.h"

int plat_socket_startup() {
  return 0;
}

int plat_socket_cleanup() {
  return 0;
}

Socket plat_tcp_connect(const char* host, int port) {
  if (port <= 0 || port > 65535 || host == nullptr) {
    errno = EINVAL;
    return Socket();
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
    errno = EHOSTUNREACH;
    return Socket();
  }
  sockaddr_in address{};
  memcpy(&address, found->ai_addr, sizeof address);
  freeaddrinfo(found);
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  Socket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!s.valid()) return s;
  if (plat_retry_eintr([&] {
        return ::connect(s.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
      }) != 0) {
    s.reset();
    return s;
  }
  int one = 1;
  (void)setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return s;
}

bool plat_tcp_host_known(const char* host) {
  if (host == nullptr) return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  freeaddrinfo(found);
  return true;
}

ssize_t plat_socket_send_all(int socket, const void* bytes, size_t length) {
  return plat_write_fully(
      [socket](const void* p, size_t n) { return ::send(socket, p, n, MSG_NOSIGNAL); }, bytes,
      length);
}

ssize_t plat_socket_recv(int socket, void* buffer, size_t length) {
  return plat_retry_eintr([&] { return ::recv(socket, buffer, length, 0); });
}

int plat_socket_wait_readable(int socket, int timeout_ms) {
  pollfd probe{socket, POLLIN, 0};
  int ready = plat_retry_eintr([&] { return ::poll(&probe, 1, timeout_ms < 0 ? 0 : timeout_ms); });
  if (ready < 0) return fail_with(errno);
  if (ready > 0 && (probe.revents & POLLNVAL) != 0) return fail_with(EBADF);
  return ready > 0 ? 1 : 0;
}
