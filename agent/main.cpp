// varno-backup: the backup agent, started by the desktop client as
// "varno-backup background [SCHEDULE]".
#include <cstdio>
#include <cstring>

#include "agent/agent.h"
#include "agent/schedule/procjob.h"

#ifndef VARNO_VERSION
#define VARNO_VERSION "unknown"
#endif

int main(int argc, char** argv) {
  // Answered before the agent opens agent.log, which every start empties: asking what the
  // program is must not wipe the log of the last run.
  if (argc >= 2 && strcmp(argv[1], "--help") == 0) {
    printf(
        "usage: varno-backup background [SCHEDULE]\n"
        "  runs the job of SCHEDULE (an encrypted .kbs file), then the jobs posted to it,\n"
        "  in the working folder (the folder of etc/); writes agent.log and SCHEDULE.log\n"
        "  varno-backup --help | --version\n");
    return fflush(stdout) == 0 ? 0 : 1;
  }
  if (argc >= 2 && strcmp(argv[1], "--version") == 0) {
    printf("varno-backup %s\n", VARNO_VERSION);
    return fflush(stdout) == 0 ? 0 : 1;
  }
  return agent_main(argc, argv, procjob);
}
