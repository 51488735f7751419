// Windows Sockets. SOCKET values are kernel handles and fit the int the Socket type
// holds (see platform/win32/handle.h); INVALID_SOCKET becomes -1.
#include "platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/win32/win_error.h"

namespace {

SOCKET as_socket(int socket) {
  return static_cast<SOCKET>(static_cast<intptr_t>(socket));
}

int fail_socket() {
  return fail_win32(static_cast<uint32_t>(WSAGetLastError()));
}

}  // namespace

int PlatSocketTraits::close(int handle) {
  return closesocket(as_socket(handle)) == 0 ? 0 : fail_socket();
}

int plat_socket_startup() {
  WSADATA data{};
  int rc = WSAStartup(MAKEWORD(1, 1), &data);
  return rc == 0 ? 0 : fail_win32(static_cast<uint32_t>(rc));
}

int plat_socket_cleanup() {
  return WSACleanup() == 0 ? 0 : fail_socket();
}

Socket plat_tcp_connect(const char* host, int port) {
  if (port <= 0 || port > 65535 || host == nullptr) {
    fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
    return Socket();
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
    fail_socket();
    return Socket();
  }
  sockaddr_in address{};
  memcpy(&address, found->ai_addr, sizeof address);
  freeaddrinfo(found);
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  // Not inherited by the pre- and post-backup commands.
  SOCKET raw =
      WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (raw == INVALID_SOCKET) {
    fail_socket();
    return Socket();
  }
  Socket s(static_cast<int>(static_cast<intptr_t>(raw)));
  if (connect(raw, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    fail_socket();
    s.reset();
    return s;
  }
  BOOL one = TRUE;
  (void)setsockopt(raw, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
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
  // Windows raises no signal for a vanished peer; send simply fails.
  const char* p = static_cast<const char*>(bytes);
  size_t done = 0;
  while (done < length) {
    size_t left = length - done;
    int chunk = left > INT_MAX ? INT_MAX : static_cast<int>(left);
    int n = send(as_socket(socket), p + done, chunk, 0);
    if (n == SOCKET_ERROR) return fail_socket();
    if (n == 0) return fail_errno(EIO, ERROR_WRITE_FAULT);
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(length);
}

ssize_t plat_socket_recv(int socket, void* buffer, size_t length) {
  int chunk = length > INT_MAX ? INT_MAX : static_cast<int>(length);
  int n = recv(as_socket(socket), static_cast<char*>(buffer), chunk, 0);
  return n == SOCKET_ERROR ? fail_socket() : n;
}

int plat_socket_wait_readable(int socket, int timeout_ms) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(as_socket(socket), &readable);
  timeval wait{};
  if (timeout_ms > 0) {
    wait.tv_sec = timeout_ms / 1000;
    wait.tv_usec = (timeout_ms % 1000) * 1000;
  }
  int ready = select(0, &readable, nullptr, nullptr, &wait);
  if (ready == SOCKET_ERROR) return fail_socket();
  return ready > 0 ? 1 : 0;
}
