// The settings of the job in progress: filled from its schedule file by procjob, read by
// the job run, the walk, the per-file backup, the filters and the report. Declared here,
// below the schedule parser, so the engine depends only on what it reads. Process-wide
// by design (one job at a time, backup thread only); empty between jobs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/list.h"

constexpr int SCHEDULE_FOLDER_MAX = 300;  // bytes of a filter folder, NUL included

// One filter= line: the folder it applies to and its patterns.
struct ScheduleFilter {
  int32_t reserved;  // always 0
  int32_t flags;     // bit 0: patterns exclude (else they are the only files kept);
                     // bit 1: no match defers to the nearest ancestor's filter
  char folder[SCHEDULE_FOLDER_MAX];
  char** patterns;  // owned
  int32_t pattern_count;
};

struct ScheduleOption {
  const char* key;
  bool required;
  char* value;  // owned; null until seen (or settled)
  size_t key_length;
  bool seen;
};

// Indexes into the option table, in its fixed order.
enum ScheduleOptionIndex {
  OPT_USER_ID,
  OPT_ACCOUNT_ID,
  OPT_SCHEDULE,
  OPT_DEST,
  OPT_NAME,
  OPT_ENABLED,
  OPT_ACCKEY,
  OPT_AUTOREMOVE,
  OPT_MIRROR,
  OPT_PRECMD,
  OPT_POSTCMD,
  OPT_FATALPRECMD,
  OPT_FATALPOSTCMD,
  OPT_COUNT
};

struct JobSettings {
  List* sources;     // Src= paths in file order
  List* filters;     // ScheduleFilter records, sorted by folder, descending, no case
  List* exclusions;  // XSrc= path prefixes
  List* sync_paths;  // Sync= path prefixes
  List* recipients;  // null until Email= or schedule_email=
  bool html;
  ScheduleOption options[OPT_COUNT];
  uint8_t account_key[32];  // secret: never logged, zeroed when the job ends
};

// The job in progress.
JobSettings& job_settings();

// Empty lists, no recipients, HTML on, the option table with nothing seen.
void job_settings_reset();
// Frees everything and zeroes the account key.
void job_settings_free();

// The option's value, or "" when it has none.
const char* job_option(ScheduleOptionIndex index);

// The filter record at `index` of the filter list, or null.
const ScheduleFilter* job_filter(int index);

// A schedule value as a number: leading blanks skipped, an optional sign, the leading
// digits; anything else reads as 0 (decimal_number of util/text.h).
long schedule_number(const char* text);
