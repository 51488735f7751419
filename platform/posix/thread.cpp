#include "platform/thread.h"

#include <sys/resource.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

struct PlatThread::State {
  std::mutex mutex;
  std::condition_variable changed;
  std::thread thread;
  bool started = false;
  bool ended = false;
  bool terminated = false;
  uint32_t code = 0;
};

PlatThread::PlatThread() : state_(std::make_shared<State>()) {}

PlatThread::~PlatThread() {
  if (!state_) return;
  if (state_->thread.joinable()) state_->thread.join();
}

PlatThread::PlatThread(PlatThread&& other) noexcept : state_(std::move(other.state_)) {
  other.state_ = std::make_shared<State>();
}

PlatThread& PlatThread::operator=(PlatThread&& other) noexcept {
  if (this != &other) {
    if (state_ && state_->thread.joinable()) state_->thread.join();
    state_ = std::move(other.state_);
    other.state_ = std::make_shared<State>();
  }
  return *this;
}

int PlatThread::start(std::function<uint32_t()> body) {
  if (state_->started) {
    errno = EBUSY;
    return -1;
  }
  std::shared_ptr<State> state = state_;
  try {
    state->thread = std::thread([state, body = std::move(body)] {
      uint32_t code = body();
      std::lock_guard<std::mutex> lock(state->mutex);
      if (!state->terminated) {
        state->ended = true;
        state->code = code;
      }
      state->changed.notify_all();
    });
  } catch (const std::system_error& e) {
    errno = e.code().value() != 0 ? e.code().value() : EAGAIN;
    return -1;
  }
  state_->started = true;
  return 0;
}

ThreadWait PlatThread::wait_for(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  if (!state_->started) {
    errno = EBADF;
    return ThreadWait::failed;
  }
  if (!state_->changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                [this] { return state_->ended; })) {
    return ThreadWait::timed_out;
  }
  lock.unlock();
  if (!state_->terminated && state_->thread.joinable()) state_->thread.join();
  return ThreadWait::ended;
}

int PlatThread::exit_code(uint32_t* code) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (!state_->started) {
    errno = EBADF;
    return -1;
  }
  if (!state_->ended) {
    errno = EBUSY;
    return -1;
  }
  *code = state_->code;
  return 0;
}

int PlatThread::terminate(uint32_t code) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (!state_->started || state_->ended) {
    errno = EINVAL;
    return -1;
  }
  state_->terminated = true;
  state_->ended = true;
  state_->code = code;
  // Abandoned, not killed: it keeps the shared state alive until it returns, if ever.
  state_->thread.detach();
  state_->changed.notify_all();
  return 0;
}

bool PlatThread::terminated() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->terminated;
}

int plat_lower_thread_priority() {
  // Linux keeps a nice value per thread: PRIO_PROCESS with a thread id sets that thread's.
  constexpr int kStep = 10;
  const id_t self = static_cast<id_t>(gettid());
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, self);
  if (nice == -1 && errno != 0) return -1;
  return setpriority(PRIO_PROCESS, self, nice + kStep > 19 ? 19 : nice + kStep);
}

void plat_exit_process(int code) {
  _exit(code);
}
