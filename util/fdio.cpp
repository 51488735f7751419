#include "util/fdio.h"

#include "platform/file.h"

int read_line(int fd, char* buffer, int maximum) {
  if (maximum <= 0 || buffer == nullptr) return -1;
  int length = 0;
  bool any = false;
  while (length < maximum) {
    char c;
    ssize_t n = plat_read(fd, &c, 1);
    if (n <= 0) break;
    any = true;
    if (c == '\r') continue;
    if (c == '\n') {
      buffer[length] = '\0';
      return length;
    }
    buffer[length++] = c;
  }
  return any ? length : -1;
}

ssize_t write_all(int fd, const void* bytes, size_t length) {
  const char* p = static_cast<const char*>(bytes);
  size_t done = 0;
  while (done < length) {
    ssize_t n = plat_write(fd, p + done, length - done);
    if (n <= 0) return -1;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(length);
}
