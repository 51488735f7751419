// post, status and stop: the operator's side of the job mailslot, the progress board and
// the terminate event of the running agent.
#include <unistd.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "agent/runtime/ipc_names.h"
#include "platform/env.h"
#include "platform/error.h"
#include "platform/mailslot.h"
#include "platform/named_object.h"
#include "tools/varno-ctl/board.h"
#include "tools/varno-ctl/ctl.h"

namespace {

constexpr size_t kMaxMessage = 1024;  // path + NUL, as the agent reads it
constexpr uint32_t kPostTimeoutMs = 5000;
constexpr uint32_t kWatchPeriodMs = 500;
constexpr uint32_t kJsonWatchPeriodMs = 200;

int usage_line(const char* text) {
  fprintf(stderr, "usage: varno-ctl %s\n", text);
  return CTL_USAGE;
}

// For monitors: the same answer shape when no agent runs.
void print_not_running(const std::string& why) {
  printf("{\"running\":false,\"error\":%s}\n", json_quote(why).c_str());
  fflush(stdout);
}

int watch_json(BoardReader& reader) {
  ProgressBoard last{};
  bool first = true;
  for (;;) {
    ProgressBoard board = reader.read();
    if (first || memcmp(&board, &last, sizeof board) != 0) {
      printf("%s\n", board_json(board).c_str());
      if (fflush(stdout) != 0) return CTL_FAILED;
      last = board;
      first = false;
    }
    if (board_complete(board)) return CTL_OK;
    if (!reader.alive()) {
      print_not_running("the agent has gone away");
      return CTL_FAILED;
    }
    plat_env()->sleep_ms(kJsonWatchPeriodMs);
  }
}

}  // namespace

int ctl_post(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '\0') return usage_line("post PATH");
  const char* path = argv[1];
  size_t length = strlen(path) + 1;  // the agent needs the NUL
  if (length > kMaxMessage) {
    fprintf(stderr, "varno-ctl: schedule path too long (at most %zu bytes)\n", kMaxMessage - 1);
    return CTL_FAILED;
  }
  std::string name = ipc_object_name(JOB_MAILSLOT_NAME);
  if (plat_mailslot_send(name.c_str(), path, length, kPostTimeoutMs) != 0) {
    if (errno == ECONNREFUSED || errno == ENOENT) {
      fprintf(stderr, "varno-ctl: no agent is listening on the job mailslot\n");
    } else if (errno == EACCES) {
      fprintf(stderr, "varno-ctl: %s\n", kOtherUsersAgent);
    } else {
      fprintf(stderr, "varno-ctl: cannot post to the job mailslot: %s\n",
              plat_error_message(errno));
    }
    return CTL_FAILED;
  }
  printf("Posted '%s'\n", path);
  return CTL_OK;
}

int ctl_status(int argc, char** argv) {
  bool watch = false;
  bool json = false;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--watch") == 0) {
      watch = true;
    } else if (strcmp(argv[i], "--json") == 0) {
      json = true;
    } else {
      return usage_line("status [--watch] [--json]");
    }
  }
  BoardReader reader;
  std::string why;
  if (reader.open(json, &why) != 0) {
    if (json) print_not_running(why);
    return CTL_FAILED;
  }
  if (json && watch) return watch_json(reader);
  if (json) {
    printf("%s\n", board_json(reader.read()).c_str());
    return fflush(stdout) == 0 ? CTL_OK : CTL_FAILED;
  }
  if (!watch) {
    board_print(reader.read());
    return CTL_OK;
  }
  bool terminal = isatty(STDOUT_FILENO) != 0;
  for (;;) {
    ProgressBoard board = reader.read();
    board_draw_bar(board, terminal);
    if (board_complete(board)) break;
    if (!reader.alive()) {
      if (terminal) printf("\n");
      fprintf(stderr, "varno-ctl: the agent has gone away\n");
      return CTL_FAILED;
    }
    plat_env()->sleep_ms(kWatchPeriodMs);
  }
  if (terminal) printf("\n");
  board_print(reader.read());
  return CTL_OK;
}

int ctl_stop(int argc, char**) {
  if (argc != 1) return usage_line("stop");
  NamedEvent event;
  if (event.open_existing(ipc_object_name(TERMINATE_EVENT_NAME).c_str()) != 0) {
    if (errno == ENOENT) {
      fprintf(stderr, "varno-ctl: no agent is running a job that can be stopped\n");
    } else if (errno == EACCES) {
      fprintf(stderr,
              "varno-ctl: the running agent belongs to another user; only that user "
              "or root may stop it\n");
    } else {
      fprintf(stderr, "varno-ctl: cannot open the terminate event: %s\n",
              plat_error_message(errno));
    }
    return CTL_FAILED;
  }
  if (event.set() != 0) {
    fprintf(stderr, "varno-ctl: cannot signal the terminate event: %s\n",
            plat_error_message(errno));
    return CTL_FAILED;
  }
  printf("Stop requested\n");
  return CTL_OK;
}
