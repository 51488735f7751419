#include "agent/ipc.h"

#include <cstring>

#include "agent/runtime/log.h"
#include "platform/mailslot.h"

namespace {
MailslotReceiver g_mailslot;  // valid() is the "open" flag
}

int ipc_rx_setup(const char* name) {
  if (plat_mailslot_create(name, &g_mailslot) != 0) return IPC_ERR_SETUP;
  return 0;
}

int ipc_rx_read(char* buffer, size_t size, size_t* count) {
  if (!g_mailslot.valid()) return IPC_ERR_NOT_OPEN;
  for (;;) {
    uint32_t refused = g_mailslot.refused();
    ssize_t n = g_mailslot.read(buffer, size);
    if (g_mailslot.refused() != refused) {
      // One line per read at most, however many another user sent.
      log_agent("Ignored %u job mailslot message(s) from another user (uid %u).\n",
                g_mailslot.refused() - refused, g_mailslot.refused_user());
    }
    if (n < 0) return IPC_ERR_READ;
    if (n == 0) return IPC_ERR_EMPTY;
    if (n == 1) continue;  // a lone byte carries no path
    size_t length = static_cast<size_t>(n);
    // Writers are meant to send the NUL; one that did not must not make the buffer an
    // unterminated string (or one that runs on into an earlier, longer message).
    if (memchr(buffer, '\0', length) == nullptr) {
      if (length >= size) return IPC_ERR_READ;
      buffer[length] = '\0';
    }
    *count = length;
    return 0;
  }
}

void ipc_rx_close() {
  g_mailslot.reset();
}
