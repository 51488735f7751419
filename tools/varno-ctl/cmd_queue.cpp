// varno-ctl queue show: what a queued report says, for operators.
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/varno-ctl/ctl.h"
#include "tools/varno-ctl/encrypted_text.h"

int ctl_queue(int argc, char** argv) {
  if (argc != 3 || strcmp(argv[1], "show") != 0) {
    fprintf(stderr, "usage: varno-ctl queue show FILE\n");
    return CTL_USAGE;
  }
  std::string plain;
  DecryptResult got = ctl_decrypt_text(argv[2], &plain, false);
  // A damaged file shows nothing: under another key its text is noise.
  if (got == DECRYPT_DAMAGED) ctl_print_damaged(argv[2]);
  bool shown = got == DECRYPT_WHOLE && fputs(plain.c_str(), stdout) >= 0 && fflush(stdout) == 0;
  ctl_wipe(&plain);
  return shown ? CTL_OK : CTL_FAILED;
}
