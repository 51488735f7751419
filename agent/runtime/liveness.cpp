#include "agent/runtime/liveness.h"

std::atomic<uint32_t> liveness_counter{0};
