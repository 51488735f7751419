// The Win32 Env: Windows-form paths are the system's own (real drive letters, no drive
// map). They reach the wide API converted from the ANSI code page, long ones in extended
// form (platform/win32/wide_path.h), so every path the layer is given can be named, and
// listed names come back in the code page or as failures, never as another name. Files are
// opened with CreateFile (never inheritable, with the sharing each call needs) and handed
// out as C runtime descriptors or streams in binary mode: the layer above writes CR LF
// itself where text mode would.
#include "platform/env.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "platform/error.h"
#include "platform/win32/wide_path.h"
#include "platform/win32/win32_env.h"
#include "platform/win32/win_error.h"

namespace {

constexpr int64_t kFiletimeUnixEpoch = 116444736000000000ll;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

uint64_t filetime(const FILETIME& t) {
  return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

HANDLE fd_handle(int fd) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

// A descriptor for `path` (or -1 with errno): access, sharing and disposition as
// CreateFile takes them; `append` makes every write go to the end.
int crt_open(std::string_view path, DWORD access, DWORD share, DWORD disposition, bool append) {
  WidePath p(path);
  if (!p.ok()) return -1;
  HANDLE h =
      CreateFileW(p.get(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail_win32();
  int flags = _O_BINARY | _O_NOINHERIT;
  if ((access & GENERIC_WRITE) == 0) flags |= _O_RDONLY;
  if (append) flags |= _O_APPEND;
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
  if (fd == -1) {
    CloseHandle(h);
    return fail_errno(EMFILE, ERROR_TOO_MANY_OPEN_FILES);
  }
  return fd;
}

// A stream for an fopen mode ("r", "w+", "ab", ...) with the given sharing; null with
// errno (EINVAL for a mode fopen would refuse).
FILE* crt_fopen(std::string_view path, const char* mode, DWORD share) {
  if (mode == nullptr || (mode[0] != 'r' && mode[0] != 'w' && mode[0] != 'a')) {
    fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  bool plus = strchr(mode, '+') != nullptr;
  DWORD access = GENERIC_WRITE | (plus ? GENERIC_READ : 0);
  DWORD disposition = mode[0] == 'w' ? CREATE_ALWAYS : OPEN_ALWAYS;
  if (mode[0] == 'r') {
    access = GENERIC_READ | (plus ? GENERIC_WRITE : 0);
    disposition = OPEN_EXISTING;
  }
  int fd = crt_open(path, access, share, disposition, mode[0] == 'a');
  if (fd == -1) return nullptr;
  // The same letters, always binary.
  char stream_mode[4] = {mode[0], 0, 0, 0};
  size_t at = 1;
  if (plus) stream_mode[at++] = '+';
  stream_mode[at] = 'b';
  FILE* f = _fdopen(fd, stream_mode);
  if (f == nullptr) {
    int saved = errno;
    _close(fd);
    errno = saved;
  }
  return f;
}

DWORD disposition_of(unsigned flags) {
  bool create = (flags & PLAT_OPEN_CREATE) != 0;
  bool truncate = (flags & PLAT_OPEN_TRUNCATE) != 0;
  return create ? (truncate ? CREATE_ALWAYS : OPEN_ALWAYS)
                : (truncate ? TRUNCATE_EXISTING : OPEN_EXISTING);
}

DWORD access_of(unsigned flags) {
  DWORD access = 0;
  if (flags & PLAT_OPEN_READ) access |= GENERIC_READ;
  if (flags & PLAT_OPEN_WRITE) access |= GENERIC_WRITE;
  return access == 0 ? GENERIC_READ : access;
}

// Opens what a path names, following links, for its attributes only (folders too).
HANDLE open_for_attributes(const wchar_t* path) {
  return CreateFileW(path, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool write_handle_fully(HANDLE h, const void* bytes, size_t length) {
  const char* p = static_cast<const char*>(bytes);
  while (length > 0) {
    DWORD chunk = length > (1u << 30) ? (1u << 30) : static_cast<DWORD>(length);
    DWORD written = 0;
    if (!WriteFile(h, p, chunk, &written, nullptr) || written == 0) return false;
    p += written;
    length -= written;
  }
  return true;
}

template <typename Call>
int by_path(std::string_view path, Call call) {
  WidePath p(path);
  if (!p.ok()) return -1;
  return call(p.get()) ? 0 : fail_win32();
}

void fill(const WIN32_FIND_DATAW& found, PlatFindData* data) {
  memset(data, 0, sizeof *data);
  static_assert(sizeof PlatFindData::name == sizeof WIN32_FIND_DATAW::cFileName / sizeof(wchar_t));
  int unnamed = win32_narrow_name(found.cFileName, data->name, sizeof data->name);
  if (unnamed != 0) {
    // Listed under a stand-in that names no file, with why it has no name of its own: the
    // walk reports it, as it reports an entry whose status cannot be read.
    data->status_error = unnamed;
    constexpr DWORD kType = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    data->attributes = (found.dwFileAttributes & kType) != 0 ? found.dwFileAttributes & kType
                                                             : FILE_ATTRIBUTE_NORMAL;
    return;
  }
  data->attributes = found.dwFileAttributes;
  data->creation_time = filetime(found.ftCreationTime);
  data->last_access_time = filetime(found.ftLastAccessTime);
  data->last_write_time = filetime(found.ftLastWriteTime);
  data->size_high = found.nFileSizeHigh;
  data->size_low = found.nFileSizeLow;
}

std::atomic<unsigned> g_publish_counter{0};

}  // namespace

struct PlatFind {
  HANDLE handle = INVALID_HANDLE_VALUE;
  ~PlatFind() {
    if (handle != INVALID_HANDLE_VALUE) FindClose(handle);
  }
};

void plat_find_close(PlatFind* find) {
  delete find;
}

namespace {

class Win32Env final : public Env {
 public:
  int open_file(std::string_view path, unsigned flags) override {
    // Shared as POSIX files are: others may read, write, rename and delete meanwhile.
    return crt_open(path, access_of(flags), kShareAll, disposition_of(flags), false);
  }

  int open_read(std::string_view path) override {
    return crt_open(path, GENERIC_READ, kShareAll, OPEN_EXISTING, false);
  }

  int create_new(std::string_view path, unsigned mode) override {
    int fd = crt_open(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW, false);
    if (fd == -1) return -1;
    // Only the owner's write bit has a Windows counterpart: the read-only attribute.
    if ((mode & 0200) == 0) {
      WidePath p(path);
      if (p.ok()) SetFileAttributesW(p.get(), FILE_ATTRIBUTE_READONLY);
    }
    return fd;
  }

  int open_exclusive(std::string_view path, unsigned flags) override {
    // No sharing: a held file fails with a sharing violation (EACCES) before anything
    // happens to it; truncation follows only once the file is ours.
    int fd =
        crt_open(path, access_of(flags), 0, disposition_of(flags & ~PLAT_OPEN_TRUNCATE), false);
    if (fd == -1) return -1;
    if ((flags & PLAT_OPEN_TRUNCATE) != 0 && !SetEndOfFile(fd_handle(fd))) {
      DWORD code = GetLastError();
      _close(fd);
      return fail_win32(code);
    }
    return fd;
  }

  int close_file(int fd) override {
    if (_close(fd) != 0) return fail_errno(EBADF, ERROR_INVALID_HANDLE);
    return 0;
  }

  ssize_t read(int fd, void* buffer, size_t length) override {
    unsigned n = length > INT_MAX ? INT_MAX : static_cast<unsigned>(length);
    return _read(fd, buffer, n);
  }

  ssize_t read_at(int fd, void* buffer, size_t length, uint64_t offset) override {
    HANDLE h = fd_handle(fd);
    if (h == INVALID_HANDLE_VALUE) return fail_errno(EBADF, ERROR_INVALID_HANDLE);
    // A positioned read on a synchronous handle moves the file pointer; pread does not,
    // so the pointer is put back.
    LARGE_INTEGER zero{}, position{};
    if (!SetFilePointerEx(h, zero, &position, FILE_CURRENT)) return fail_win32();
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD n = 0;
    DWORD chunk = length > (1u << 30) ? (1u << 30) : static_cast<DWORD>(length);
    BOOL ok = ReadFile(h, buffer, chunk, &n, &at);
    DWORD code = GetLastError();
    SetFilePointerEx(h, position, nullptr, FILE_BEGIN);
    if (!ok) return code == ERROR_HANDLE_EOF ? 0 : fail_win32(code);
    return static_cast<ssize_t>(n);
  }

  ssize_t write(int fd, const void* buffer, size_t length) override {
    unsigned n = length > INT_MAX ? INT_MAX : static_cast<unsigned>(length);
    return _write(fd, buffer, n);
  }

  int seek(int fd, int64_t offset) override {
    if (offset < 0) return fail_errno(EINVAL, ERROR_NEGATIVE_SEEK);
    if (GetFileType(fd_handle(fd)) != FILE_TYPE_DISK)
      return fail_errno(ESPIPE, ERROR_SEEK_ON_DEVICE);
    return _lseeki64(fd, offset, SEEK_SET) == -1 ? -1 : 0;
  }

  int64_t file_size(int fd) override {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(fd_handle(fd), &size)) return fail_win32();
    return size.QuadPart;
  }

  int sync(int fd) override { return FlushFileBuffers(fd_handle(fd)) ? 0 : fail_win32(); }

  int publish_new_file(std::string_view path, unsigned mode, const void* bytes,
                       size_t length) override {
    WidePath p(path);
    if (!p.ok()) return -1;
    // Written under a private name beside the target, then moved to the name; the move
    // refuses to replace, so an existing file is never touched and nobody sees half a file.
    WidePath temporary(std::string(path) + "." + std::to_string(GetCurrentProcessId()) + "." +
                       std::to_string(g_publish_counter.fetch_add(1)) + ".tmp");
    if (!temporary.ok()) return -1;
    HANDLE h = CreateFileW(temporary.get(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail_win32();
    bool ok = write_handle_fully(h, bytes, length) && FlushFileBuffers(h);
    DWORD code = GetLastError();
    CloseHandle(h);
    if (ok && !MoveFileExW(temporary.get(), p.get(), MOVEFILE_WRITE_THROUGH)) {
      ok = false;
      code = GetLastError();
      if (code == ERROR_ALREADY_EXISTS) code = ERROR_FILE_EXISTS;
    }
    if (!ok) {
      DeleteFileW(temporary.get());
      return fail_win32(code);
    }
    if ((mode & 0200) == 0) SetFileAttributesW(p.get(), FILE_ATTRIBUTE_READONLY);
    return 0;
  }

  FILE* open_stream(std::string_view path, const char* mode) override {
    // As the runtime's fopen shares: others may read and write meanwhile.
    return crt_fopen(path, mode, FILE_SHARE_READ | FILE_SHARE_WRITE);
  }

  int rename_file(std::string_view from, std::string_view to) override {
    WidePath a(from);
    if (!a.ok()) return -1;
    WidePath b(to);
    if (!b.ok()) return -1;
    if (!MoveFileExW(a.get(), b.get(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return fail_win32();
    }
    return 0;
  }

  int delete_file(std::string_view path) override {
    return by_path(path, [](const wchar_t* p) { return DeleteFileW(p) != 0; });
  }

  int make_dir(std::string_view path) override {
    return by_path(path, [](const wchar_t* p) { return CreateDirectoryW(p, nullptr) != 0; });
  }

  int remove_dir(std::string_view path) override {
    return by_path(path, [](const wchar_t* p) { return RemoveDirectoryW(p) != 0; });
  }

  int file_exists(std::string_view path) override {
    WidePath p(path);
    if (!p.ok()) return errno == ENOENT ? 0 : -1;
    DWORD attributes = GetFileAttributesW(p.get());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      DWORD code = GetLastError();
      if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return 0;
      return fail_win32(code);
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : 1;
  }

  int dir_usable(std::string_view path) override {
    WidePath p(path);
    if (!p.ok()) return 0;
    DWORD attributes = GetFileAttributesW(p.get());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
  }

  // NTFS journals its folder entries; a folder has no contents of its own to flush.
  int sync_dir(std::string_view path) override {
    return dir_usable(path) ? 0 : fail_errno(ENOENT, ERROR_PATH_NOT_FOUND);
  }

  int file_status(std::string_view path, PlatFileStatus* status) override {
    if (status == nullptr) return fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
    WidePath p(path);
    if (!p.ok()) return -1;
    HANDLE h = open_for_attributes(p.get());
    if (h == INVALID_HANDLE_VALUE) return fail_win32();
    BY_HANDLE_FILE_INFORMATION info{};
    BOOL ok = GetFileInformationByHandle(h, &info);
    DWORD code = GetLastError();
    CloseHandle(h);
    if (!ok) return fail_win32(code);
    bool directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    status->is_directory = directory;
    status->is_regular = !directory;
    status->size =
        directory ? 0 : (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    int64_t since = static_cast<int64_t>(filetime(info.ftLastWriteTime)) - kFiletimeUnixEpoch;
    status->modification_time = since >= 0 ? since / 10000000 : -((-since + 9999999) / 10000000);
    return 0;
  }

  int full_directory_path(std::string_view path, std::string* full) override {
    if (full == nullptr) return fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
    WidePath p(path);
    if (!p.ok()) return -1;
    HANDLE h = open_for_attributes(p.get());
    if (h == INVALID_HANDLE_VALUE) return fail_win32();
    BY_HANDLE_FILE_INFORMATION info{};
    BOOL ok = GetFileInformationByHandle(h, &info);
    std::wstring resolved(ok ? GetFinalPathNameByHandleW(h, nullptr, 0, FILE_NAME_NORMALIZED) : 0,
                          L'\0');
    DWORD n = resolved.empty() ? 0
                               : GetFinalPathNameByHandleW(h, resolved.data(),
                                                           static_cast<DWORD>(resolved.size()),
                                                           FILE_NAME_NORMALIZED);
    DWORD code = GetLastError();
    CloseHandle(h);
    if (!ok) return fail_win32(code);
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      return fail_errno(ENOTDIR, PLAT_ERROR_DIRECTORY);
    }
    if (n == 0 || n >= resolved.size()) {
      return fail_win32(n == 0 ? code : static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    }
    resolved.resize(n);
    // "\\?\C:\x" is "C:\x"; "\\?\UNC\server\share" is "\\server\share".
    std::wstring_view view = resolved;
    if (view.rfind(L"\\\\?\\UNC\\", 0) == 0) {
      resolved = L"\\\\" + resolved.substr(8);
    } else if (view.rfind(L"\\\\?\\", 0) == 0) {
      resolved = resolved.substr(4);
    }
    std::string text;
    if (!win32_narrow_path(resolved, &text)) return -1;
    *full = text;
    return 0;
  }

  PlatFindHandle find_first(std::string_view pattern, PlatFindData* data) override {
    if (data == nullptr) {
      fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    WidePath p(pattern);
    if (!p.ok()) return nullptr;
    WIN32_FIND_DATAW found{};
    HANDLE h = FindFirstFileW(p.get(), &found);
    if (h == INVALID_HANDLE_VALUE) {
      fail_win32();
      return nullptr;
    }
    auto find = PlatFindHandle(new PlatFind);
    find->handle = h;
    fill(found, data);
    return find;
  }

  int find_next(PlatFind* find, PlatFindData* data) override {
    if (find == nullptr || data == nullptr) return fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
    WIN32_FIND_DATAW found{};
    if (!FindNextFileW(find->handle, &found)) return fail_win32();
    fill(found, data);
    return 0;
  }

  LocalTime local_time() override {
    SYSTEMTIME t{};
    GetLocalTime(&t);
    return LocalTime{t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds};
  }

  int64_t unix_time() override {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    return (static_cast<int64_t>(filetime(now)) - kFiletimeUnixEpoch) / 10000000;
  }

  uint64_t tick_ms() override { return GetTickCount64(); }

  void sleep_ms(uint32_t ms) override { Sleep(ms); }

  int process_start(const char* command_line, ChildProcess* child) override {
    return win32_process_start(command_line, child);
  }

  PlatWaitResult process_wait(ChildProcess& child, uint32_t timeout_ms) override {
    return win32_process_wait(child, timeout_ms);
  }

  int process_exit_code(const ChildProcess& child, uint32_t* code) override {
    return win32_process_exit_code(child, code);
  }

  int process_terminate(ChildProcess& child) override { return win32_process_terminate(child); }
};

}  // namespace

Env* plat_system_env() {
  static Win32Env instance;
  return &instance;
}
