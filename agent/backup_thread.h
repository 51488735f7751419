// The backup thread: takes the initial job, then schedule paths from the job mailslot,
// runs each through procjob and ends when none is waiting.
#pragma once

#include <cstdint>

#include "platform/env.h"

// Runs one job (procjob in the agent; tests put their own jobs in its place).
using JobRunner = int (*)(const char* schedule_path, Env* env);

struct BackupThreadArgs {
  JobRunner run_job;
  const char* initial_path;  // the initial schedule, or null
  int32_t job_wait_seconds;  // idle reads before giving up: 1 after an initial job, else 30
  uint32_t idle_ms;          // pause between idle reads (1000; tests shorten it)
  Env* env;                  // the pauses are its sleeps
};

// The thread's body; answers its exit code (0, or 1 when intake could not start).
uint32_t backup_thread(const BackupThreadArgs& args);
