// Descriptor and stream I/O over Windows-form paths. Descriptors are opened close-on-exec;
// reads and writes retry on EINTR.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <sys/types.h>

#include "platform/fs.h"

// fopen with a Windows-form path; "e" (close-on-exec) is added to the mode. Null with
// errno on failure.
FILE* plat_fopen(std::string_view windows_path, const char* mode);

// As plat_fopen, but the file is held without sharing: null with errno EACCES while
// another open holds it so (a sharing violation), here or in another process.
FILE* plat_fopen_exclusive(std::string_view windows_path, const char* mode);

// One read/write call; -1 with errno on failure.
ssize_t plat_read(int fd, void* buffer, size_t length);
ssize_t plat_write(int fd, const void* buffer, size_t length);

// Moves the descriptor's position to `offset` bytes from the start. 0, or -1 with errno
// (ESPIPE for a pipe or socket).
int plat_seek(int fd, int64_t offset);

// plat_open_read and plat_close live with the other file-system objects.
