// The job's report e-mail. One process-wide report lives through one job: the schedule
// starts it, the job run hands it the session and the totals, the walk and the per-file
// backup count outcomes, and the run ends it with success or failure, which delivers it
// to every recipient: sent through the server (success) or written to the encrypted mail
// queue file beside the schedule (failure, or a success the server did not take).
//
// Stages: 0 idle, 1 started, 2 session known, 3 transfer running, 4 broken. An operation
// called in the wrong stage sets 4, in which everything does nothing until the next job's
// report_start. Backup thread only.
#pragma once

#include <cstdint>
#include <string>

#include "platform/env.h"
#include "util/list.h"

struct ckfs_session;

enum ReportStage : int {
  REPORT_IDLE = 0,
  REPORT_STARTED = 1,
  REPORT_SESSION = 2,
  REPORT_TRANSFER = 3,
  REPORT_BROKEN = 4,
};

// Recipient flags: bit 0 HTML (else plain text), bit 1 only when files failed.
constexpr int REPORT_FLAG_HTML = 1;
constexpr int REPORT_FLAG_ONLY_ON_ERRORS = 2;

// `queue_path` is the queue file the schedule chose; `queue_stem` the name its series is
// made from (the schedule path), to which later recipients add ".eml" or "-1.eml" ..
// "-9.eml". `recipients` is copied (it may be null: no recipient). `key_digest` is the
// SHA-1 of the account key (20 bytes). The report reads its clock and templates and writes
// its queue files through `env` until the next report_start.
void report_start(const char* queue_path, const char* queue_stem, const char* job_name,
                  const List* recipients, int64_t schedule_id, uint32_t user_number,
                  const uint8_t key_digest[20], int default_flags, Env* env);
// The job's session, through which a success report is handed to the server. It belongs to
// the job: report_session_gone(session) drops it when the job's context ends.
void report_session(ckfs_session* session);
void report_session_gone(const ckfs_session* session);
void report_begin(uint64_t requested, uint64_t start_size, const char* destination);
void report_count_current();
void report_count_transferred();
// A server object a Sync= folder dropped because it is gone locally.
void report_count_deleted();
void report_fail_file_errno(const char* path, int errnum);
void report_fail_file_code(const char* path, int kfs_code);
// A failed item whose reason is no error code (such as a deletion held back).
void report_fail_item_text(const char* path, const char* text);
void report_success(uint64_t stop_size);
void report_failure_code(int kfs_code);
void report_failure_text(const char* text);

int report_stage();

// The report's counters as they stand: zero before the transfer began, and kept after the
// report was delivered until the next job's report_start. `failure_message` is the text a
// failure report carried (empty for a success report).
struct ReportCounts {
  uint64_t requested = 0;
  uint64_t transferred = 0;
  uint64_t up_to_date = 0;
  uint64_t failed = 0;
  uint64_t deleted = 0;
  std::string failure_message;
};
ReportCounts report_counts();

// Composes one message from `template_text` with the report's current values, as delivery
// does; exposed for tests and tools. `html` selects the HTML forms.
std::string report_compose_for_test(const std::string& template_text, bool html);
