#include "agent/runtime/ipc_names.h"

#include "platform/knobs.h"

std::string ipc_object_name(const char* name) {
  return std::string(name) + plat_knob_text(KNOB_IPC_NAMESPACE);
}
