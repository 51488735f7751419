// Pre- and post-backup commands: run hidden, waited for in one-second slices that keep
// the watchdog satisfied, judged, logged with fixed texts, and (when fatal) reported.
// Backup thread only.
#pragma once

#include "platform/env.h"

enum CommandKind { COMMAND_PRE_BACKUP, COMMAND_POST_BACKUP };

// Answers true when the job goes on. For the pre-backup kind, false means the job stops
// before its sizing pass; for the post-backup kind, false only keeps the job's closing
// line from being written.
bool run_backup_command(CommandKind kind, const char* command_line, Env* env);
