// Child processes for command lines: "/bin/sh -c LINE" in its own process group, standard
// streams inherited (every other descriptor is close-on-exec), never a window.
#pragma once

#include <cstdint>
#include <sys/types.h>

enum PlatWaitResult {
  PLAT_WAIT_ENDED,
  PLAT_WAIT_TIMEOUT,
  PLAT_WAIT_FAILED,  // errno set
};

// A started command. Move-only; destroying it neither waits nor kills (as closing a
// process handle does not end the process).
class ChildProcess {
 public:
  ChildProcess() = default;
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_), status_(other.status_), reaped_(other.reaped_) {
    other.pid_ = -1;
  }
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  pid_t get() const { return pid_; }
  bool valid() const { return pid_ > 0; }

 private:
  friend PlatWaitResult plat_process_wait(ChildProcess& child, uint32_t timeout_ms);
  friend int plat_process_exit_code(const ChildProcess& child, uint32_t* code);
  friend int plat_process_terminate(ChildProcess& child);
  pid_t pid_ = -1;
  int status_ = 0;
  bool reaped_ = false;
};

// Starts `command_line`. Fails (-1, errno ENOENT) when its program cannot be found, as
// starting a missing program fails, rather than letting the shell report it later.
int plat_process_start(const char* command_line, ChildProcess* child);

// Waits at most `timeout_ms` for the child to end.
PlatWaitResult plat_process_wait(ChildProcess& child, uint32_t timeout_ms);

// The exit code of an ended child: its status, or 128 + the signal that ended it.
// -1 with errno when the child has not ended or was never started.
int plat_process_exit_code(const ChildProcess& child, uint32_t* code);

// Kills the child's whole process group. Answers 0 or -1 with errno.
int plat_process_terminate(ChildProcess& child);
