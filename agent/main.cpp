// varno-backup: the backup agent. The process entry arrives with the agent process work;
// until then the program only proves that the agent links.
#include "agent/log.h"

int main() { return 0; }
