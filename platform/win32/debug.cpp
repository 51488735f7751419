#include "platform/debug.h"

#include <windows.h>

#include <cstring>
#include <string>

void plat_debug_output(const char* text) {
  if (text == nullptr) text = "";
  size_t n = strlen(text);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) --n;
  // One call per line so lines from two threads do not interleave.
  std::string line(text, n);
  line.append("\r\n");
  OutputDebugStringA(line.c_str());
}
