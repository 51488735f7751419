// Child processes of the Win32 Env: CreateProcess of the command line itself, shown
// hidden. ChildProcess keeps the process handle in its pid_t field (64 bits here) and the
// exit code as its wait status.
#include <windows.h>

#include <cerrno>
#include <string>

#include "platform/win32/win32_env.h"
#include "platform/win32/win_error.h"

namespace {

HANDLE as_handle(pid_t pid) {
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(pid));
}

}  // namespace

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_), status_(other.status_), reaped_(other.reaped_) {
  other.pid_ = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    if (pid_ > 0) CloseHandle(as_handle(pid_));
    pid_ = other.pid_;
    status_ = other.status_;
    reaped_ = other.reaped_;
    other.pid_ = -1;
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  // Closing the handle neither waits for the process nor ends it.
  if (pid_ > 0) CloseHandle(as_handle(pid_));
}

int win32_process_start(const char* command_line, ChildProcess* child) {
  if (command_line == nullptr || child == nullptr) return fail_errno(ENOENT, ERROR_FILE_NOT_FOUND);
  std::string line = command_line;  // CreateProcess may write into it
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_FORCEOFFFEEDBACK;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION process{};
  // No application name, handles inherited, normal priority, this environment and
  // current directory.
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr,
                      nullptr, &startup, &process)) {
    return fail_win32();
  }
  CloseHandle(process.hThread);
  *child = ChildProcess(static_cast<pid_t>(reinterpret_cast<intptr_t>(process.hProcess)));
  return 0;
}

PlatWaitResult win32_process_wait(ChildProcess& child, uint32_t timeout_ms) {
  if (!child.valid()) {
    fail_errno(ECHILD, ERROR_INVALID_HANDLE);
    return PLAT_WAIT_FAILED;
  }
  if (child.ended()) return PLAT_WAIT_ENDED;
  switch (WaitForSingleObject(as_handle(child.get()), timeout_ms)) {
    case WAIT_OBJECT_0: {
      DWORD code = 0;
      if (!GetExitCodeProcess(as_handle(child.get()), &code)) {
        fail_win32();
        return PLAT_WAIT_FAILED;
      }
      child.record_end(static_cast<int>(code));
      return PLAT_WAIT_ENDED;
    }
    case WAIT_TIMEOUT:
      return PLAT_WAIT_TIMEOUT;
    default:
      fail_win32();
      return PLAT_WAIT_FAILED;
  }
}

int win32_process_exit_code(const ChildProcess& child, uint32_t* code) {
  if (!child.valid() || !child.ended()) {
    return fail_errno(child.valid() ? EBUSY : ECHILD, ERROR_INVALID_HANDLE);
  }
  *code = static_cast<uint32_t>(child.wait_status());
  return 0;
}

int win32_process_terminate(ChildProcess& child) {
  if (!child.valid()) return fail_errno(ESRCH, ERROR_INVALID_HANDLE);
  if (child.ended()) return 0;
  // Exit code -1, as the command runner reports a stopped command.
  if (!TerminateProcess(as_handle(child.get()), static_cast<UINT>(-1))) return fail_win32();
  return 0;
}
