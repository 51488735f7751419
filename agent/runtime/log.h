// The agent log ("agent.log", the life of the process) and the job log (the schedule
// path followed by ".log", everything one job does). Lines read
// "YYYY-MM-DD hh:mm:ss.mmmm] message"; the message carries its own line feed, which the
// files store as CR LF (Windows text mode; the debugger output keeps it bare). Every line
// is flushed at once so the log is complete even when the process is killed.
//
// Thread safety: log_agent may be called from both agent threads (one write plus a flush
// per call). log_job and the job log's open/close belong to the backup thread.
#pragma once

#include <cstdio>
#include <string>

#include "platform/env.h"

// Longest message and longest line, in characters.
constexpr int LOG_LINE_MAX = 16383;

// Opens "agent.log" in the working directory, emptied; its lines take their time from
// `env`, which must outlive the open log. Answers 0 or -1 with errno.
int log_agent_open(Env* env);
void log_agent_close();
// The open agent log stream, or null.
FILE* log_agent_stream();

// Opens "<schedule_path>.log" as the current job log (closing the previous one). When it
// cannot be opened, logs "Could not open log file '<path>'" (which then goes to the
// debugger output); either way then logs "Initialized log file '<path>.log'".
// Lines take their time from `env`, which must outlive the open log. Answers 0 when the
// job log is open, -1 otherwise.
int log_job_open(const char* schedule_path, Env* env);
void log_job_close();
bool log_job_is_open();
// The first error that kept a line out of the current job log (errno value), or 0. The
// first such error is also sent once to the debugger output.
int log_job_write_error();
// The last message the job logged, without its line end (kept even when the file lost it).
std::string log_job_last_message();

void log_agent(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_job(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Message (at most 253 characters) plus "\r\n" to the debugger output, no time prefix.
void trace_debug(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Formats one line in the log format into `out` (capacity at least LOG_LINE_MAX + 1),
// stamped with `env`'s local time. Answers its length. Exposed for tests.
int log_format_line(char* out, const char* message, Env* env);
