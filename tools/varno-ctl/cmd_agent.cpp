// post, status and stop: the operator's side of the job mailslot, the progress board and
// the terminate event of the running agent.
#include <unistd.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "agent/ipc_names.h"
#include "agent/progress.h"
#include "platform/env.h"
#include "platform/error.h"
#include "platform/mailslot.h"
#include "platform/named_object.h"
#include "tools/varno-ctl/ctl.h"

namespace {

constexpr size_t kMaxMessage = 1024;  // path + NUL, as the agent reads it
constexpr uint32_t kPostTimeoutMs = 5000;
constexpr uint32_t kWatchPeriodMs = 500;
constexpr int kBarWidth = 30;

int usage_line(const char* text) {
  fprintf(stderr, "usage: varno-ctl %s\n", text);
  return CTL_USAGE;
}

// A text field of the board: up to its size, stopping at a NUL.
std::string field(const char* text, size_t size) {
  return std::string(text, strnlen(text, size));
}

int percent(uint64_t done, uint64_t total) {
  if (total == 0) return 0;
  if (done >= total) return 100;
  return static_cast<int>((done * 100.0) / static_cast<double>(total));
}

class BoardReader {
 public:
  // 0, or -1 after printing why.
  int open() {
    std::string name = ipc_object_name(PROGRESS_BOARD_NAME);
    if (memory_.open_existing(name.c_str(), PROGRESS_BOARD_SIZE, true) != 0 ||
        memory_.map(&view_) != 0) {
      if (errno == ENOENT) {
        fprintf(stderr, "varno-ctl: no agent is running (no progress board)\n");
      } else {
        fprintf(stderr, "varno-ctl: cannot open the progress board: %s\n",
                plat_error_message(errno));
      }
      return -1;
    }
    if (!view_.creator_alive()) {
      fprintf(stderr, "varno-ctl: no agent is running (the progress board was left behind)\n");
      return -1;
    }
    return 0;
  }

  bool alive() { return view_.creator_alive(); }

  ProgressBoard read() const {
    ProgressBoard board;
    memcpy(&board, view_.data(), sizeof board);
    return board;
  }

 private:
  SharedMemory memory_;
  SharedView view_;
};

void print_board(const ProgressBoard& b) {
  std::string item = field(b.current_item, sizeof b.current_item);
  printf("Schedule:     %s\n", field(b.schedule_name, sizeof b.schedule_name).c_str());
  printf("Status:       %s\n", field(b.status, sizeof b.status).c_str());
  if (item.empty()) {
    printf("Current item: (none)\n");
  } else {
    printf("Current item: %s (%llu of %llu bytes)\n", item.c_str(),
           static_cast<unsigned long long>(b.item_done),
           static_cast<unsigned long long>(b.item_size));
  }
  printf("Items:        %llu backed up, %llu current, %llu failed\n",
         static_cast<unsigned long long>(b.items_backed_up),
         static_cast<unsigned long long>(b.items_current),
         static_cast<unsigned long long>(b.items_failed));
  printf("Bytes:        %llu of %llu (%d%%)\n", static_cast<unsigned long long>(b.done_bytes),
         static_cast<unsigned long long>(b.total_bytes), percent(b.done_bytes, b.total_bytes));
}

void draw_bar(const ProgressBoard& b, bool terminal) {
  int pct = percent(b.done_bytes, b.total_bytes);
  char bar[kBarWidth + 1];
  int filled = pct * kBarWidth / 100;
  for (int i = 0; i < kBarWidth; ++i) bar[i] = i < filled ? '#' : '.';
  bar[kBarWidth] = '\0';
  std::string status = field(b.status, sizeof b.status);
  std::string item = field(b.current_item, sizeof b.current_item);
  if (item.size() > 40) item = "..." + item.substr(item.size() - 37);
  if (terminal) {
    printf("\r\033[K[%s] %3d%%  %s  %s", bar, pct, status.c_str(), item.c_str());
  } else {
    printf("[%s] %3d%%  %s  %s\n", bar, pct, status.c_str(), item.c_str());
  }
  fflush(stdout);
}

bool is_complete(const ProgressBoard& b) {
  return field(b.status, sizeof b.status) == "Complete";
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
  if (argc == 2 && strcmp(argv[1], "--watch") == 0) {
    watch = true;
  } else if (argc != 1) {
    return usage_line("status [--watch]");
  }
  BoardReader reader;
  if (reader.open() != 0) return CTL_FAILED;
  if (!watch) {
    print_board(reader.read());
    return CTL_OK;
  }
  bool terminal = isatty(STDOUT_FILENO) != 0;
  for (;;) {
    ProgressBoard board = reader.read();
    draw_bar(board, terminal);
    if (is_complete(board)) break;
    if (!reader.alive()) {
      if (terminal) printf("\n");
      fprintf(stderr, "varno-ctl: the agent has gone away\n");
      return CTL_FAILED;
    }
    plat_env()->sleep_ms(kWatchPeriodMs);
  }
  if (terminal) printf("\n");
  print_board(reader.read());
  return CTL_OK;
}

int ctl_stop(int argc, char**) {
  if (argc != 1) return usage_line("stop");
  NamedEvent event;
  if (event.open_existing(ipc_object_name(TERMINATE_EVENT_NAME).c_str()) != 0) {
    if (errno == ENOENT) {
      fprintf(stderr, "varno-ctl: no agent is running a job that can be stopped\n");
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
