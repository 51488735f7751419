// File-system objects by Windows-form path: directory search in the style of
// FindFirstFile/FindNextFile, status queries, read-only and exclusive opens, and the full
// path of a directory. Handles are RAII; all functions are thread-safe. Failures answer
// null/-1 with errno set and the Windows error number recorded (platform/error.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// Windows file attribute bits the search reports.
enum : uint32_t {
  PLAT_ATTR_READONLY = 0x01,
  PLAT_ATTR_DIRECTORY = 0x10,
  PLAT_ATTR_NORMAL = 0x80,
  PLAT_ATTR_REPARSE_POINT = 0x400,
};

// Windows errors the search reports besides those of platform/error.h.
enum : uint32_t {
  PLAT_ERROR_NO_MORE_FILES = 18,
  PLAT_ERROR_FILE_EXISTS = 80,
  PLAT_ERROR_DIRECTORY = 267,
};

// One listed entry, as WIN32_FIND_DATA carries it. Times are FILETIME values
// (100-nanosecond intervals since 1601-01-01 UTC).
struct PlatFindData {
  uint32_t attributes;
  uint64_t creation_time;
  uint64_t last_access_time;
  uint64_t last_write_time;
  uint32_t size_high;
  uint32_t size_low;
  char name[260];
};

struct PlatFind;  // an open listing
void plat_find_close(PlatFind* find);
struct PlatFindCloser {
  void operator()(PlatFind* find) const { plat_find_close(find); }
};
using PlatFindHandle = std::unique_ptr<PlatFind, PlatFindCloser>;

// Opens the listing of the folder named by `pattern` less its last component, which is
// "*" (every entry) or a name pattern matched without regard to ASCII case. The first
// entry goes to `data`: for "*" that is "." with the folder's own attributes, then "..",
// then the folder's entries in the order the system keeps them.
//
// Reparse points carry PLAT_ATTR_REPARSE_POINT and are never opened or followed: symbolic
// links, folders on another mount than their parent, and every entry that is neither a
// regular file nor a folder (FIFOs, sockets, devices). Names holding a backslash are
// passed over entirely: no Windows-form path can name them.
//
// Null on failure, with last error PATH_NOT_FOUND, ACCESS_DENIED, FILE_NOT_FOUND (no
// entry matches) or another translated error.
PlatFindHandle plat_find_first(std::string_view pattern, PlatFindData* data);

// The next entry; -1 at the end (errno ENOENT, last error NO_MORE_FILES) or on failure.
int plat_find_next(PlatFind* find, PlatFindData* data);

struct PlatFileStatus {
  bool is_directory;
  bool is_regular;
  uint64_t size;
  int64_t modification_time;  // seconds since 1970 UTC
};

// Status of the object a path names, following symbolic links.
int plat_file_status(std::string_view path, PlatFileStatus* status);

// Opens read-only; never blocks on a FIFO. Answers a descriptor (close-on-exec).
int plat_open_read(std::string_view path);

// Creates a new file for writing with the permission bits `mode`; fails with EEXIST (last
// error FILE_EXISTS) when anything, even a dangling link, already has the name.
int plat_create_new(std::string_view path, unsigned mode);

// Creates a new file holding exactly `bytes`, with the permission bits `mode`. The file
// appears under its name only when it is complete, so a reader never sees it half
// written. Fails with EEXIST (last error FILE_EXISTS) when the name is taken; an existing
// file is never touched.
int plat_publish_new_file(std::string_view path, unsigned mode, const void* bytes, size_t length);

int plat_close(int fd);

// The Windows-form absolute path of an existing folder with every link resolved, as the
// current directory would read after changing to it; the process's own current
// directory is never changed. Fails with ENOTDIR for something that is not a folder.
int plat_full_directory_path(std::string_view path, std::string* full);
