// The progress board: a named shared-memory record through which other processes (the
// desktop client, `varno-ctl status`) follow the running job, and the terminate event
// through which they ask for a stop. The agent is the only writer: it changes a private
// copy and then copies the whole record into the shared view, so readers see each change
// at once but may catch a record in the middle of a copy.
//
// Lifecycle: progress_open (main thread, once) creates both objects; the first
// progress_close closes the agent's handles (the view stays mapped and later setters
// still write into it; stop requests are no longer seen); progress_remove_names removes
// the names when the agent ends.
//
// Thread safety: any thread; an internal lock orders the setters with progress_close,
// which the watchdog may call while the backup thread still runs.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "platform/env.h"

// The shared record: 4672 bytes, little-endian, fields at fixed offsets.
struct ProgressBoard {
  uint64_t total_bytes;          // result of the sizing pass
  uint64_t done_bytes;           // sum of the sizes of the items finished
  uint64_t reserved0;            // always 0
  uint64_t items_current;        // items finished with outcome 1
  uint64_t items_failed;         // items finished with outcome 2
  uint64_t items_backed_up;      // items finished with outcome 3
  uint64_t item_size;            // size of the current item
  uint64_t item_done;            // bytes of the current item done
  char status[240];              // NUL-terminated when shorter than the field
  char schedule_name[240];       // NUL-filled after the name when shorter
  char current_item[4096];       // local path or command line; NUL-terminated when shorter
  uint16_t created_time[8];      // year, month, day of week, day, hour, minute, second, ms
  uint32_t created_tick;         // millisecond tick at creation
  uint32_t transfer_start_tick;  // millisecond tick at which file transfer began
  uint64_t reserved1;            // always 0
};

constexpr size_t PROGRESS_BOARD_SIZE = 4672;

static_assert(std::endian::native == std::endian::little,
              "the board is copied whole and must be little-endian");
static_assert(sizeof(ProgressBoard) == PROGRESS_BOARD_SIZE);
static_assert(offsetof(ProgressBoard, total_bytes) == 0);
static_assert(offsetof(ProgressBoard, done_bytes) == 8);
static_assert(offsetof(ProgressBoard, reserved0) == 16);
static_assert(offsetof(ProgressBoard, items_current) == 24);
static_assert(offsetof(ProgressBoard, items_failed) == 32);
static_assert(offsetof(ProgressBoard, items_backed_up) == 40);
static_assert(offsetof(ProgressBoard, item_size) == 48);
static_assert(offsetof(ProgressBoard, item_done) == 56);
static_assert(offsetof(ProgressBoard, status) == 64);
static_assert(offsetof(ProgressBoard, schedule_name) == 304);
static_assert(offsetof(ProgressBoard, current_item) == 544);
static_assert(offsetof(ProgressBoard, created_time) == 4640);
static_assert(offsetof(ProgressBoard, created_tick) == 4656);
static_assert(offsetof(ProgressBoard, transfer_start_tick) == 4660);
static_assert(offsetof(ProgressBoard, reserved1) == 4664);

// Outcomes of an item for progress_end_file.
constexpr int PROGRESS_CURRENT = 1;  // nothing to send
constexpr int PROGRESS_FAILED = 2;
constexpr int PROGRESS_BACKED_UP = 3;

// Creates (or opens) the board and the terminate event. 0 when the board is mapped,
// whether or not the event could be created; -1 otherwise. Failures go to the agent log.
int progress_open(Env* env);

// Empties the current item, sets the status "Complete", then closes the agent's handles.
void progress_close();

// Every setter does nothing until the board is mapped.
void progress_set_status(const char* text);
void progress_set_schedule_name(const char* text);
void progress_begin_file(const char* text, uint64_t size);
void progress_file_bytes(uint64_t done);
void progress_end_file(int outcome);
// Takes back an ended item's outcome `was` (a file whose close the server never confirmed):
// counts it as `now` instead, or, with `now` 0, not at all (it is sent again) and its
// `size` bytes as not done.
void progress_recount(int was, int now, uint64_t size);
// Items ended so far (current, failed or backed up).
uint64_t progress_items_ended();
void progress_set_total(uint64_t total);
// Reaches the shared record only with the next setter's copy.
void progress_set_start_tick(uint32_t tick);

// 1 when the terminate event is signalled now (it resets itself, so one request is
// answered once), 0 otherwise, also before progress_open and after progress_close.
int progress_terminate_requested();

// At the end of the agent: removes the names of the board and the event unless another
// agent still holds the board. The view stays mapped.
void progress_remove_names();

// At a normal end, once no thread writes any more: progress_remove_names, then unmaps the
// view and forgets the record, so that a later progress_open starts afresh.
void progress_release();
