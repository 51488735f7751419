// The agent process: command line, agent log, progress board, the backup thread and the
// watchdog that ends it when it shows no sign of life for a whole slice (one hour).
//
// Test knobs (production leaves them unset): VARNO_WATCHDOG_MS shortens the watchdog
// slice, VARNO_IDLE_MS the pause between idle mailslot reads.
#pragma once

#include "agent/backup_thread.h"

// The process entry; `run_job` runs each job (procjob). Answers the exit code. Does not
// return when the backup thread had to be terminated by force (the process is ended with
// the same code instead).
int agent_main(int argc, char** argv, JobRunner run_job);
