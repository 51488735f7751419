// The job's outcome file: the schedule path followed by ".outcome", beside the job log.
// It says how the last job of that schedule ended, with the report's counts, in one place
// an operator's tool reads instead of the logs. Written when a job starts (state=running)
// and when it ends; a reader finds the old file or the new one, never a mix. Backup thread
// writes; any process reads. The format is in docs/operating.md.
#pragma once

#include <cstdint>
#include <string>

#include "platform/env.h"

struct OutcomeRecord {
  std::string state;  // "running", "complete", "failed" or "stopped"
  uint64_t sent = 0;
  uint64_t up_to_date = 0;
  uint64_t failed = 0;
  uint64_t deleted = 0;
  uint64_t requested = 0;
  std::string reason;     // why a job failed or stopped, or what failed after a complete one
  std::string log_error;  // the system's text for what cost the job log lines; empty: none
};

// "<schedule_path>.outcome".
std::string outcome_path(const char* schedule_path);

// The file's text (key=value lines); line ends inside values become blanks.
std::string outcome_text(const OutcomeRecord& record);

// Reads `text` back; unknown keys and blank lines are passed over. False when the first
// line is not the file's header or a count is not a decimal number.
bool outcome_parse(const std::string& text, OutcomeRecord* record);

// Replaces the outcome file of `schedule_path` by `record` through a temporary and a
// rename. When the temporary cannot be written (a full disk), the existing file is
// rewritten in place instead: its blocks are already there. Answers 0, or -1 with errno.
int outcome_write(Env* env, const char* schedule_path, const OutcomeRecord& record);
