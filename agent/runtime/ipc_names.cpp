#include "agent/runtime/ipc_names.h"

#include <cstdlib>

std::string ipc_object_name(const char* name) {
  std::string full = name;
  if (const char* suffix = getenv("VARNO_IPC_NAMESPACE")) full += suffix;
  return full;
}
