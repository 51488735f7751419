#include "platform/thread.h"

#include <windows.h>

#include <cerrno>

#include "platform/win32/win_error.h"

struct PlatThread::State {
  HANDLE thread = nullptr;
  bool terminated = false;

  ~State() {
    if (thread != nullptr) CloseHandle(thread);
  }
};

namespace {

// The thread owns its body, so a PlatThread may go away first.
DWORD WINAPI run_body(void* argument) {
  std::unique_ptr<std::function<uint32_t()>> body(
      static_cast<std::function<uint32_t()>*>(argument));
  return (*body)();
}

}  // namespace

PlatThread::PlatThread() : state_(std::make_shared<State>()) {}

PlatThread::~PlatThread() {
  if (state_ && state_->thread != nullptr && !state_->terminated) {
    WaitForSingleObject(state_->thread, INFINITE);
  }
}

PlatThread::PlatThread(PlatThread&& other) noexcept : state_(std::move(other.state_)) {
  other.state_ = std::make_shared<State>();
}

PlatThread& PlatThread::operator=(PlatThread&& other) noexcept {
  if (this != &other) {
    if (state_ && state_->thread != nullptr && !state_->terminated) {
      WaitForSingleObject(state_->thread, INFINITE);
    }
    state_ = std::move(other.state_);
    other.state_ = std::make_shared<State>();
  }
  return *this;
}

int PlatThread::start(std::function<uint32_t()> body) {
  if (state_->thread != nullptr) return fail_errno(EBUSY, ERROR_BUSY);
  auto* task = new std::function<uint32_t()>(std::move(body));
  // Default stack size, runs at once.
  HANDLE h = CreateThread(nullptr, 0, run_body, task, 0, nullptr);
  if (h == nullptr) {
    DWORD code = GetLastError();
    delete task;
    fail_win32(code);
    errno = EAGAIN;
    return -1;
  }
  state_->thread = h;
  return 0;
}

ThreadWait PlatThread::wait_for(uint32_t timeout_ms) {
  if (state_->thread == nullptr) {
    fail_errno(EBADF, ERROR_INVALID_HANDLE);
    return ThreadWait::failed;
  }
  if (state_->terminated) return ThreadWait::ended;
  switch (WaitForSingleObject(state_->thread, timeout_ms)) {
    case WAIT_OBJECT_0:
      return ThreadWait::ended;
    case WAIT_ABANDONED:
      return ThreadWait::abandoned;
    case WAIT_TIMEOUT:
      return ThreadWait::timed_out;
    default:
      fail_win32();
      return ThreadWait::failed;
  }
}

int PlatThread::exit_code(uint32_t* code) const {
  if (state_->thread == nullptr) return fail_errno(EBADF, ERROR_INVALID_HANDLE);
  // STILL_ACTIVE is also a code a thread may return: ask whether it ended first.
  if (WaitForSingleObject(state_->thread, 0) != WAIT_OBJECT_0) {
    return fail_errno(EBUSY, ERROR_BUSY);
  }
  DWORD value = 0;
  if (!GetExitCodeThread(state_->thread, &value)) return fail_win32();
  *code = value;
  return 0;
}

int PlatThread::terminate(uint32_t code) {
  if (state_->thread == nullptr || WaitForSingleObject(state_->thread, 0) == WAIT_OBJECT_0) {
    return fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
  }
  if (!TerminateThread(state_->thread, code)) return fail_win32();
  // Termination completes asynchronously; the exit code is readable once it has.
  WaitForSingleObject(state_->thread, 5000);
  // The thread dies without unwinding; what it held stays held until the process ends.
  state_->terminated = true;
  return 0;
}

bool PlatThread::terminated() const {
  return state_->terminated;
}

int plat_lower_thread_priority() {
  if (!SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL)) return fail_win32();
  return 0;
}

void plat_exit_process(int code) {
  // As _exit: no exit handlers and no loader lock, which a terminated thread may hold.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(code));
  for (;;) Sleep(INFINITE);
}
