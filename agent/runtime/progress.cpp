#include "agent/runtime/progress.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "agent/runtime/ipc_names.h"
#include "agent/runtime/log.h"
#include "platform/env.h"
#include "platform/named_object.h"

namespace {

std::mutex g_lock;
ProgressBoard g_board;   // the private copy
SharedMemory g_mapping;  // the mapping handle, closed by the first progress_close
SharedView g_view;       // mapped for the life of the process once created
NamedEvent g_event;      // hTerminateBackupEvent

// 0 = Sunday, as Windows counts.
uint16_t day_of_week(int year, int month, int day) {
  static constexpr int kOffsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  if (month < 3) year -= 1;
  return static_cast<uint16_t>(
      (year + year / 4 - year / 100 + year / 400 + kOffsets[(month - 1) % 12] + day) % 7);
}

// Copies at most `field_size` bytes of `text`; a shorter text gets its terminating NUL.
void copy_text(char* field, size_t field_size, const char* text, bool zero_fill) {
  size_t length = strnlen(text, field_size);
  memcpy(field, text, length);
  if (length < field_size) {
    if (zero_fill)
      memset(field + length, 0, field_size - length);
    else
      field[length] = '\0';
  }
}

void publish() {
  memcpy(g_view.data(), &g_board, sizeof g_board);
}

uint64_t* outcome_counter(int outcome) {
  switch (outcome) {
    case PROGRESS_CURRENT:
      return &g_board.items_current;
    case PROGRESS_FAILED:
      return &g_board.items_failed;
    case PROGRESS_BACKED_UP:
      return &g_board.items_backed_up;
    default:
      return nullptr;
  }
}

}  // namespace

int progress_open(Env* env) {
  std::lock_guard<std::mutex> lock(g_lock);
  std::string board_name = ipc_object_name(PROGRESS_BOARD_NAME);
  NameGuard guard(board_name.c_str());
  if (g_mapping.create(board_name.c_str(), PROGRESS_BOARD_SIZE) != 0) {
    log_agent(
        "Could not create file mapping object (Error %d). Backup progress information "
        "will not be available.\n",
        errno);
    return -1;
  }
  SharedView view;
  if (g_mapping.map(&view) != 0) {
    log_agent(
        "Could not map view of file (Error %d). Progress information will not be "
        "available.\n",
        errno);
    g_mapping.reset();
    return -1;
  }
  g_view = std::move(view);

  memset(&g_board, 0, sizeof g_board);
  LocalTime now = env->local_time();
  const int parts[8] = {now.year,   now.month,      day_of_week(now.year, now.month, now.day),
                        now.day,    now.hour,       now.minute,
                        now.second, now.millisecond};
  for (int i = 0; i < 8; ++i) g_board.created_time[i] = static_cast<uint16_t>(parts[i]);
  g_board.created_tick = static_cast<uint32_t>(env->tick_ms());
  copy_text(g_board.status, sizeof g_board.status, "Initializing...", false);
  publish();

  // A signal on the event is stale only when no other live agent holds the board.
  if (g_event.create(ipc_object_name(TERMINATE_EVENT_NAME).c_str(), g_view.sole_creator()) == 0) {
    log_agent("Successfully created hTerminateBackupEvent event\n");
  } else {
    log_agent("CreateEvent failed (%d)\n", errno);
  }
  return 0;
}

void progress_close() {
  std::lock_guard<std::mutex> lock(g_lock);
  if (!g_view.valid()) return;
  memset(g_board.current_item, 0, sizeof g_board.current_item);
  copy_text(g_board.status, sizeof g_board.status, "Complete", false);
  publish();
  if (g_event.valid()) {
    g_event.reset();
    // Nobody watches the event any more; stop requests must find no one rather than a
    // name that answers to nobody.
    NameGuard guard(ipc_object_name(PROGRESS_BOARD_NAME).c_str());
    if (g_view.sole_creator())
      (void)NamedEvent::unlink(ipc_object_name(TERMINATE_EVENT_NAME).c_str());
  }
  g_mapping.reset();
}

void progress_set_status(const char* text) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (!g_view.valid()) return;
  copy_text(g_board.status, sizeof g_board.status, text, false);
  publish();
}

void progress_set_schedule_name(const char* text) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (!g_view.valid()) return;
  copy_text(g_board.schedule_name, sizeof g_board.schedule_name, text, true);
  publish();
}

void progress_begin_file(const char* text, uint64_t size) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (!g_view.valid()) return;
  copy_text(g_board.current_item, sizeof g_board.current_item, text, false);
  g_board.item_size = size;
  g_board.item_done = 0;
  publish();
}

void progress_file_bytes(uint64_t done) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (!g_view.valid()) return;
  g_board.item_done = done;
  publish();
}

void progress_end_file(int outcome) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (!g_view.valid()) return;
  g_board.item_done = g_board.item_size;
  g_board.done_bytes += g_board.item_size;
  if (uint64_t* counter = outcome_counter(outcome)) ++*counter;
  publish();
}

void progress_recount(int was, int now, uint64_t size) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (!g_view.valid()) return;
  if (uint64_t* counter = outcome_counter(was); counter != nullptr && *counter > 0) --*counter;
  if (uint64_t* counter = outcome_counter(now)) {
    ++*counter;
  } else {
    g_board.done_bytes -= std::min(g_board.done_bytes, size);
  }
  publish();
}

uint64_t progress_items_ended() {
  std::lock_guard<std::mutex> lock(g_lock);
  return g_board.items_current + g_board.items_failed + g_board.items_backed_up;
}

void progress_set_total(uint64_t total) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (!g_view.valid()) return;
  g_board.total_bytes = total;
  publish();
}

void progress_set_start_tick(uint32_t tick) {
  std::lock_guard<std::mutex> lock(g_lock);
  if (!g_view.valid()) return;
  g_board.transfer_start_tick = tick;
}

int progress_terminate_requested() {
  std::lock_guard<std::mutex> lock(g_lock);
  if (!g_event.valid()) return 0;
  return g_event.try_wait() == 1 ? 1 : 0;
}

void progress_remove_names() {
  std::lock_guard<std::mutex> lock(g_lock);
  if (!g_view.valid()) return;
  std::string board_name = ipc_object_name(PROGRESS_BOARD_NAME);
  NameGuard guard(board_name.c_str());
  if (!g_view.sole_creator()) return;
  (void)SharedMemory::unlink(board_name.c_str());
  (void)NamedEvent::unlink(ipc_object_name(TERMINATE_EVENT_NAME).c_str());
  guard.remove();
}

void progress_release() {
  progress_remove_names();
  std::lock_guard<std::mutex> lock(g_lock);
  g_event.reset();
  g_mapping.reset();
  g_view.reset();
  memset(&g_board, 0, sizeof g_board);
}
