#include "agent/agent.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "agent/backup_thread.h"
#include "agent/runtime/liveness.h"
#include "agent/runtime/log.h"
#include "agent/runtime/progress.h"
#include "platform/error.h"
#include "platform/knobs.h"
#include "platform/thread.h"

namespace {

constexpr uint32_t kWatchdogMs = 3600000;
constexpr int kWatchdogSeconds = 3600;
constexpr uint32_t kIdleMs = 1000;

int finish(int code) {
  progress_release();
  log_agent_close();
  return code;
}

// Ends the process while the backup thread may still run: without the exit handlers and
// destructors it could race with. Every log line is already on disk.
[[noreturn]] void finish_now(int code) {
  progress_remove_names();
  plat_exit_process(code);
}

// Reports how the backup thread ended and ends the agent.
int thread_ended(PlatThread& thread) {
  uint32_t code = 0;
  if (thread.exit_code(&code) != 0) {
    log_agent("Unable to determine backup thread exit code: %s\n", plat_error_message(errno));
  } else if (code != 0) {
    log_agent("Backup thread exited abnormally.\n");
  } else {
    log_agent("Backup thread exited normally.\n");
  }
  if (thread.terminated()) finish_now(0);
  return finish(0);
}

// A whole slice without a sign of life: the thread is taken for hung and terminated.
void thread_silent() {
  progress_close();
  log_agent("Backup thread timed out after %d seconds; Aborting backup.\n", kWatchdogSeconds);
}

// The watchdog: waits for the backup thread in slices and terminates it when a slice
// passes without a sign of life. Answers the exit code, or ends the process itself.
int watch(PlatThread& thread) {
  // The knob's range starts at 1: a zero slice would judge without waiting.
  uint32_t slice_ms = plat_knob_ms(KNOB_WATCHDOG_MS, kWatchdogMs);
  for (;;) {
    uint32_t snapshot = liveness_counter.load(std::memory_order_relaxed);
    switch (thread.wait_for(slice_ms)) {
      case ThreadWait::ended:
        return thread_ended(thread);
      case ThreadWait::abandoned:
        log_agent("Backup thread died unexpectedly.\n");
        finish_now(0);
      case ThreadWait::timed_out:
        if (liveness_counter.load(std::memory_order_relaxed) == snapshot) {
          thread_silent();
          if (thread.terminate(1) == 0) {
            log_agent("Backup thread terminated successfully.\n");
          } else {
            log_agent("Unable to terminate backup thread: %s\n", plat_error_message(errno));
          }
        }
        break;
      case ThreadWait::failed:
        log_agent("Unable to wait for backup thread: %s\n", plat_error_message(errno));
        finish_now(0);
    }
  }
}

}  // namespace

int agent_main(int argc, char** argv, JobRunner run_job) {
  // The one place the process takes its Env; everything below is handed it.
  Env* env = plat_env();
  trace_debug("varno-backup.exe: Started.");
  if (log_agent_open(env) == 0) log_agent("Initialized log file 'agent.log'\n");
  trace_debug("varno-backup.exe: Initialized log file 'agent.log'");

  if (argc < 2) {
    log_agent("varno-backup.exe: Invalid command-line argument usage.\n");
    return finish(1);
  }
  if (strstr(argv[1], "background") == nullptr) {
    log_agent("varno-backup.exe: Invalid command-line argument usage.\n");
    return finish(2);
  }

  BackupThreadArgs args{run_job, nullptr, 1, plat_knob_ms(KNOB_IDLE_MS, kIdleMs), env};
  if (argc >= 3) {
    args.initial_path = argv[2];
    log_agent("Initial backup schedule: '%s'\n", args.initial_path);
  } else {
    log_agent("No initial backup schedule specified; Waiting to receive via IPC.\n");
    args.job_wait_seconds = 30;
  }

  progress_open(env);

  PlatThread thread;
  if (thread.start([args] { return backup_thread(args); }) != 0) {
    progress_close();
    log_agent("Error creating backup thread; Aborting backup. Will try again later.\n");
    return finish(1);
  }
  liveness_counter.store(0, std::memory_order_relaxed);
  return watch(thread);
}
