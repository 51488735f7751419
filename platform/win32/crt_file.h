// Private to the Win32 layer: files opened with CreateFile (never inheritable, chosen
// sharing) and handed out as C runtime descriptors or streams, in binary mode. The layer
// above writes CR LF itself where Windows text mode would, so the runtime's text mode
// would double every CR.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string_view>

// A descriptor for `path` (or -1 with errno): access, sharing and disposition as
// CreateFile takes them; `append` makes every write go to the end.
int crt_open(std::string_view path, DWORD access, DWORD share, DWORD disposition, bool append);

// A stream for an fopen mode ("r", "w+", "ab", ...) with the given sharing; null with
// errno (EINVAL for a mode fopen would refuse).
FILE* crt_fopen(std::string_view path, const char* mode, DWORD share);

// The handle behind a descriptor, or INVALID_HANDLE_VALUE.
HANDLE crt_handle(int fd);
