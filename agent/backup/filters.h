// Selection rules of the job in progress: excluded sources (XSrc=), mirrored folders
// (Sync=), filter folders and their patterns (filter=), and the server folders created
// on demand below "/Today/" for filtered files. Backup thread only.
#pragma once

#include "agent/backup/settings.h"

struct JobContext;

// 0 when `entry` is not a case-insensitive prefix of `path`; 2 when they are equal; 1 when
// `entry` is a bare drive ("X:") or the character of `path` after it is a backslash.
int path_prefix_match(const char* entry, const char* path);

bool is_excluded_source(const char* path);
bool is_sync_path(const char* path);
bool is_filter_folder(const char* path);

// Case-insensitive; "*" matches any run of characters, every other character itself
// ("?" included).
bool wildcard_match(const char* name, const char* pattern);

// True when the filter leaves the file out of the backup.
bool filter_excludes(const ScheduleFilter* filter, const char* local_path);

// Creates the folders of `remote_file_path` below its "/Today/" part that this job has not
// created yet. Answers 0, -1 (no "/Today/" part) or -2 (a folder could not be created).
int make_today_folders(JobContext* job, const char* remote_file_path);
// Forgets the job's list of created folders.
void free_today_folders(JobContext* job);
