#include "agent/backup/job_state.h"

namespace {
bool g_user_terminated = false;  // the process-wide stop flag
}

bool user_terminated() {
  return g_user_terminated;
}

void set_user_terminated() {
  g_user_terminated = true;
}
