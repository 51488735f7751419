// Small text conversions: hexadecimal, durations, in-place replacement, splitting.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/list.h"

// Two upper-case digits per byte, then a NUL; `output` needs 2 * length + 1 bytes.
char* hex_encode(const void* bytes, size_t length, char* output);

// `count` bytes from 2 * count digits of either case. Nothing is validated and no
// terminator is written.
void* hex_decode(const char* text, size_t count, void* output);

// "HH:MM:SS" (hours of 100 or more show as "99") plus a NUL into `output` (9 bytes).
// Answers 8.
int format_duration(uint64_t seconds, char* output);

// The decimal number at the start of `text`, read as the C library's conversion reads
// one: leading white space, an optional sign, then digits; 0 when there are none (or for
// null). Saturates far beyond any value a caller accepts, never wraps.
[[nodiscard]] long decimal_number(const char* text);

// Replaces every occurrence of `pattern` in place, left to right, resuming after each
// inserted replacement; stops, leaving the rest unchanged, as soon as the next
// replacement would make the text's length reach `capacity`.
void replace_all(char* text, size_t capacity, const char* pattern, const char* replacement);

// Appends the non-empty pieces of `text` between occurrences of `separator` to `list`, or
// to a new list (capacity 15, step 15) when `list` is null. Null with EINVAL when text or
// separator is null or the separator is empty.
[[nodiscard]] List* split_string(const char* text, const char* separator, List* list);
