// What the report needs from the rest of the agent: the names of the logged-in session,
// sending through the server, and writing an encrypted queue file. Kept apart so the
// report's own logic has no protocol or cipher details.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Env;
struct ckfs_session;

// Account and user names from the session's login reply.
void report_io_session_names(const ckfs_session* session, std::string* account, std::string* user);

// Sends one message to one address through the server; answers the KFS code.
int report_io_send(ckfs_session* session, int64_t schedule_id, const char* address,
                   const char* message, size_t length);

// Writes `plain` as an encrypted text file under the application key at `path` (a
// Windows-form path) through `env`, without sharing: it fails while a reader holds the file
// and leaves that file as it is. The text goes to a temporary name beside it that replaces
// `path` only when complete, so a failed write leaves the old file or none, never a torn
// one. Answers 0, or -1 when the file cannot be opened or written or the writer cannot start.
int report_io_write_queue(Env* env, const char* path, const std::string& plain);
