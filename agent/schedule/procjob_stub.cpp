// Stand-in for the job entry until schedule parsing arrives: opens the job log and notes
// the job.
#include "agent/log.h"
#include "agent/schedule/procjob.h"

int procjob(const char* schedule_path) {
  log_job_open(schedule_path);
  log_job("Job for '%s' accepted; schedules are not run by this build.\n", schedule_path);
  return 0;
}
