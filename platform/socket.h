// TCP connections for the KFS client: the system's socket library, connecting, sending,
// receiving and waiting, so nothing above the layer needs the BSD or Winsock headers.
// Every socket is owned by a Socket (platform/handle.h), which closes it. Thread-safe.
#pragma once

#include <sys/types.h>
#include <cstddef>

#include "platform/handle.h"

// Starts the socket library for this process (Windows Sockets 1.1); each success is
// paired with one plat_socket_cleanup. 0, or -1 with errno when the library refuses.
// Nothing needs starting on POSIX.
[[nodiscard]] int plat_socket_startup();
// Undoes one plat_socket_startup; 0, or -1 with errno.
int plat_socket_cleanup();

// An IPv4 stream connection to `host` (a name or dotted address) and `port`, close-on-exec
// and with TCP_NODELAY (runs of small messages would otherwise wait for delayed
// acknowledgements). An invalid Socket with errno on failure or for a port outside
// 1..65535.
[[nodiscard]] Socket plat_tcp_connect(const char* host, int port);
// Whether `host` resolves to an IPv4 address: tells a name nobody knows from a server that
// cannot be reached, which plat_tcp_connect's errno does not.
[[nodiscard]] bool plat_tcp_host_known(const char* host);

// Sends all `length` bytes, repeating partial sends; a peer that has gone away is an error
// (-1 with errno), never a signal. Answers `length`, or -1.
[[nodiscard]] ssize_t plat_socket_send_all(int socket, const void* bytes, size_t length);
// One receive of at most `length` bytes: their count, 0 when the peer closed, -1 with errno.
[[nodiscard]] ssize_t plat_socket_recv(int socket, void* buffer, size_t length);
// 1 when a receive would not block (data, end of stream or an error are waiting), 0 when
// `timeout_ms` passed first (0 only looks), -1 with errno when the socket cannot be asked.
[[nodiscard]] int plat_socket_wait_readable(int socket, int timeout_ms);
