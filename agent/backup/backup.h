// The backup engine's entry: one job run from the pre-backup command to the post-backup
// command, on the settings procjob has parsed. Backup thread only, one job at a time.
#pragma once

#include <string>

#include "platform/env.h"

// How a job ended, for the operator: the report holds the counts, this says whether the
// run got through and, when it did not, why.
enum JobEnd : int {
  JOB_RUNNING = 0,  // not ended yet
  JOB_COMPLETE,     // the transfer ran to its end (files may still have failed)
  JOB_FAILED,       // the run stopped before or during the transfer
  JOB_STOPPED,      // a stop request ended it
};
struct JobOutcome {
  JobEnd end = JOB_RUNNING;
  std::string reason;  // why it failed or stopped, or what went wrong after a complete run
};

// Runs the job of `schedule_path` through `env`; answers 0 (every outcome is logged and
// reported) and says how it ended in `outcome` when given. Everything the run created for
// itself is gone when it returns.
int __do_backup(const char* schedule_path, Env* env, JobOutcome* outcome = nullptr);
