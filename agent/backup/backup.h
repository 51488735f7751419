// The backup engine's entry: one job run from the pre-backup command to the post-backup
// command, on the settings procjob has parsed. Backup thread only, one job at a time.
#pragma once

#include "platform/env.h"

// Runs the job of `schedule_path` through `env`; answers 0 (every outcome is logged and reported).
// Everything the run created for itself is gone when it returns.
int __do_backup(const char* schedule_path, Env* env);
