// The backup engine's shared pieces: the job context that the run hands down the walk,
// the per-file backup and the filters, and the entry points of each stage.
//
// Ownership: __do_backup creates one JobContext per run (after the sizing pass) and
// destroys it at logout; what outlives it (the report, the job settings, the stop flag)
// is process-wide by design. Backup thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "agent/backup/fci/fci.h"
#include "agent/backup/prepare.h"
#include "agent/backup/settings.h"
#include "agent/stream/stream.h"
#include "platform/env.h"
#include "protocol/ckfs.h"

// A local item's status as the walk reads it.
struct ItemStatus {
  bool is_directory;
  int32_t modification_time;  // 32-bit seconds since 1970
  uint64_t size;
};

// Bytes of the shared send buffer: the largest data message plus room for its header.
constexpr int ENGINE_SEND_BUFFER = 65536;
constexpr int ENGINE_DATA_MESSAGE_MAX = 65466;
constexpr int ENGINE_REMOTE_PATH_MAX = 1024;  // bytes, NUL included

// A file sent whole whose KFS_FILE_CLOSE (which awaits no reply) the server has not yet
// vouched for. It is called backed up (log, report, index) only once a reply on the same
// connection follows; when that connection breaks first, it is sent again once, and fails
// when that is lost too.
struct UnconfirmedClose {
  std::string local;
  std::string remote;
  ItemStatus status;  // as the walk read it: a second sending starts from it
  const ScheduleFilter* filter;
  int32_t modification_time;  // what the close stored
  uint64_t size;
  ckfs_mark sent;  // where the session stood when the close went out
  bool resent;     // this is the second sending
};

// A file whose first block was handed to the pool before the walk reached it.
struct AheadFile {
  std::string local;  // capacity kept from file to file
  uint64_t number = 0;
};

// The encoders of a run: the backup thread's own encoder, the pool of worker threads (none
// with one worker) and the files planned ahead of the walk, oldest first.
struct Encoders {
  bool started = false;
  std::unique_ptr<BlockEncoder> encoder;  // the backup thread's
  std::unique_ptr<BlockPool> pool;
  uint64_t next_file = 0;        // numbers the files for the pool
  uint32_t block_size_seen = 0;  // of the last open: a guess for files not opened yet
  std::vector<AheadFile> ahead;  // a ring of pool-slot-count entries
  size_t ahead_first = 0;
  size_t ahead_count = 0;
};

// Mirrored deletions under the source being walked. They wait for the end of its walk,
// when the share they make of what the server listed under it is known.
struct SyncLedger {
  uint64_t listed = 0;               // entries the server listed in the source's folders
  uint64_t made_way = 0;             // objects deleted at once to make way for a type swap
  std::vector<std::string> pending;  // server paths to delete when the source's walk ends
};

// The run of one job.
struct JobContext {
  explicit JobContext(Env* env);  // the session initialised; it and the index use `env`
  ~JobContext();                  // the session reset
  JobContext(const JobContext&) = delete;
  JobContext& operator=(const JobContext&) = delete;

  Env* env;                     // every file, clock and process call of the run
  ckfs_session session{};       // from the user lock to the end of the session
  Fci index;                    // opened after the user lock, closed at the end
  bool index_valid = false;     // the old index matched the server's stamp
  uint32_t destination_id = 0;  // Dest= as a number: the user of every lock request
  uint64_t done_bytes = 0;      // bytes backed up or found current: the report's stop size
  // Server folders this job created below "/Today/" (the `today_folders` list).
  std::vector<std::string> today_folders;
  std::vector<UnconfirmedClose> unconfirmed_closes;
  std::vector<UnconfirmedClose> lost_closes;  // to send again, oldest first
  bool resending = false;                     // do_file is sending a lost file again
  // Reconnecting failed for the session's give-up time: the walk ends as after a stop.
  bool server_lost = false;
  SyncLedger sync;
  // The server path of the item the walk is handing on, when its folder's server listing
  // shows it with the other type (a file where a folder is now, or the reverse): the only
  // evidence on which the server object may be deleted to make way. Empty otherwise.
  std::string swap_evidence;
  Encoders encoders;
  // Carries the open request's security record, then each block's data messages.
  uint8_t send_buffer[ENGINE_SEND_BUFFER] = {};
};

