#include "platform/error.h"

#include <cstring>

namespace {
thread_local uint32_t t_last_error = 0;
}

uint32_t plat_last_error() {
  return t_last_error;
}

void plat_set_last_error(uint32_t code) {
  t_last_error = code;
}

const char* plat_error_message(int errnum) {
  // strerrordesc_np is thread-safe and answers null for values the library does not know.
  const char* text = strerrordesc_np(errnum);
  return text != nullptr ? text : "Unknown error";
}
