// What the report needs from the rest of the agent: the names of the logged-in session,
// sending through the server, and writing an encrypted queue file. Kept apart so the
// report's own logic has no protocol or cipher details.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct ckfs_session;

// Account and user names from the session's login reply.
void report_io_session_names(const ckfs_session* session, std::string* account,
                             std::string* user);

// Sends one message to one address through the server; answers the KFS code.
int report_io_send(ckfs_session* session, int64_t schedule_id, const char* address,
                   const char* message, size_t length);

// Writes `plain` as an encrypted text file under the application key at `path` (a
// Windows-form path), opened for writing without sharing. Answers 0, or -1 when the file
// cannot be opened or the writer cannot start.
int report_io_write_queue(const char* path, const std::string& plain);
