#include "util/text.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

char* hex_encode(const void* bytes, size_t length, char* output) {
  static const char kDigits[] = "0123456789ABCDEF";
  const unsigned char* in = static_cast<const unsigned char*>(bytes);
  for (size_t i = 0; i < length; ++i) {
    output[2 * i] = kDigits[in[i] >> 4];
    output[2 * i + 1] = kDigits[in[i] & 0x0F];
  }
  output[2 * length] = '\0';
  return output;
}

namespace {
unsigned digit_value(unsigned char c) {
  if (c > 96) return c - 87u;
  if (c > 64) return c - 55u;
  return c - 48u;
}
}  // namespace

void* hex_decode(const char* text, size_t count, void* output) {
  unsigned char* out = static_cast<unsigned char*>(output);
  for (size_t i = 0; i < count; ++i) {
    unsigned hi = digit_value(static_cast<unsigned char>(text[2 * i]));
    unsigned lo = digit_value(static_cast<unsigned char>(text[2 * i + 1]));
    out[i] = static_cast<unsigned char>((hi << 4) + lo);
  }
  return output;
}

int format_duration(uint64_t seconds, char* output) {
  memcpy(output, "00:00:00", 9);
  uint64_t hours = seconds / 3600;
  uint64_t rest = seconds % 3600;
  if (hours >= 100) {
    output[0] = '9';
    output[1] = '9';
  } else {
    output[0] = static_cast<char>('0' + hours / 10);
    output[1] = static_cast<char>('0' + hours % 10);
  }
  output[3] = static_cast<char>('0' + rest / 600);
  output[4] = static_cast<char>('0' + (rest / 60) % 10);
  rest %= 60;
  output[6] = static_cast<char>('0' + rest / 10);
  output[7] = static_cast<char>('0' + rest % 10);
  return 8;
}

void replace_all(char* text, size_t capacity, const char* pattern, const char* replacement) {
  if (text == nullptr || pattern == nullptr || replacement == nullptr || *pattern == '\0') return;
  size_t pattern_len = strlen(pattern);
  size_t replacement_len = strlen(replacement);
  size_t length = strlen(text);
  size_t pos = 0;
  while (pos <= length) {
    char* hit = strstr(text + pos, pattern);
    if (hit == nullptr) return;
    size_t at = static_cast<size_t>(hit - text);
    size_t new_length = length - pattern_len + replacement_len;
    if (new_length >= capacity) return;
    memmove(text + at + replacement_len, text + at + pattern_len, length - at - pattern_len + 1);
    memcpy(text + at, replacement, replacement_len);
    length = new_length;
    pos = at + replacement_len;
  }
}

List* split_string(const char* text, const char* separator, List* list) {
  if (text == nullptr || separator == nullptr || *separator == '\0') {
    errno = EINVAL;
    return nullptr;
  }
  if (list == nullptr) list = list_create(15, 15, nullptr);
  size_t sep_len = strlen(separator);
  const char* start = text;
  for (;;) {
    const char* hit = strstr(start, separator);
    size_t piece = hit != nullptr ? static_cast<size_t>(hit - start) : strlen(start);
    if (piece > 0) list_insert(list, start, piece, list_count(list));
    if (hit == nullptr) break;
    start = hit + sep_len;
  }
  return list;
}

long decimal_number(const char* text) {
  if (text == nullptr) return 0;
  const char* p = text;
  while (isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '-' || *p == '+') negative = *p++ == '-';
  int64_t value = 0;
  while (isdigit(static_cast<unsigned char>(*p))) {
    if (value < (int64_t{1} << 40)) value = value * 10 + (*p - '0');
    ++p;
  }
  // long is 32 bits on Windows: saturate there too rather than wrap.
  if (value > LONG_MAX) value = LONG_MAX;
  return static_cast<long>(negative ? -value : value);
}
