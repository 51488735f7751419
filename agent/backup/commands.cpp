#include "agent/backup/commands.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "agent/backup/job_state.h"
#include "agent/backup/settings.h"
#include "agent/report/report.h"
#include "agent/runtime/liveness.h"
#include "agent/runtime/log.h"
#include "agent/runtime/progress.h"
#include "platform/env.h"
#include "platform/error.h"
#include "platform/knobs.h"
#include "platform/system.h"
#include "util/error.h"

namespace {

constexpr uint32_t kWaitSliceMs = 1000;
constexpr uint32_t kDefaultLimitMs = 43200000;  // 12 hours

struct CommandTexts {
  const char* status;
  const char* start;
  const char* create_process;
  const char* wait_failed;
  const char* wait_unknown;
  const char* died;
  const char* timed_out;
  const char* exit_code_failed;
  const char* non_zero;
  const char* success;
  const char* fatal_a;
  const char* fatal_b;
  const char* fatal_c;
  const char* not_fatal_ab;
  const char* not_fatal_c;
  const char* terminated;
  const char* terminate_failed;
};

constexpr CommandTexts kPre = {
    "Running pre-backup command...",
    "Running pre-backup command: '%s'\n",
    "Pre-Backup command '%s' failed on CreateProcess(): %s",
    "Pre-Backup command '%s' failed on WaitForSingleObject(): %s",
    "Pre-Backup command '%s' failed on WaitForSingleObject() with unknown error code %d",
    "Pre-Backup command died unexpectedly (WAIT_ABANDONED)",
    "Pre-Backup command '%s' timed out after %d milliseconds",
    "Pre-Backup command '%s' failed on GetExitCodeProcess(): %s",
    "Pre-Backup command '%s' returned non-zero exit code %d",
    "Successfully executed pre-backup command (exit code 0).\n",
    "%s; Aborting (pre-command failure is fatal).\n",
    "%s; Aborting backup (pre-command failure is fatal).\n",
    "%s; Exit code %d; Aborting (pre-backup command failure is fatal).\n",
    "%s; Continuing (pre-command failure not fatal).\n",
    "%s; Continuing (pre-backup command failure not fatal).\n",
    "Successfully terminated the pre-backup command process.\n",
    "Failed to terminate the pre-backup command process: %s\n",
};

constexpr CommandTexts kPost = {
    "Running post-backup command...",
    "Running post-backup command: '%s'\n",
    "Post-Backup command '%s' failed on CreateProcess(): %s",
    "Post-Backup command '%s' failed on WaitForSingleObject(): %s",
    "Post-Backup command '%s' failed on WaitForSingleObject() with unknown error code %d",
    "Post-Backup command died unexpectedly (WAIT_ABANDONED)",
    "Post-Backup command '%s' timed out after %d milliseconds",
    "Post-Backup command '%s' failed on GetExitCodeProcess(): %s",
    "Post-Backup command '%s' returned non-zero exit code %d",
    "Successfully executed post-backup command (exit code 0).\n",
    "%s; Aborting (post-command failure is fatal).\n",
    "%s; Aborting backup (post-command failure is fatal).\n",
    "%s; Exit code %d; Aborting (post-backup command failure is fatal).\n",
    "%s; Continuing (post-command failure not fatal).\n",
    "%s; Continuing (post-backup command failure not fatal).\n",
    "Successfully terminated the post-backup command process.\n",
    "Failed to terminate the post-backup command process: %s",
};

constexpr const char* kPreUserStop =
    "The backup started but did not complete because it was terminated by the user (during "
    "execution of the pre-backup command).";

enum FailureKind { KIND_NONE, KIND_A, KIND_B, KIND_C };

template <typename... Args>
std::string format(const char* fmt, Args... args) {
  char buf[LOG_LINE_MAX + 1];
  snprintf(buf, sizeof buf, fmt, args...);
  return buf;
}

// File system redirection of a 32-bit program on 64-bit Windows, off while a command runs.
struct Redirection {
  bool disabled = false;
  void* old_value = nullptr;  // what the revert needs
};

Redirection disable_redirection() {
  Redirection r;
  if (plat_disable_fs_redirection(&r.old_value) == 0) {
    r.disabled = true;
    log_job("Successfully disabled Wow64FsRedirection.\n");
  } else if (errno == ENOENT) {
    log_job("GetModuleHandle(kernel32.dll) failed with exit code %d.", plat_last_error());
  } else if (errno == ENOSYS) {
    log_job("Skipping disabling Wow64FsRedirection.\n");
  } else {
    log_job("Failed to disable Wow64FsRedirection. Error code %d\n", plat_last_error());
  }
  return r;
}

void revert_redirection(const Redirection& r) {
  if (plat_revert_fs_redirection(r.old_value) == 0) {
    log_job("Successfully reverted Wow64FsRedirection.\n");
  } else if (errno == ENOENT || errno == ENOSYS) {
    log_job("Skipping reverting Wow64FsRedirection.\n");
  } else {
    log_job("Failed to revert Wow64FsRedirection. Error code %d\n", plat_last_error());
  }
}

// How a command ended, as far as the job is concerned.
struct CommandRun {
  FailureKind failure = KIND_NONE;
  std::string line;  // the failure's text
  uint32_t exit_code = 0;
  bool timed_out = false;
};

// A stop request while the pre-backup command runs ends the job at once.
void stop_for_user(Env* env, const CommandTexts& t, ChildProcess& child, PlatWaitResult result) {
  report_failure_text(kPreUserStop);
  if (result == PLAT_WAIT_ENDED || env->process_terminate(child) == 0) {
    log_job("%s", t.terminated);
  } else {
    log_job(t.terminate_failed, error_text(errno));
  }
  (void)env->process_wait(child, kWaitSliceMs);
}

// Judges the last wait's result (and the exit code of an ended process) into `run`.
void judge(Env* env, const CommandTexts& t, const char* command_line, ChildProcess& child,
           PlatWaitResult result, uint32_t limit, CommandRun* run) {
  if (result == PLAT_WAIT_TIMEOUT) {
    run->line = format(t.timed_out, command_line, static_cast<int>(limit));
    run->failure = KIND_B;
    run->timed_out = true;
  } else if (result == PLAT_WAIT_FAILED) {
    run->line = format(t.wait_failed, command_line, error_text(errno));
    run->failure = KIND_B;
  } else if (env->process_exit_code(child, &run->exit_code) != 0) {
    run->line = format(t.exit_code_failed, command_line, error_text(errno));
    run->failure = KIND_A;
  } else if (run->exit_code != 0) {
    run->line = format(t.non_zero, command_line, static_cast<int>(run->exit_code));
    run->failure = KIND_C;
  } else {
    log_job("%s", t.success);
  }
}

// Waits in one-second slices, each a sign of life for the watchdog, up to the time limit.
// False when a stop request ended the job first (pre-backup only).
bool wait_and_judge(Env* env, CommandKind kind, const CommandTexts& t, const char* command_line,
                    ChildProcess& child, CommandRun* run) {
  uint32_t limit = plat_knob_ms(KNOB_COMMAND_LIMIT_MS, kDefaultLimitMs);
  uint32_t elapsed = 0;
  PlatWaitResult result;
  for (;;) {
    result = env->process_wait(child, kWaitSliceMs);
    liveness_bump();
    elapsed += kWaitSliceMs;
    if (kind == COMMAND_PRE_BACKUP && user_terminated()) {
      stop_for_user(env, t, child, result);
      return false;
    }
    if (result != PLAT_WAIT_TIMEOUT || elapsed >= limit) break;
  }
  judge(env, t, command_line, child, result, limit, run);
  return true;
}

// Logs a failure with the fatal or non-fatal text of its kind; a fatal one is reported.
// Answers true when it ends the job.
bool log_failure(const CommandTexts& t, bool fatal, const CommandRun& run) {
  if (run.failure == KIND_NONE) return false;
  if (!fatal) {
    log_job(run.failure == KIND_C ? t.not_fatal_c : t.not_fatal_ab, run.line.c_str());
    return false;
  }
  if (run.failure == KIND_A) log_job(t.fatal_a, run.line.c_str());
  if (run.failure == KIND_B) log_job(t.fatal_b, run.line.c_str());
  if (run.failure == KIND_C) log_job(t.fatal_c, run.line.c_str(), static_cast<int>(run.exit_code));
  report_failure_text(run.line.c_str());
  return true;
}

// Stops a command that outran its time limit. Answers true when it ends the job (it
// could not be stopped).
bool stop_timed_out(Env* env, CommandKind kind, const CommandTexts& t, ChildProcess& child) {
  if (env->process_terminate(child) == 0) {
    (void)env->process_wait(child, kWaitSliceMs);
    log_job("%s", t.terminated);
    return false;
  }
  if (kind == COMMAND_PRE_BACKUP) {
    log_job(t.terminate_failed, error_text(errno));
  } else {
    std::string why = format(t.terminate_failed, error_text(errno));
    log_job("%s; Continuing.\n", why.c_str());
  }
  return true;
}

}  // namespace

bool run_backup_command(CommandKind kind, const char* command_line, Env* env) {
  const CommandTexts& t = kind == COMMAND_PRE_BACKUP ? kPre : kPost;
  bool fatal = schedule_number(job_option(kind == COMMAND_PRE_BACKUP ? OPT_FATALPRECMD
                                                                     : OPT_FATALPOSTCMD)) != 0;
  Redirection redirection = disable_redirection();
  progress_set_status(t.status);
  progress_begin_file(command_line, 0);
  log_job(t.start, command_line);

  CommandRun run;
  ChildProcess child;
  if (env->process_start(command_line, &child) != 0) {
    run.line = format(t.create_process, command_line, error_text(errno));
    run.failure = KIND_A;
  } else if (!wait_and_judge(env, kind, t, command_line, child, &run)) {
    return false;  // stopped by the user: the job ends here
  }
  bool ends_job = log_failure(t, fatal, run);
  if (run.timed_out && stop_timed_out(env, kind, t, child)) ends_job = true;
  revert_redirection(redirection);
  return !ends_job;
}