// Sends a request with `send`; when it answers ERR_ACCESS or ERR_SCKREAD, takes the user
// lock again (waiting 60 s while the lock is held elsewhere, 12 waits in all) and sends it
// again. Answers the request's code, or the lock's when the lock cannot be had.
[[nodiscard]] int send_with_lock(JobContext* job, const std::function<int()>& send);
// KFS_MKDIR with the user lock re-taken on ERR_ACCESS / ERR_SCKREAD (12 waits at most).
[[nodiscard]] int mkdir_retry(JobContext* job, uint8_t flags, const char* path);
// KFS_FILE_WOPEN with the same lock handling.
[[nodiscard]] int file_wopen_retry(JobContext* job, ckfs_wopen_request* request);

// Whether the walk must end now: the user stopped the backup, or the server is lost.
bool job_ending(const JobContext* job);
// Notes, once, that the server is lost: one line naming it and the error.
void check_server_lost(JobContext* job);

// Walks one local folder (Windows form) mirrored at `remote` on the server.
void do_dir(JobContext* job, const char* local, const char* remote, const ScheduleFilter* filter);
// Drops a server object that is gone locally, under a Sync= folder: logs it, then
// deletes it as a file (flags 0) and as a folder with its contents (flags 1).
void sync_delete(JobContext* job, const char* remote);
// Deletes the server object at `remote` so that the item of the other type can take its
// place, but only on the evidence of its folder's listing (swap_evidence); false, with
// nothing deleted, without it.
bool sync_make_way(JobContext* job, const char* remote);
// Ends the Sync= work of one source item: the deletions its walk left pending are made,
// or all held back (logged and reported) when they exceed the run's share of what the
// server listed under it, or the user stopped the run.
void sync_end_source(JobContext* job, const char* item);
// The share (percent) of a source's listed server entries that one run may delete.
uint32_t sync_delete_percent();
// Why a file is not sent, in the order the transfer asks: the folder's server listing shows
// it unchanged, the exclusions ignore it, its filter leaves it out, the change index calls it
// current. The walk's planner asks the same question, so it plans only what will be sent.
enum class FileSkip { kNone, kUnchangedOnServer, kIgnored, kFiltered, kCurrent };
FileSkip file_skip(JobContext* job, const char* local, const ItemStatus& status,
                   const ScheduleFilter* filter, bool listed_unchanged);
// Backs up one regular file.
void do_file(JobContext* job, const char* local, const char* remote, const ItemStatus* status,
             const ScheduleFilter* filter);

// Calls backed up (log line, report, index, stop size) the files whose close a later reply
// confirmed; a file whose connection broke first waits in lost_closes to be sent again.
// Only a reply confirms: a release that failed vouches for nothing. `last`: the session
// ends, nothing can be sent again, and every close not confirmed fails its file.
void settle_closes(JobContext* job, bool last = false);
// Sends again the files whose close was lost (once each); they fail when the job is ending.
void resend_lost(JobContext* job);

// Starts the run's encoders with the transfer: VARNO_WORKERS threads (the machine's cores
// unless set; one means the backup thread alone), and the session's reply-wait hook that
// encodes the backup thread's own small blocks while a reply is on its way.
void start_encoders(JobContext* job);
// True when the pool can take the first block of one more file the walk has not reached.
bool can_plan_ahead(const JobContext* job);
// Hands the pool the first block of a file that the walk will send soon and that fits one
// block of the last open's size; do_file takes it when it gets there.
void plan_file_ahead(JobContext* job, const char* local, uint64_t size);
// The pool's number for the file that do_file starts: the one planned ahead for `local`
// (files planned before it are forgotten), else a new one.
uint64_t take_file_number(JobContext* job, const char* local);

// Status of a local item through the platform layer; -1 with errno on failure.
int engine_stat(Env* env, const char* local, ItemStatus* status);
// Logs a failed status read of `item` and adds it to the report's failures.
void report_stat_failure(const char* item, int error);

// Waits of the lock retries: 60 s (and 5 s for the job's first lock) unless the
// VARNO_LOCK_WAIT_MS knob shortens them for tests.
uint32_t engine_lock_wait_ms(uint32_t production_ms);
