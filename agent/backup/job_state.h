// Job-wide state the engine shares across its stages: the stop flag. Set by the walk and
// the per-file backup when they see a stop request; never cleared, so once the user
// stopped a run every later job of the same process stops at its first check.
// Backup thread only.
#pragma once

bool user_terminated();
void set_user_terminated();
