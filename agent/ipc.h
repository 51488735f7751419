// The job mailslot, receiving side: schedule paths posted by the desktop client (and
// `varno-ctl post`), one NUL-terminated path per message, at most 1024 bytes in all.
//
// Thread safety: process-wide state owned by the backup thread.
#pragma once

#include <cstddef>

// Job-level failure codes of the mailslot operations.
constexpr int IPC_ERR_SETUP = 64;      // the mailslot could not be created (errno tells why)
constexpr int IPC_ERR_NOT_OPEN = 113;  // no mailslot is open
constexpr int IPC_ERR_READ = 117;      // no message waits, or it does not fit the buffer
constexpr int IPC_ERR_EMPTY = 120;     // the message read had no bytes

// Creates the mailslot `name`. 0, or IPC_ERR_SETUP with errno set.
[[nodiscard]] int ipc_rx_setup(const char* name);

// Takes one message into `buffer` (`size` bytes) without waiting. A 1-byte message is
// passed over and the next one read in its place. On success the buffer holds a
// NUL-terminated string and `*count` the message's length. 0 or an IPC_ERR_ code.
[[nodiscard]] int ipc_rx_read(char* buffer, size_t size, size_t* count);

// Closes the mailslot if open.
void ipc_rx_close();
