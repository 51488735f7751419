// The exclusions no schedule can override: paging and hibernation files, recycle bins,
// System Volume Information, shell shortcut files and the folder shortcuts kept in the
// user profiles. Thread-safe: the folder-shortcut list is built once, under a once-only
// guard, on first use and never changes afterwards.
#pragma once

#include "util/list.h"

// True when the absolute Windows-form `path` must never be backed up; `is_directory`
// selects the name tables that apply. A path without a backslash is always excluded
// (and says so on the debugger channel).
[[nodiscard]] bool is_ignore_path(const char* path, bool is_directory);

// The folder-shortcut list, built on the first call (by scanning desktop.ini files under
// the profile root); kept for the life of the process. Read it by index
// (list_count/list_item); its cursor is shared by every reader. Never free it.
[[nodiscard]] List* get_ignore_paths();
