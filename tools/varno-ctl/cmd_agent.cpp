// Placeholder until this command family is built.
#include "tools/varno-ctl/ctl.h"

int ctl_post(int, char**) { return ctl_not_available("'post'"); }
int ctl_status(int, char**) { return ctl_not_available("'status'"); }
int ctl_stop(int, char**) { return ctl_not_available("'stop'"); }
