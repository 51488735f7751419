// procjob: the entry of one job. Opens the job log, enables the backup privileges,
// decrypts and parses the schedule into the job settings, prepares the report, runs the
// backup and frees the settings. Backup thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/env.h"

// Return codes, one per refusal (the job log says which).
enum ProcjobCode : int {
  PROCJOB_OK = 0,
  PROCJOB_OPEN_FAILED = 2266,
  PROCJOB_CRYPTO_FAILED = 2274,
  PROCJOB_DECRYPT_FAILED = 2283,
  PROCJOB_BAD_HEADER = 2292,
  PROCJOB_EMAIL_TWICE = 2447,
  PROCJOB_EMAIL_NO_MEMORY = 2482,
  PROCJOB_OPTION_TWICE = 2506,
  PROCJOB_OPTION_NO_MEMORY = 2517,
  PROCJOB_OPTION_MISSING = 2589,
  PROCJOB_BAD_KEY = 2616,
};

// Runs the job of `schedule_path`; every file, clock and process call goes through `env`.
int procjob(const char* schedule_path, Env* env);

// Enables (or disables) a privilege by its Windows name. Answers 0 or 1627.
int enable_privilege(const char* name, int enable);

// The schedule id read from a schedule path: the eight characters right before the last
// "." of the file name, as hexadecimal; 0 when they are not eight hex digits.
int64_t schedule_id_from_path(const char* schedule_path);

// Parses a filter= value ("folder|flags|pattern;pattern...") and appends the record;
// a value that does not parse is dropped.
void schedule_parse_filter(const char* value);

// Parses a schedule's plain text (header line first) into fresh settings, exactly as
// procjob parses the decrypted file. Answers 0 or the ProcjobCode that refused it (the
// settings are then freed). For tests and fuzzing; logs to the job log when one is open.
int schedule_parse_plain(const char* text, size_t length);

// After parsing: autoremove= becomes "0", mirror= "1" and the fatal flags "0" unless
// given; then every required option must have been seen. Answers 0, or 2589 (the
// settings are then freed).
int schedule_settle();
