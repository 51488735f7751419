// One backup job: the entry the agent calls with each schedule path. It opens the job log
// beside the schedule, parses the schedule and runs the job.
//
// Thread safety: backup thread only.
#pragma once

// Runs the job of the schedule at `schedule_path` (Windows form). 0 when the job ran or
// the schedule is disabled, otherwise a fixed positive code; the caller only logs around it.
int procjob(const char* schedule_path);
