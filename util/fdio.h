// Line reading on descriptors, through an Env.
#pragma once

#include <sys/types.h>
#include <cstddef>

#include "platform/env.h"

// Reads one line a byte at a time. A CR is dropped; an LF ends the line, is not stored
// and is replaced by a NUL. A line that fills `maximum` comes back without terminator and
// its rest with the next call; at end of file the bytes read so far are the line.
// Answers the line's length, or -1 when `maximum` is not positive or end of file came
// before any byte.
[[nodiscard]] int read_line(Env* env, int fd, char* buffer, int maximum);

// Writes are whole through plat_write_all (platform/env.h).
