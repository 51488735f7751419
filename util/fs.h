// File-system services shared by the agent and the bridge: the volume list, cluster sizes
// and sizes on disk, the recursive directory walker, the shell-pattern matcher and path
// helpers. Paths are Windows-form narrow strings of at most 4095 characters.
//
// Thread safety: nothing here locks. The cluster-size cache is atomic per drive letter;
// a walk owns its path buffer and entry, so walks on different threads do not meet, but
// a callback must copy a path it keeps. make_absolute_path never changes the process's
// current directory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/env.h"
#include "util/list.h"

constexpr size_t UTIL_PATH_BUFFER = 4096;

// Volume type codes.
enum : int32_t {
  VOLUME_UNKNOWN = 0,
  VOLUME_FLOPPY = 1,
  VOLUME_FIXED = 2,
  VOLUME_CDROM = 3,
  VOLUME_REMOVABLE = 4,
  VOLUME_RAMDISK = 5,
  VOLUME_NETWORK = 6,
};

// One volume; the items of the list get_volumes answers (read them with
// reinterpret_cast<const VolumeRecord*>(list_item(list, i))).
struct VolumeRecord {
  int32_t type;
  char label[64];
  char root[128];
  char serial[64];  // "%04X-%04X"
  char file_system[16];
};

// The drive roots in the system's order; a floppy root (A:, B:) is listed with type 1
// and never queried. Never null; the caller frees it with list_free.
[[nodiscard]] List* get_volumes();

// Bytes per cluster of the volume holding `path`; 0 when unknown. Drive-letter answers
// are cached for the process (a failed query is not).
[[nodiscard]] int get_cluster_size(const char* path);

// `size` rounded up to a multiple of `cluster`; `size` itself when it is 0 or the
// cluster is not positive.
[[nodiscard]] uint64_t round_up_to_cluster(uint64_t size, int cluster);

// Whole seconds since 1970-01-01 UTC of a FILETIME (100 ns since 1601).
[[nodiscard]] int64_t filetime_to_unix_seconds(uint64_t filetime);

// Walker flags.
enum : int {
  WALK_NOCASE = 1,
  WALK_RECURSE = 2,
  WALK_DIRS_FIRST = 4,
  WALK_NO_IGNORE = 32,
};

// Callback results (and the walker's own).
enum : int {
  WALK_ERROR = 100,
  WALK_STOP = 101,
  WALK_CONTINUE = 102,
  WALK_SKIP = 103,
};

// One reported entry; valid only during the callback.
struct walk_entry {
  const char* path;  // the walker's shared buffer
  int path_length;
  uint32_t mode;  // 0x4000 directory / 0x8000 other, | 0444 read-only or 0777
  int64_t mtime;  // seconds since 1970 UTC
  uint64_t size;  // 0 for directories
  uint64_t size_on_disk;
  int flags;  // bit 0: filled
};

using WalkCallback = int (*)(const walk_entry* entry, void* user_data);

struct walk_request {
  int flags;
  const char* pattern;  // null or empty: every name
  WalkCallback callback;
  void* user_data;
};

// Walks the folder `path` (see the flags and results above). Reparse points and names
// the exclusion test refuses (unless WALK_NO_IGNORE) are neither reported nor entered;
// folders that cannot be listed for lack of access are passed over. 0 when the walk
// ended or a callback stopped it; -1 with errno when the start cannot be made absolute,
// `request` is null, or a listing or callback failed (WALK_ERROR).
[[nodiscard]] int dir_walk(const char* path, const walk_request* request);

// POSIX fnmatch flags.
enum : int {
  MATCH_PATHNAME = 1,
  MATCH_NOESCAPE = 2,
  MATCH_PERIOD = 4,
  MATCH_LEADING_DIR = 8,
  MATCH_CASEFOLD = 16,
};

// 0 when `name` matches `pattern` under POSIX fnmatch rules, 1 otherwise. Case folding
// touches ASCII letters only; bytes from 128 up must match exactly.
[[nodiscard]] int shell_match(const char* pattern, const char* name, int flags);

// A path starting "X:\" or "\\" is copied as it is; any other must name an existing
// folder and becomes its full path (links resolved). `output` holds UTIL_PATH_BUFFER
// bytes. Answers `output`, or null with errno (ERANGE when the result does not fit).
[[nodiscard]] char* make_absolute_path(const char* path, char* output);

// The folder holding `path` (made absolute first, one trailing backslash ignored) into
// `output` (UTIL_PATH_BUFFER bytes): a drive root keeps its backslash, the parent of a
// drive root is "" (answer 0), a path with no backslash past its root comes back whole.
// Answers the length, 0 on failure.
[[nodiscard]] int parent_directory(char* output, const char* path);

// Opens the listing of a folder's contents ("path\*", runs of backslashes collapsed past
// a leading "X:\" or "\\"; "." lists the current directory). Null on failure, with the
// platform's last error set.
[[nodiscard]] PlatFindHandle find_first(const char* path, PlatFindData* data);
