#include "platform/error.h"

#include <windows.h>

#include <cstring>
#include <string>

#include "platform/win32/win_error.h"

namespace {
thread_local uint32_t t_last_error = 0;
thread_local std::string t_message;
}  // namespace

uint32_t plat_last_error() {
  return t_last_error;
}

void plat_set_last_error(uint32_t code) {
  t_last_error = code;
}

const char* plat_error_message(int errnum) {
  // When errno came from a Windows error of this thread, the system's own message table
  // says it better than the runtime's short errno texts.
  uint32_t code = t_last_error;
  if (code != 0 && win32_to_errno(code) == errnum) {
    char* text = nullptr;
    DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text), 0,
        nullptr);
    if (n > 0 && text != nullptr) {
      t_message.assign(text, n);
      LocalFree(text);
      while (!t_message.empty() &&
             (t_message.back() == '\n' || t_message.back() == '\r' || t_message.back() == ' ')) {
        t_message.pop_back();
      }
      return t_message.c_str();
    }
    if (text != nullptr) LocalFree(text);
  }
  const char* text = strerror(errnum);
  return text != nullptr ? text : "Unknown error";
}
