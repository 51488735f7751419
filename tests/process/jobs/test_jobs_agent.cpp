// varno-backup-testjobs: the agent with scripted jobs in place of procjob, for process
// tests of the watchdog, the job intake and the progress board. A schedule whose file name
// starts with one of these words acts it out (any other just logs):
//   hang      never returns and shows no sign of life
//   busy      runs VARNO_TEST_BUSY_MS milliseconds (default 3000) bumping liveness_counter
//   gate      waits, alive, until "<schedule>.go" exists
//   progress  fills the progress board, waits for a stop request and notes how many
//             further polls still answered "stop"
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "agent/agent.h"
#include "agent/runtime/liveness.h"
#include "agent/runtime/log.h"
#include "agent/runtime/progress.h"
#include "platform/env.h"

namespace {

const char* base_name(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '/') base = p + 1;
  }
  return base;
}

bool starts_with(const char* text, const char* prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

uint32_t busy_ms() {
  const char* text = getenv("VARNO_TEST_BUSY_MS");
  if (text == nullptr || *text == '\0') return 3000;
  return static_cast<uint32_t>(strtoul(text, nullptr, 10));
}

bool file_present(const std::string& path) {
  FILE* file = plat_env()->open_stream(path, "rb");
  if (file == nullptr) return false;
  fclose(file);
  return true;
}

void run_hang() {
  log_job("Test job: hanging\n");
  for (;;) plat_env()->sleep_ms(1000);
}

void run_busy() {
  uint32_t duration = busy_ms();
  log_job("Test job: busy for %u ms\n", duration);
  uint64_t end = plat_env()->tick_ms() + duration;
  while (plat_env()->tick_ms() < end) {
    liveness_bump();
    plat_env()->sleep_ms(1);
  }
  log_job("Test job: busy done\n");
}

void run_gate(const char* schedule_path) {
  std::string gate = std::string(schedule_path) + ".go";
  log_job("Test job: waiting for '%s'\n", gate.c_str());
  while (!file_present(gate)) {
    liveness_bump();
    plat_env()->sleep_ms(10);
  }
  log_job("Test job: gate open\n");
}

void run_progress() {
  progress_set_schedule_name("Stub schedule");
  progress_set_status("Backing up...");
  progress_set_total(1000);
  progress_set_start_tick(static_cast<uint32_t>(plat_env()->tick_ms()));
  progress_begin_file("C:\\data\\a.txt", 300);
  progress_file_bytes(100);
  progress_end_file(PROGRESS_BACKED_UP);
  progress_begin_file("C:\\data\\b.txt", 200);
  progress_end_file(PROGRESS_FAILED);
  progress_begin_file("C:\\data\\c.txt", 500);
  progress_file_bytes(250);
  log_job("Test job: waiting for a stop request\n");
  uint64_t give_up = plat_env()->tick_ms() + 120000;
  while (progress_terminate_requested() == 0) {
    if (plat_env()->tick_ms() > give_up) {
      log_job("Test job: no stop request came\n");
      return;
    }
    liveness_bump();
    plat_env()->sleep_ms(10);
  }
  int again = 0;
  for (int i = 0; i < 20; ++i) {
    again += progress_terminate_requested();
    plat_env()->sleep_ms(5);
  }
  log_job("Test job: stop request seen; later polls answering stop: %d\n", again);
}

int test_job(const char* schedule_path, Env* env) {
  log_job_open(schedule_path, env);
  const char* base = base_name(schedule_path);
  if (starts_with(base, "hang"))
    run_hang();
  else if (starts_with(base, "busy"))
    run_busy();
  else if (starts_with(base, "gate"))
    run_gate(schedule_path);
  else if (starts_with(base, "progress"))
    run_progress();
  else
    log_job("Test job: nothing to do\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return agent_main(argc, argv, test_job);
}
