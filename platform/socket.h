// TCP connections for the KFS client. Sending and receiving use BSD sockets directly
// (they exist on both systems); creating and closing go through here so every socket is
// owned by a Socket (platform/handle.h). Thread-safe.
#pragma once

#include "platform/handle.h"

// An IPv4 stream connection to `host` (a name or dotted address) and `port`, close-on-exec
// and with TCP_NODELAY (runs of small messages would otherwise wait for delayed
// acknowledgements). An invalid Socket with errno on failure or for a port outside
// 1..65535.
[[nodiscard]] Socket plat_tcp_connect(const char* host, int port);
