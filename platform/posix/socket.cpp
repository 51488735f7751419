#include "platform/socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <cerrno>
#include <cstring>

#include "platform/retry.h"

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
