// Reading, sending and clearing the mail queue: the reports a run could not hand to the
// server, kept beside their schedule as SCHEDULE.eml, SCHEDULE-1.eml .. SCHEDULE-9.eml.
// The agent sends a schedule's series at the start of its next session; varno-ctl sends,
// lists and clears it on an operator's word. Each file is opened without sharing and held
// until it is removed, so the desktop client (which sends the queue too) and we never
// hand the same report over twice or remove one the other is reading.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/env.h"

struct ckfs_session;

// Names in one schedule's series.
constexpr int MAIL_QUEUE_SERIES = 10;

// The series' `index`-th name (0: ".eml", 1..9: "-1.eml" .. "-9.eml") for `stem`, the
// schedule path.
std::string mail_queue_name(const std::string& stem, int index);

// A queued report as its file holds it.
struct QueuedReport {
  int64_t schedule_id = 0;
  uint32_t user_number = 0;
  std::string encryption_token;  // 40 upper-case hex digits: SHA-1 of the account key
  std::string to;
  std::string message;
};

// Whether `plain` is a whole queue text; fills `out` when it is.
bool mail_queue_parse(const std::string& plain, QueuedReport* out);

enum MailQueueState {
  MAIL_QUEUE_SENT,         // handed to the server and removed
  MAIL_QUEUE_READ,         // read (listing only)
  MAIL_QUEUE_ABSENT,       // no such file
  MAIL_QUEUE_BUSY,         // another program holds it
  MAIL_QUEUE_DAMAGED,      // unreadable, cut short, another key, or not a queue file
  MAIL_QUEUE_NO_SESSION,   // nobody to send it as (another account, or no login)
  MAIL_QUEUE_REFUSED,      // the server did not take it: `code`
  MAIL_QUEUE_NOT_REMOVED,  // sent, but the file stays: it would go out again
};

struct MailQueueItem {
  std::string path;
  MailQueueState state = MAIL_QUEUE_ABSENT;
  int code = 0;  // KFS code of a refusal, errno of a file failure
  QueuedReport report;
};

// Reads `path` (held without sharing only while read).
MailQueueItem mail_queue_read(Env* env, const std::string& path);

// Answers the session to send a report on, or null to keep it (MAIL_QUEUE_NO_SESSION).
using MailQueueSessionFor = std::function<ckfs_session*(const QueuedReport&)>;

// Sends the report at `path` with KFS_EMAIL on the session `session_for` gives, removing the
// file only when the server took it. The file stays held from the read to its removal.
MailQueueItem mail_queue_send(Env* env, const std::string& path,
                              const MailQueueSessionFor& session_for);

// Removes `path` once it can be held without sharing; answers 0, or -1 with errno (EACCES
// while another program holds it).
int mail_queue_remove(Env* env, const std::string& path);

// The encryption token of a key digest (40 upper-case hex digits), as queue files name it.
std::string mail_queue_token(const uint8_t key_digest[20]);

// A short text for a state that kept a file, for logs and the operator.
std::string mail_queue_why(const MailQueueItem& item);
