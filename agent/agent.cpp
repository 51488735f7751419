#include "agent/agent.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "agent/backup_thread.h"
#include "agent/liveness.h"
#include "agent/log.h"
#include "agent/progress.h"
#include "platform/error.h"
#include "platform/thread.h"

namespace {

constexpr uint32_t kWatchdogMs = 3600000;
constexpr int kWatchdogSeconds = 3600;
constexpr uint32_t kIdleMs = 1000;

uint32_t knob_ms(const char* name, uint32_t fallback) {
  const char* text = getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  char* end = nullptr;
  errno = 0;
  unsigned long value = strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || value > UINT32_MAX) return fallback;
  return static_cast<uint32_t>(value);
}

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

}  // namespace

int agent_main(int argc, char** argv, JobRunner run_job) {
  trace_debug("varno-backup.exe: Started.");
  if (log_agent_open() == 0) log_agent("Initialized log file 'agent.log'\n");
  trace_debug("varno-backup.exe: Initialized log file 'agent.log'");

  if (argc < 2) {
    log_agent("varno-backup.exe: Invalid command-line argument usage.\n");
    return finish(1);
  }
  if (strstr(argv[1], "background") == nullptr) {
    log_agent("varno-backup.exe: Invalid command-line argument usage.\n");
    return finish(2);
  }

  BackupThreadArgs args{run_job, nullptr, 1, knob_ms("VARNO_IDLE_MS", kIdleMs), plat_env()};
  if (argc >= 3) {
    args.initial_path = argv[2];
    log_agent("Initial backup schedule: '%s'\n", args.initial_path);
  } else {
    log_agent("No initial backup schedule specified; Waiting to receive via IPC.\n");
    args.job_wait_seconds = 30;
  }

  progress_open();

  PlatThread thread;
  if (thread.start([args] { return backup_thread(args); }) != 0) {
    progress_close();
    log_agent("Error creating backup thread; Aborting backup. Will try again later.\n");
    return finish(1);
  }
  liveness_counter.store(0, std::memory_order_relaxed);

  uint32_t slice_ms = knob_ms("VARNO_WATCHDOG_MS", kWatchdogMs);
  if (slice_ms == 0) slice_ms = kWatchdogMs;  // a zero slice would judge without waiting
  for (;;) {
    uint32_t snapshot = liveness_counter.load(std::memory_order_relaxed);
    switch (thread.wait_for(slice_ms)) {
      case ThreadWait::ended: {
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
      case ThreadWait::abandoned:
        log_agent("Backup thread died unexpectedly.\n");
        finish_now(0);
      case ThreadWait::timed_out:
        if (liveness_counter.load(std::memory_order_relaxed) == snapshot) {
          progress_close();
          log_agent("Backup thread timed out after %d seconds; Aborting backup.\n",
                    kWatchdogSeconds);
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
