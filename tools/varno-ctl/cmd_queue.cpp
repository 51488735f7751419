// Placeholder until this command family is built.
#include "tools/varno-ctl/ctl.h"

int ctl_queue(int, char**) { return ctl_not_available("'queue'"); }
