#include "agent/net_start.h"

namespace {
int g_startups = 0;
}

int ckfs_init() {
  ++g_startups;
  return 0;
}

int ckfs_cleanup() {
  if (g_startups == 0) return -1;  // as the socket library answers when never started
  --g_startups;
  return 0;
}

bool ckfs_started() {
  return g_startups != 0;
}
