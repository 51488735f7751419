#include <cstdio>
#include <cstring>

#include "tools/varno-ctl/ctl.h"

namespace {

struct Command {
  const char* word;
  int (*run)(int, char**);
  const char* usage;
};

constexpr Command kCommands[] = {
    {"post", ctl_post, "post PATH               queue a schedule for the running agent"},
    {"status", ctl_status, "status [--watch]        show the progress of the running job"},
    {"stop", ctl_stop, "stop                    ask the running job to stop"},
    {"volumes", ctl_volumes, "volumes                 list the volumes"},
    {"token", ctl_token, "token                   print the machine token"},
    {"kbs", ctl_kbs, "kbs encrypt|decrypt IN OUT   encrypt or decrypt a schedule file"},
    {"queue", ctl_queue, "queue show FILE         print a queued report"},
};

int usage() {
  fprintf(stderr, "usage: varno-ctl COMMAND [ARGS]\n");
  for (const Command& c : kCommands) fprintf(stderr, "  varno-ctl %s\n", c.usage);
  return CTL_USAGE;
}

}  // namespace

int ctl_not_available(const char* what) {
  fprintf(stderr, "varno-ctl: %s is not available in this build\n", what);
  return CTL_FAILED;
}

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  for (const Command& c : kCommands) {
    if (strcmp(argv[1], c.word) == 0) return c.run(argc - 1, argv + 1);
  }
  if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "help") == 0) {
    usage();
    return CTL_OK;
  }
  fprintf(stderr, "varno-ctl: unknown command '%s'\n", argv[1]);
  return usage();
}
