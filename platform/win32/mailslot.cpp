#include "platform/mailslot.h"

#include <windows.h>

#include <cerrno>
#include <climits>

#include "platform/win32/handle.h"
#include "platform/win32/win_error.h"

ssize_t MailslotReceiver::read(void* buffer, size_t capacity) {
  if (!handle_.valid()) return fail_errno(EBADF, ERROR_INVALID_HANDLE);
  DWORD room = capacity > MAXDWORD ? MAXDWORD : static_cast<DWORD>(capacity);
  // A message larger than the buffer stays queued. Windows refuses the read itself; the
  // size is asked first all the same, as not every implementation does (Wine cuts the
  // message to the buffer and drops the rest).
  DWORD next = MAILSLOT_NO_MESSAGE;
  if (GetMailslotInfo(int_to_handle(handle_.get()), nullptr, &next, nullptr, nullptr) &&
      next != MAILSLOT_NO_MESSAGE && next > room) {
    return fail_errno(EMSGSIZE, ERROR_INSUFFICIENT_BUFFER);
  }
  DWORD n = 0;
  // Read time-out 0: an empty slot fails at once with ERROR_SEM_TIMEOUT; a message larger
  // than the buffer fails with ERROR_INSUFFICIENT_BUFFER and stays queued.
  if (!ReadFile(int_to_handle(handle_.get()), buffer, room, &n, nullptr)) return fail_win32();
  return static_cast<ssize_t>(n);
}

int plat_mailslot_create(const char* name, MailslotReceiver* out) {
  if (name == nullptr || out == nullptr) return fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
  // No maximum message size, read time-out 0, default security (not inheritable).
  HANDLE h = CreateMailslotA(name, 0, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    if (code == ERROR_ALREADY_EXISTS) return fail_errno(EADDRINUSE, code);
    if (code == ERROR_FILENAME_EXCED_RANGE) return fail_errno(ENAMETOOLONG, code);
    return fail_win32(code);
  }
  out->reset(handle_to_int(h));
  return 0;
}

int plat_mailslot_send(const char* name, const void* message, size_t length, uint32_t) {
  // A mailslot write never waits for room, so the time-out has nothing to bound here.
  if (name == nullptr || (message == nullptr && length > 0)) {
    return fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
  }
  if (length > MAXDWORD) return fail_errno(EMSGSIZE, ERROR_INVALID_PARAMETER);
  HANDLE h = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail_win32();
  DWORD written = 0;
  BOOL ok = WriteFile(h, message, static_cast<DWORD>(length), &written, nullptr);
  DWORD code = GetLastError();
  CloseHandle(h);
  if (!ok) return fail_win32(code);
  if (written != length) return fail_errno(EAGAIN, ERROR_SEM_TIMEOUT);
  return 0;
}
