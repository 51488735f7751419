// varno-backup: the backup agent, started by the desktop client as
// "varno-backup background [SCHEDULE]".
#include "agent/agent.h"
#include "agent/schedule/procjob.h"

int main(int argc, char** argv) {
  return agent_main(argc, argv, procjob);
}
