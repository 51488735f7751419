#include "platform/file_system.h"

#include <windows.h>

#include <io.h>

#include <cerrno>
#include <climits>

#include "platform/win32/crt_file.h"
#include "platform/win32/win_error.h"

namespace {

bool path_text(std::string_view path, char* out, size_t capacity) {
  if (path.empty()) {
    fail_errno(ENOENT, ERROR_PATH_NOT_FOUND);
    return false;
  }
  return win32_path(path.data(), path.size(), out, static_cast<unsigned long>(capacity));
}

template <typename Call>
int by_path(std::string_view path, Call call) {
  char p[MAX_PATH * 4];
  if (!path_text(path, p, sizeof p)) return -1;
  return call(p) ? 0 : fail_win32();
}

class Win32FileSystem final : public FileSystem {
 public:
  int open_file(std::string_view path, unsigned flags) override {
    DWORD access = 0;
    if (flags & PLAT_OPEN_READ) access |= GENERIC_READ;
    if (flags & PLAT_OPEN_WRITE) access |= GENERIC_WRITE;
    if (access == 0) access = GENERIC_READ;
    bool create = (flags & PLAT_OPEN_CREATE) != 0;
    bool truncate = (flags & PLAT_OPEN_TRUNCATE) != 0;
    DWORD disposition = create ? (truncate ? CREATE_ALWAYS : OPEN_ALWAYS)
                               : (truncate ? TRUNCATE_EXISTING : OPEN_EXISTING);
    // Shared as POSIX files are: others may read, write, rename and delete meanwhile.
    return crt_open(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    disposition, false);
  }

  int close_file(int fd) override {
    if (_close(fd) != 0) return fail_errno(EBADF, ERROR_INVALID_HANDLE);
    return 0;
  }

  ssize_t read_at(int fd, void* buffer, size_t length, uint64_t offset) override {
    HANDLE h = crt_handle(fd);
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

  int64_t file_size(int fd) override {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(crt_handle(fd), &size)) return fail_win32();
    return size.QuadPart;
  }

  int sync(int fd) override { return FlushFileBuffers(crt_handle(fd)) ? 0 : fail_win32(); }

  int rename_file(std::string_view from, std::string_view to) override {
    char a[MAX_PATH * 4], b[MAX_PATH * 4];
    if (!path_text(from, a, sizeof a) || !path_text(to, b, sizeof b)) return -1;
    if (!MoveFileExA(a, b, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return fail_win32();
    }
    return 0;
  }

  int delete_file(std::string_view path) override {
    return by_path(path, [](const char* p) { return DeleteFileA(p) != 0; });
  }

  int make_dir(std::string_view path) override {
    return by_path(path, [](const char* p) { return CreateDirectoryA(p, nullptr) != 0; });
  }

  int remove_dir(std::string_view path) override {
    return by_path(path, [](const char* p) { return RemoveDirectoryA(p) != 0; });
  }

  int file_exists(std::string_view path) override {
    char p[MAX_PATH * 4];
    if (!path_text(path, p, sizeof p)) return errno == ENOENT ? 0 : -1;
    DWORD attributes = GetFileAttributesA(p);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      DWORD code = GetLastError();
      if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return 0;
      return fail_win32(code);
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : 1;
  }

  int dir_usable(std::string_view path) override {
    char p[MAX_PATH * 4];
    if (!path_text(path, p, sizeof p)) return 0;
    DWORD attributes = GetFileAttributesA(p);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
  }

  // NTFS journals its folder entries; a folder has no contents of its own to flush.
  int sync_dir(std::string_view path) override { return dir_usable(path) ? 0 : fail_win32(); }
};

}  // namespace

FileSystem* plat_file_system() {
  static Win32FileSystem instance;
  return &instance;
}
