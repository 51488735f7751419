// A thread that another thread can wait for with a time-out and, as a last resort, end by
// force. POSIX cannot kill one thread safely, so a forced termination abandons the thread:
// it is reported ended with the given exit code, keeps running detached, and the caller
// must end the process soon with plat_exit_process (which does not wait for it).
//
// Thread safety: start, wait_for, exit_code and terminate belong to the owning thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

enum class ThreadWait { ended, abandoned, timed_out, failed };

class PlatThread {
 public:
  PlatThread();
  ~PlatThread();  // joins a thread that still runs, unless it was terminated
  PlatThread(PlatThread&& other) noexcept;
  PlatThread& operator=(PlatThread&& other) noexcept;
  PlatThread(const PlatThread&) = delete;
  PlatThread& operator=(const PlatThread&) = delete;

  // Starts `body` at once; its result is the thread's exit code. 0, or -1 with errno
  // (EAGAIN when the system has no thread to give).
  [[nodiscard]] int start(std::function<uint32_t()> body);

  // Waits at most `timeout_ms` for the thread to end.
  [[nodiscard]] ThreadWait wait_for(uint32_t timeout_ms);

  // The exit code of an ended thread. 0, or -1 with errno EBUSY while it runs (EBADF when
  // never started).
  int exit_code(uint32_t* code) const;

  // Ends the thread by force with `code`: from now on it counts as ended. 0, or -1 with
  // errno (EINVAL when it has already ended).
  [[nodiscard]] int terminate(uint32_t code);

  bool terminated() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Lets the calling thread give way to the others of the process: for helpers whose work
// only runs ahead of a thread that waits on a peer, so that the waiting thread runs as
// soon as its answer comes. The thread still gets any processor nobody else wants.
// 0, or -1 with errno.
int plat_lower_thread_priority();

// Ends the process at once with `code`: no exit handlers, no static destructors, no wait
// for threads (an abandoned one may still run). Streams must have been flushed.
[[noreturn]] void plat_exit_process(int code);
