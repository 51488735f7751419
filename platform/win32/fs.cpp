#include "platform/fs.h"

#include <windows.h>

#include <io.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/error.h"
#include "platform/win32/crt_file.h"
#include "platform/win32/win_error.h"

namespace {

constexpr int64_t kFiletimeUnixEpoch = 116444736000000000ll;

uint64_t filetime(const FILETIME& t) {
  return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

void fill(const WIN32_FIND_DATAA& found, PlatFindData* data) {
  memset(data, 0, sizeof *data);
  data->attributes = found.dwFileAttributes;
  data->creation_time = filetime(found.ftCreationTime);
  data->last_access_time = filetime(found.ftLastAccessTime);
  data->last_write_time = filetime(found.ftLastWriteTime);
  data->size_high = found.nFileSizeHigh;
  data->size_low = found.nFileSizeLow;
  static_assert(sizeof data->name == sizeof found.cFileName);
  memcpy(data->name, found.cFileName, sizeof data->name);
  data->name[sizeof data->name - 1] = '\0';
}

bool path_text(std::string_view path, char* out, size_t capacity) {
  if (path.empty()) {
    fail_errno(ENOENT, ERROR_PATH_NOT_FOUND);
    return false;
  }
  return win32_path(path.data(), path.size(), out, static_cast<unsigned long>(capacity));
}

// Opens what a path names, following links, for its attributes only (folders too).
HANDLE open_for_attributes(const char* path) {
  return CreateFileA(path, FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool write_fully(HANDLE h, const void* bytes, size_t length) {
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

PlatFindHandle plat_find_first(std::string_view pattern, PlatFindData* data) {
  char p[MAX_PATH * 4];
  if (data == nullptr) {
    fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (!path_text(pattern, p, sizeof p)) return nullptr;
  WIN32_FIND_DATAA found{};
  HANDLE h = FindFirstFileA(p, &found);
  if (h == INVALID_HANDLE_VALUE) {
    fail_win32();
    return nullptr;
  }
  auto find = PlatFindHandle(new PlatFind);
  find->handle = h;
  fill(found, data);
  return find;
}

int plat_find_next(PlatFind* find, PlatFindData* data) {
  if (find == nullptr || data == nullptr) return fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
  WIN32_FIND_DATAA found{};
  if (!FindNextFileA(find->handle, &found)) return fail_win32();
  fill(found, data);
  return 0;
}

int plat_file_status(std::string_view path, PlatFileStatus* status) {
  char p[MAX_PATH * 4];
  if (status == nullptr) return fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
  if (!path_text(path, p, sizeof p)) return -1;
  HANDLE h = open_for_attributes(p);
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

int plat_open_read(std::string_view path) {
  return crt_open(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  OPEN_EXISTING, false);
}

int plat_create_new(std::string_view path, unsigned mode) {
  int fd = crt_open(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW, false);
  if (fd == -1) return -1;
  // Only the owner's write bit has a Windows counterpart: the read-only attribute.
  if ((mode & 0200) == 0) {
    char p[MAX_PATH * 4];
    if (win32_path(path.data(), path.size(), p, sizeof p)) {
      SetFileAttributesA(p, FILE_ATTRIBUTE_READONLY);
    }
  }
  return fd;
}

int plat_publish_new_file(std::string_view path, unsigned mode, const void* bytes, size_t length) {
  char p[MAX_PATH * 4];
  if (!path_text(path, p, sizeof p)) return -1;
  // Written under a private name beside the target, then moved to the name; the move
  // refuses to replace, so an existing file is never touched and nobody sees half a file.
  char temporary[MAX_PATH * 4 + 64];
  snprintf(temporary, sizeof temporary, "%s.%lu.%u.tmp", p, GetCurrentProcessId(),
           g_publish_counter.fetch_add(1));
  HANDLE h =
      CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail_win32();
  bool ok = write_fully(h, bytes, length) && FlushFileBuffers(h);
  DWORD code = GetLastError();
  CloseHandle(h);
  if (ok && !MoveFileExA(temporary, p, MOVEFILE_WRITE_THROUGH)) {
    ok = false;
    code = GetLastError();
    if (code == ERROR_ALREADY_EXISTS) code = ERROR_FILE_EXISTS;
  }
  if (!ok) {
    DeleteFileA(temporary);
    return fail_win32(code);
  }
  if ((mode & 0200) == 0) SetFileAttributesA(p, FILE_ATTRIBUTE_READONLY);
  return 0;
}

int plat_close(int fd) {
  if (_close(fd) != 0) return fail_errno(errno, ERROR_INVALID_HANDLE);
  return 0;
}

int plat_full_directory_path(std::string_view path, std::string* full) {
  char p[MAX_PATH * 4];
  if (full == nullptr) return fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
  if (!path_text(path, p, sizeof p)) return -1;
  HANDLE h = open_for_attributes(p);
  if (h == INVALID_HANDLE_VALUE) return fail_win32();
  BY_HANDLE_FILE_INFORMATION info{};
  char resolved[MAX_PATH * 4];
  BOOL ok = GetFileInformationByHandle(h, &info);
  DWORD n = ok ? GetFinalPathNameByHandleA(h, resolved, sizeof resolved, FILE_NAME_NORMALIZED) : 0;
  DWORD code = GetLastError();
  CloseHandle(h);
  if (!ok) return fail_win32(code);
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return fail_errno(ENOTDIR, PLAT_ERROR_DIRECTORY);
  }
  if (n == 0 || n >= sizeof resolved) return fail_win32(n == 0 ? code : ERROR_FILENAME_EXCED_RANGE);
  std::string text(resolved, n);
  // "\\?\C:\x" is "C:\x"; "\\?\UNC\server\share" is "\\server\share".
  if (text.rfind("\\\\?\\UNC\\", 0) == 0) {
    text = "\\\\" + text.substr(8);
  } else if (text.rfind("\\\\?\\", 0) == 0) {
    text = text.substr(4);
  }
  *full = text;
  return 0;
}
