// varno-ctl queue show: what a queued report says, for operators.
#include <cstdio>
#include <cstring>

#include "tools/varno-ctl/ctl.h"
#include "tools/varno-ctl/encrypted_text.h"

int ctl_queue(int argc, char** argv) {
  if (argc != 3 || strcmp(argv[1], "show") != 0) {
    fprintf(stderr, "usage: varno-ctl queue show FILE\n");
    return CTL_USAGE;
  }
  int rc = ctl_decrypt_text(argv[2], stdout);
  if (fflush(stdout) != 0) rc = -1;
  return rc == 0 ? CTL_OK : CTL_FAILED;
}
