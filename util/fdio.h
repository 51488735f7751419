// Line reading and complete writes on descriptors.
#pragma once

#include <cstddef>
#include <sys/types.h>

// Reads one line a byte at a time. A CR is dropped; an LF ends the line, is not stored
// and is replaced by a NUL. A line that fills `maximum` comes back without terminator and
// its rest with the next call; at end of file the bytes read so far are the line.
// Answers the line's length, or -1 when `maximum` is not positive or end of file came
// before any byte.
int read_line(int fd, char* buffer, int maximum);

// Writes all `length` bytes, repeating partial writes. Answers `length` or -1.
ssize_t write_all(int fd, const void* bytes, size_t length);
