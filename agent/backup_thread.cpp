#include "agent/backup_thread.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "agent/ipc.h"
#include "agent/runtime/ipc_names.h"
#include "agent/runtime/liveness.h"
#include "agent/runtime/log.h"
#include "agent/runtime/progress.h"
#include "platform/env.h"
#include "protocol/ckfs.h"

namespace {

constexpr size_t kMessageSize = 1024;

// Creates the job mailslot and starts the socket library. False when either fails (the
// board is closed then).
bool start_intake() {
  std::string mailslot = ipc_object_name(JOB_MAILSLOT_NAME);
  if (ipc_rx_setup(mailslot.c_str()) != 0) {
    log_agent("ipc_rx_setup(%s) failed with error code: %d.\n", mailslot.c_str(), errno);
    progress_close();
    return false;
  }
  log_agent("ipc_rx_setup(%s) succeeded.\n", mailslot.c_str());
  if (ckfs_init() != 0) {
    log_agent("ckfs_init() failed.\n");
    progress_close();
    return false;
  }
  log_agent("ckfs_init() succeeded.\n");
  return true;
}

void stop_intake() {
  ckfs_cleanup();
  ipc_rx_close();
  progress_close();
}

// Waits, one idle pause per read, for the first further job. False when none came.
bool wait_for_job(const BackupThreadArgs& args, char* message, size_t size) {
  int32_t countdown = args.job_wait_seconds;
  size_t count = 0;
  while (ipc_rx_read(message, size, &count) != 0) {
    if (--countdown <= 0) {
      stop_intake();
      log_agent(
          "Additional job check timeout (%d seconds) exceeded, giving up looking for "
          "jobs.\n",
          args.job_wait_seconds);
      return false;
    }
    log_agent("No additional jobs found; Waiting %d more seconds before giving up.\n", countdown);
    liveness_bump();
    args.env->sleep_ms(args.idle_ms);
  }
  return true;
}

// Runs the job in `message` and every one queued behind it, each unless it repeats the
// last one.
void run_queued(const BackupThreadArgs& args, char* message, size_t size, std::string* last_job) {
  size_t count = 0;
  do {
    if (*last_job == message) {
      log_agent("The job that just completed was queued to run again; Skipping.\n");
      continue;
    }
    log_agent("procjob('%s') begin\n", message);
    log_agent("See '%s.log' for details.\n", message);
    args.run_job(message, args.env);
    log_agent("procjob('%s') complete\n", message);
    *last_job = message;
  } while (ipc_rx_read(message, size, &count) == 0);
}

}  // namespace

uint32_t backup_thread(const BackupThreadArgs& args) {
  progress_set_status("Initializing...");
  if (!start_intake()) return 1;

  // The last job's path is kept whole: an initial path longer than a message can hold
  // must not be cut to a prefix that a later message could match.
  std::string last_job;
  if (args.initial_path != nullptr) {
    log_agent("initial procjob('%s') begin\n", args.initial_path);
    log_agent("See '%s.log' for details.\n", args.initial_path);
    args.run_job(args.initial_path, args.env);
    progress_close();
    log_agent("initial procjob('%s') complete\n", args.initial_path);
    last_job = args.initial_path;
  }

  progress_set_status("Checking for additional jobs...");
  char message[kMessageSize];
  memset(message, 0, sizeof message);
  if (!wait_for_job(args, message, sizeof message)) return 0;
  run_queued(args, message, sizeof message, &last_job);

  log_agent("Finished processing backup jobs; Exiting normally.\n");
  stop_intake();
  return 0;
}
