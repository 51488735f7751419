#include <cstdio>
#include <cstring>
#include <string>

#include "tools/varno-ctl/ctl.h"

#ifndef VARNO_VERSION
#define VARNO_VERSION "unknown"
#endif

namespace {

struct Command {
  const char* word;
  int (*run)(int, char**);
  const char* synopsis;
  const char* what;
};

constexpr Command kCommands[] = {
    {"run", ctl_run, "run [--wait] [--agent PATH] SCHEDULE",
     "post the job to the running agent, or start an agent\n"
     "for it; --wait follows the job and exits 0 complete,\n"
     "1 failed, 3 stopped, 4 completed with failures"},
    {"post", ctl_post, "post PATH", "queue a schedule for the running agent"},
    {"status", ctl_status, "status [--watch] [--json]", "show the progress of the running job"},
    {"stop", ctl_stop, "stop", "ask the running job to stop"},
    {"schedule", ctl_schedule, "schedule check PLAIN|KBS",
     "check a plain or encrypted schedule as the agent\nwould read it"},
    {"kbs", ctl_kbs, "kbs encrypt [--force] PLAIN OUT",
     "check, then encrypt a schedule under etc/varno.ak\n(kbs decrypt [--force] KBS OUT: the "
     "reverse,\nmode 0600, never over a file without --force)"},
    {"queue", ctl_queue, "queue show FILE",
     "print a queued report (queue list|send|clear\nSCHEDULE: list the schedule's queued "
     "reports, hand\nthem to the server, each removed once taken, or\nremove them)"},
    {"hosts", ctl_hosts, "hosts check", "check etc/hosts and try each server in it"},
    {"volumes", ctl_volumes, "volumes", "list the volumes"},
    {"token", ctl_token, "token", "print the machine token"},
};

constexpr int kColumn = 36;  // where the descriptions start

// "  varno-ctl SYNOPSIS  what", the text wrapped at its line feeds under the column.
void print_command(FILE* out, const Command& c) {
  int used = fprintf(out, "  varno-ctl %s", c.synopsis);
  const char* what = c.what;
  if (used + 2 > kColumn) {
    fputc('\n', out);
    used = 0;
  }
  for (;;) {
    const char* nl = strchr(what, '\n');
    int length = nl != nullptr ? static_cast<int>(nl - what) : static_cast<int>(strlen(what));
    fprintf(out, "%*s%.*s\n", kColumn - used, "", length, what);
    if (nl == nullptr) break;
    what = nl + 1;
    used = 0;
  }
}

void print_usage(FILE* out) {
  fprintf(out,
          "usage: varno-ctl COMMAND [ARGS], in the agent's working folder (the folder of etc/)\n");
  for (const Command& c : kCommands) print_command(out, c);
  fprintf(out, "  varno-ctl --help | --version\n");
}

}  // namespace

int ctl_not_available(const char* what) {
  fprintf(stderr, "varno-ctl: %s is not available in this build\n", what);
  return CTL_FAILED;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    print_usage(stderr);
    return CTL_USAGE;
  }
  if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0 ||
      strcmp(argv[1], "help") == 0) {
    print_usage(stdout);
    return CTL_OK;
  }
  if (strcmp(argv[1], "--version") == 0) {
    printf("varno-ctl %s\n", VARNO_VERSION);
    return CTL_OK;
  }
  for (const Command& c : kCommands) {
    if (strcmp(argv[1], c.word) != 0) continue;
    if (argc == 3 && (strcmp(argv[2], "--help") == 0 || strcmp(argv[2], "-h") == 0)) {
      printf("usage:\n");
      print_command(stdout, c);
      return CTL_OK;
    }
    return c.run(argc - 1, argv + 1);
  }
  fprintf(stderr, "varno-ctl: unknown command '%s'\n", argv[1]);
  print_usage(stderr);
  return CTL_USAGE;
}
