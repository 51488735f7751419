#include "util/fdio.h"

int read_line(Env* env, int fd, char* buffer, int maximum) {
  if (maximum <= 0 || buffer == nullptr) return -1;
  int length = 0;
  bool any = false;
  while (length < maximum) {
    char c;
    ssize_t n = env->read(fd, &c, 1);
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
