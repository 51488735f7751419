// varno-ctl volumes / token: what the desktop client would see of this machine.
#include <cstdio>

#include "tools/varno-ctl/ctl.h"
#include "util/fs.h"
#include "util/list.h"
#include "util/machine.h"

// One line per volume: root, type code, label, serial, file system, separated by tabs.
int ctl_volumes(int argc, char**) {
  if (argc != 1) {
    fprintf(stderr, "usage: varno-ctl volumes\n");
    return CTL_USAGE;
  }
  List* volumes = get_volumes();
  for (int i = 0, n = list_count(volumes); i < n; ++i) {
    const auto* v = reinterpret_cast<const VolumeRecord*>(list_item(volumes, i));
    printf("%s\t%d\t%s\t%s\t%s\n", v->root, v->type, v->label, v->serial, v->file_system);
  }
  list_free(volumes);
  return fflush(stdout) == 0 ? CTL_OK : CTL_FAILED;
}

// The machine token as 40 lower-case hexadecimal digits.
int ctl_token(int argc, char**) {
  if (argc != 1) {
    fprintf(stderr, "usage: varno-ctl token\n");
    return CTL_USAGE;
  }
  uint8_t token[MACHINE_TOKEN_SIZE];
  get_machine_token(token);
  for (uint8_t b : token) printf("%02x", b);
  printf("\n");
  return fflush(stdout) == 0 ? CTL_OK : CTL_FAILED;
}
