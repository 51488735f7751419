// Private to the Win32 layer: the shared headers keep kernel handles in int fields (they
// were descriptors first). Windows guarantees that kernel handles fit in 32 bits and may
// be truncated and sign-extended, so the round trip is exact; -1 is INVALID_HANDLE_VALUE.
#pragma once

#include <windows.h>

#include <cstdint>

inline int handle_to_int(HANDLE h) {
  return static_cast<int>(reinterpret_cast<intptr_t>(h));
}

inline HANDLE int_to_handle(int fd) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd));
}

// Closes a handle without disturbing the thread's last error or errno.
void close_handle_quietly(HANDLE h);
