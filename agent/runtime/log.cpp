#include "agent/runtime/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <string>

#include "platform/debug.h"
#include "platform/env.h"

namespace {

constexpr int kBufferSize = LOG_LINE_MAX + 1;
constexpr int kTraceBufferSize = 256;

// Each open log with the Env it was opened through (its clock stamps the lines).
FILE* g_agent_log = nullptr;
Env* g_agent_env = nullptr;
FILE* g_job_log = nullptr;  // backup thread only, as is its Env
Env* g_job_env = nullptr;
// The job log's path, the first error that cost it a line (0: none) and the last message
// the job wrote, so the job's outcome can say what the log could not.
std::string g_job_path;
int g_job_write_error = 0;
std::string g_job_last_message;

// vsnprintf answers the length it wanted; the bytes in the buffer are what counts.
int clamp_length(int wanted, int capacity) {
  if (wanted < 0) return 0;
  return wanted >= capacity ? capacity - 1 : wanted;
}

int format_message(char* out, const char* format, va_list args) {
  return clamp_length(vsnprintf(out, kBufferSize, format, args), kBufferSize);
}

// Answers 0, or the error that kept the line from the file.
int write_line(FILE* stream, Env* env, const char* message) {
  char line[kBufferSize];
  int length = log_format_line(line, message, env);
  // The desktop client reads the logs as the Windows text files they are there.
  errno = 0;
  bool written = plat_write_text(stream, line, static_cast<size_t>(length));
  written = fflush(stream) == 0 && written;
  if (written) return 0;
  clearerr(stream);
  return errno != 0 ? errno : EIO;
}

// A job log that loses a line says so once where an operator still looks: the debugger
// output (standard error), which the service's journal keeps.
void note_job_write_error(int error) {
  if (g_job_write_error != 0) return;
  g_job_write_error = error;
  char text[kBufferSize];
  snprintf(text, sizeof text, "Could not write log file '%s': %s\n", g_job_path.c_str(),
           strerror(error));
  plat_debug_output(text);
}

}  // namespace

int log_format_line(char* out, const char* message, Env* env) {
  LocalTime t = env->local_time();
  int wanted = snprintf(out, kBufferSize, "%04d-%02d-%02d %02d:%02d:%02d.%04d] %s", t.year, t.month,
                        t.day, t.hour, t.minute, t.second, t.millisecond, message);
  return clamp_length(wanted, kBufferSize);
}

int log_agent_open(Env* env) {
  log_agent_close();
  g_agent_env = env;
  g_agent_log = env->open_stream("agent.log", "w+");
  return g_agent_log != nullptr ? 0 : -1;
}

void log_agent_close() {
  if (g_agent_log != nullptr) fclose(g_agent_log);
  g_agent_log = nullptr;
  g_agent_env = nullptr;
}

FILE* log_agent_stream() {
  return g_agent_log;
}

int log_job_open(const char* schedule_path, Env* env) {
  log_job_close();
  std::string path = std::string(schedule_path) + ".log";
  g_job_path = path;
  g_job_write_error = 0;
  g_job_last_message.clear();
  g_job_env = env;
  g_job_log = env->open_stream(path, "w+");
  if (g_job_log == nullptr) log_job("Could not open log file '%s'\n", schedule_path);
  log_job("Initialized log file '%s.log'\n", schedule_path);
  return g_job_log != nullptr ? 0 : -1;
}

void log_job_close() {
  if (g_job_log != nullptr) fclose(g_job_log);
  g_job_log = nullptr;
  g_job_env = nullptr;
}

bool log_job_is_open() {
  return g_job_log != nullptr;
}

int log_job_write_error() {
  return g_job_write_error;
}

std::string log_job_last_message() {
  return g_job_last_message;
}

void log_agent(const char* format, ...) {
  if (g_agent_log == nullptr) return;
  int saved = errno;
  char message[kBufferSize];
  va_list args;
  va_start(args, format);
  format_message(message, format, args);
  va_end(args);
  (void)write_line(g_agent_log, g_agent_env, message);
  errno = saved;
}

void log_job(const char* format, ...) {
  int saved = errno;
  char message[kBufferSize];
  va_list args;
  va_start(args, format);
  format_message(message, format, args);
  va_end(args);
  g_job_last_message.assign(message, strcspn(message, "\r\n"));
  if (g_job_log != nullptr) {
    int error = write_line(g_job_log, g_job_env, message);
    if (error != 0) note_job_write_error(error);
  } else {
    char line[kBufferSize];
    log_format_line(line, message, g_job_env != nullptr ? g_job_env : plat_env());
    plat_debug_output(line);
  }
  errno = saved;
}

void trace_debug(const char* format, ...) {
  int saved = errno;
  char message[kTraceBufferSize];
  va_list args;
  va_start(args, format);
  int length =
      clamp_length(vsnprintf(message, kTraceBufferSize - 2, format, args), kTraceBufferSize - 2);
  va_end(args);
  memcpy(message + length, "\r\n", 3);
  plat_debug_output(message);
  errno = saved;
}
