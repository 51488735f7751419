// Placeholder until this command family is built.
#include "tools/varno-ctl/ctl.h"

int ctl_volumes(int, char**) { return ctl_not_available("'volumes'"); }
int ctl_token(int, char**) { return ctl_not_available("'token'"); }
