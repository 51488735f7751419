#include "agent/schedule/procjob.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "agent/backup/backup.h"
#include "agent/backup/settings.h"
#include "agent/report/report.h"
#include "agent/runtime/log.h"
#include "agent/runtime/unique_file.h"
#include "agent/schedule/outcome.h"
#include "agent/stream/cryptofile.h"
#include "platform/debug.h"
#include "platform/privilege.h"
#include "util/memory.h"
#include "util/text.h"

namespace {

constexpr int kLineBuffer = 260;
constexpr const char* kHeader = "# Varno Backup Schedule";
constexpr size_t kHeaderLength = 23;

bool has_key(const char* line, const char* key, size_t* key_length) {
  size_t n = strlen(key);
  if (strncasecmp(line, key, n) != 0) return false;
  *key_length = n;
  return true;
}

void append(List* list, const char* text) {
  list_insert(list, text, strlen(text), list_count(list));
}

std::string trim(const std::string& s) {
  size_t b = 0;
  size_t e = s.size();
  while (b < e && isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

}  // namespace

void schedule_parse_filter(const char* value) {
  const char* bar = strchr(value, '|');
  if (bar == nullptr) return;
  size_t folder_length = static_cast<size_t>(bar - value);
  if (folder_length >= SCHEDULE_FOLDER_MAX) return;
  const char* second = strchr(bar + 1, '|');
  if (second == nullptr) return;
  long flags = schedule_number(std::string(bar + 1, second).c_str());
  if (flags < 0) return;
  if (flags > INT32_MAX) flags = INT32_MAX;  // as the C library's conversion saturates

  int capacity = 10;
  int count = 0;
  char** patterns = static_cast<char**>(util_calloc(static_cast<size_t>(capacity), sizeof(char*)));
  const char* p = second + 1;
  for (;;) {
    const char* semi = strchr(p, ';');
    std::string piece = trim(semi != nullptr ? std::string(p, semi) : std::string(p));
    if (!piece.empty()) {
      if (count == capacity) {
        capacity += capacity / 2;
        patterns = static_cast<char**>(
            util_realloc(patterns, static_cast<size_t>(capacity) * sizeof(char*)));
      }
      patterns[count] = static_cast<char*>(util_alloc(piece.size() + 1));
      memcpy(patterns[count], piece.c_str(), piece.size() + 1);
      ++count;
    }
    if (semi == nullptr) break;
    p = semi + 1;
  }
  if (count == 0) {
    free(patterns);
    return;
  }
  ScheduleFilter record{};
  record.flags = static_cast<int32_t>(flags);
  memcpy(record.folder, value, folder_length);
  record.folder[folder_length] = '\0';
  record.patterns = patterns;
  record.pattern_count = count;
  // The list copies the record's bytes; the copy owns the patterns from here on.
  list_insert(job_settings().filters, &record, sizeof record, list_count(job_settings().filters));
}

namespace {

int compare_filters_descending(const void* a, const void* b) {
  const ScheduleFilter* fa =
      reinterpret_cast<const ScheduleFilter*>(static_cast<const ListItem*>(a)->data);
  const ScheduleFilter* fb =
      reinterpret_cast<const ScheduleFilter*>(static_cast<const ListItem*>(b)->data);
  return strcasecmp(fb->folder, fa->folder);
}

// Parses one line after the header. Answers 0 or a ProcjobCode that aborts the job.
int parse_line(char* line) {
  if (line[0] == ';' || line[0] == '#') return 0;
  line[strcspn(line, "\n")] = '\0';
  line[strcspn(line, "\r")] = '\0';
  JobSettings& j = job_settings();
  size_t n = 0;
  auto got = [](const char* value, const char* key) {
    log_job("Got value of '%s' for '%s'\n", value, key);
  };
  if (has_key(line, "Src=", &n)) {
    got(line + n, "Src=");
    append(j.sources, line + n);
  } else if (has_key(line, "filter=", &n)) {
    got(line + n, "filter=");
    schedule_parse_filter(line + n);
  } else if (has_key(line, "XSrc=", &n)) {
    got(line + n, "XSrc=");
    append(j.exclusions, line + n);
  } else if (has_key(line, "Sync=", &n)) {
    got(line + n, "Sync=");
    append(j.sync_paths, line + n);
  } else if (has_key(line, "Email=", &n)) {
    if (j.recipients != nullptr) {
      log_job("FATAL: Got value for Email= when we already got value for schedule_email=\n");
      return PROCJOB_EMAIL_TWICE;
    }
    got(line + n, "Email=");
    j.recipients = split_string(line + n, ",", nullptr);
  } else if (has_key(line, "html=", &n)) {
    got(line + n, "html=");
    j.html = schedule_number(line + n) != 0;
  } else if (has_key(line, "schedule_email=", &n)) {
    if (j.recipients == nullptr) j.recipients = list_create(16, 4, nullptr);
    got(line + n, "schedule_email=");
    append(j.recipients, line + n);
  } else {
    for (ScheduleOption& o : j.options) {
      if (strncasecmp(line, o.key, o.key_length) != 0) continue;
      if (o.seen) {
        log_job("Got too many entries for '%s'; Aborting.\n", o.key);
        return PROCJOB_OPTION_TWICE;
      }
      o.seen = true;
      size_t length = strlen(line + o.key_length);
      o.value = static_cast<char*>(util_alloc(length + 1));
      memcpy(o.value, line + o.key_length, length + 1);
      if (&o == &j.options[OPT_ACCKEY]) {
        log_job("Got value of '[masked encryption key from log output]' for '%s'\n", o.key);
      } else {
        log_job("Got value of '%s' for '%s'\n", o.value, o.key);
      }
      break;
    }
  }
  return 0;
}

void settle(ScheduleOption& o, const char* value, bool always) {
  if (o.seen && !always) return;
  free(o.value);
  size_t length = strlen(value);
  o.value = static_cast<char*>(util_alloc(length + 1));
  memcpy(o.value, value, length + 1);
  o.seen = true;
}

std::string choose_queue_path(const char* schedule_path, Env* env) {
  std::string candidate;
  for (int i = 0; i <= 9; ++i) {
    candidate = std::string(schedule_path) + (i == 0 ? "" : "-" + std::to_string(i)) + ".eml";
    if (!UniqueFile(env->open_stream(candidate, "rb"))) return candidate;
  }
  return candidate;
}

void privilege_line(const char* name, const char* label) {
  if (enable_privilege(name, 1) != 0) {
    log_job("Failed to enable %s privilege.\n", label);
  } else {
    log_job("Successfully enabled %s privilege.\n", label);
  }
}

// Parses the plain text handed out piece by piece by `next` (fgets-like, kLineBuffer bytes):
// the header line, then every line. A line longer than the buffer arrives as several
// pieces; only its first piece is a line of its own, the rest of it is dropped, so the tail
// of a long value can never pose as a key. Answers 0 or the code that refused it; the
// settings are freed on a refusal after the header. `damaged`, when given, tells whether the
// text already ended at damage: a header cut by it is no wrong header.
int parse_pieces(const std::function<bool(char*)>& next,
                 const std::function<bool()>& damaged = nullptr) {
  char line[kLineBuffer];
  // Cleared before each piece so that a line feed found in it is the piece's own end.
  auto read = [&]() {
    memset(line, 0, sizeof line);
    return next(line);
  };
  auto ends_line = [&]() { return memchr(line, '\n', sizeof line - 1) != nullptr; };
  if (!read()) {
    log_job("Unable to decrypt file; aborting.\n");
    return PROCJOB_DECRYPT_FAILED;
  }
  if (strncmp(line, kHeader, kHeaderLength) != 0) {
    OPENSSL_cleanse(line, sizeof line);
    if (damaged && damaged()) {
      log_job("Unable to decrypt file; aborting.\n");
      return PROCJOB_DECRYPT_FAILED;
    }
    log_job("Invalid KBS header; aborting.\n");
    return PROCJOB_BAD_HEADER;
  }
  bool continuation = !ends_line();
  job_settings_reset();
  log_job("Parsing KBS file...\n");
  while (read()) {
    bool last_piece = ends_line();
    int code = continuation ? 0 : parse_line(line);
    continuation = !last_piece;
    if (code != 0) {
      OPENSSL_cleanse(line, sizeof line);
      job_settings_free();
      return code;
    }
  }
  OPENSSL_cleanse(line, sizeof line);
  return 0;
}

// Reads the schedule into the settings. Answers 0 or the code that refused it.
int read_schedule(const char* schedule_path, Env* env) {
  UniqueFile file(env->open_stream(schedule_path, "rb"));
  if (!file) {
    log_job("Cound not open schedule file '%s'; aborting.\n", schedule_path);
    return PROCJOB_OPEN_FAILED;
  }
  CryptoFile reader;
  if (cryptofile_init_application(&reader, file.get(), 0) != 0) {
    log_job("Unable to initialize crypto on file; aborting.\n");
    return PROCJOB_CRYPTO_FAILED;
  }
  int code = parse_pieces(
      [&reader](char* line) { return cryptofile_gets(&reader, line, kLineBuffer) != nullptr; },
      [&reader] { return reader.failed != 0; });
  bool whole = cryptofile_finish(&reader) == 1;
  file.reset();
  // A file cut at a block boundary parses cleanly with its last values cut short; only
  // the failed final step tells.
  if (code == 0 && !whole) {
    job_settings_free();
    log_job("Unable to decrypt file; aborting.\n");
    return PROCJOB_DECRYPT_FAILED;
  }
  if (code == 0) log_job("Parsing KBS file: complete.\n");
  return code;
}

}  // namespace

int schedule_settle() {
  JobSettings& j = job_settings();
  settle(j.options[OPT_AUTOREMOVE], "0", true);
  settle(j.options[OPT_MIRROR], "1", false);
  settle(j.options[OPT_FATALPRECMD], "0", false);
  settle(j.options[OPT_FATALPOSTCMD], "0", false);
  for (const ScheduleOption& o : j.options) {
    if (o.required && !o.seen) {
      log_job("The required '%s' option was not scpecified; aborting.\n", o.key);
      job_settings_free();
      return PROCJOB_OPTION_MISSING;
    }
  }
  return 0;
}

int schedule_parse_plain(const char* text, size_t length) {
  size_t at = 0;
  // The same pieces the encrypted file's reader hands out: up to a line feed, at most
  // kLineBuffer - 1 bytes, NUL bytes copied like any other.
  return parse_pieces([&](char* line) {
    if (at >= length) return false;
    size_t n = 0;
    while (n < kLineBuffer - 1 && at < length) {
      char c = text[at++];
      line[n++] = c;
      if (c == '\n') break;
    }
    line[n] = '\0';
    return true;
  });
}

int64_t schedule_id_from_path(const char* schedule_path) {
  // The client names schedule files "<anything><8 hex digits>.kbs"; read the file name.
  // Windows takes "/" for a backslash too, and "C:name" is a name on drive C.
  const char* name = schedule_path;
  for (const char* p = schedule_path; *p != '\0'; ++p) {
    if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
  }
  const char* dot = strrchr(name, '.');
  if (dot == nullptr || dot - name < 8) return 0;
  int64_t id = 0;
  for (const char* p = dot - 8; p < dot; ++p) {
    int c = tolower(static_cast<unsigned char>(*p));
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      return 0;
    }
    id = id * 16 + digit;
  }
  return id;
}

int enable_privilege(const char* name, int enable) {
  // Privileges are only ever raised here; lowering one needs nothing of the system.
  if (enable == 0) return 0;
  if (plat_enable_privilege(name) == 0) return 0;
  fputs(errno == EINVAL ? "Failed LookupPrivilegeValue\n" : "Failed AdjustTokenPrivileges\n",
        stdout);
  fflush(stdout);
  return 1627;
}

namespace {

// The job from its schedule to its end; `outcome` says how it ended.
int run_procjob(const char* schedule_path, Env* env, JobOutcome* outcome) {
  privilege_line("SeBackupPrivilege", "SE_BACKUP_NAME");
  privilege_line("SeRestorePrivilege", "SE_RESTORE_NAME");
  privilege_line("SeSecurityPrivilege", "SE_SECURITY_NAME");

  int code = read_schedule(schedule_path, env);
  if (code != 0) return code;

  code = schedule_settle();
  if (code != 0) return code;
  JobSettings& j = job_settings();
  if (strcmp(job_option(OPT_ENABLED), "1") != 0) {
    log_job("The schedule is disabled; aborting.\n");
    job_settings_free();
    return PROCJOB_OK;
  }
  const char* acckey = job_option(OPT_ACCKEY);
  if (strlen(acckey) != 64) {
    log_job("Error parsing encryption key; aborting.\n");
    job_settings_free();
    return PROCJOB_BAD_KEY;
  }
  hex_decode(acckey, 32, j.account_key);

  int64_t schedule_id = schedule_id_from_path(schedule_path);
  std::string queue_path = choose_queue_path(schedule_path, env);
  uint8_t digest[20];
  unsigned int digest_length = 0;
  EVP_Digest(j.account_key, sizeof j.account_key, digest, &digest_length, EVP_sha1(), nullptr);
  report_start(queue_path.c_str(), schedule_path, job_option(OPT_NAME), j.recipients, schedule_id,
               static_cast<uint32_t>(schedule_number(job_option(OPT_USER_ID))), digest,
               j.html ? 1 : 0, env);
  OPENSSL_cleanse(digest, sizeof digest);

  if (list_count(j.filters) > 1) {
    qsort(j.filters->items, static_cast<size_t>(list_count(j.filters)), sizeof(ListItem),
          compare_filters_descending);
  }
  for (int i = 0; i < list_count(j.filters); ++i)
    log_job("Got filter: '%s'\n", job_filter(i)->folder);

  log_job("Calling __do_backup()...\n");
  __do_backup(schedule_path, env, outcome);
  job_settings_free();
  return PROCJOB_OK;
}

// Records how the job ended, or (`end` JOB_RUNNING) that it began; with the report's counts
// when this job's report was started. A record that cannot be written is said where an
// operator still looks.
void record_outcome(const char* schedule_path, Env* env, const JobOutcome& outcome, bool counted) {
  static const char* const kStates[] = {"running", "complete", "failed", "stopped"};
  OutcomeRecord record;
  record.state = kStates[outcome.end];
  if (counted) {
    ReportCounts counts = report_counts();
    record.sent = counts.transferred;
    record.up_to_date = counts.up_to_date;
    record.failed = counts.failed;
    record.deleted = counts.deleted;
    record.requested = counts.requested;
  }
  if (outcome.end != JOB_RUNNING) {
    record.reason = outcome.reason;
    if (log_job_write_error() != 0) record.log_error = strerror(log_job_write_error());
  }
  if (outcome_write(env, schedule_path, record) == 0) return;
  const char* error = strerror(errno);
  std::string path = outcome_path(schedule_path);
  log_job("Could not write '%s': %s\n", path.c_str(), error);
  log_agent("Could not write '%s': %s\n", path.c_str(), error);
  char line[1200];
  snprintf(line, sizeof line, "Could not write '%s': %s", path.c_str(), error);
  plat_debug_output(line);
}

}  // namespace

int procjob(const char* schedule_path, Env* env) {
  log_job_open(schedule_path, env);
  record_outcome(schedule_path, env, JobOutcome{}, false);
  JobOutcome outcome;
  int code = run_procjob(schedule_path, env, &outcome);
  bool ran = outcome.end != JOB_RUNNING;
  if (!ran) {
    // Refused before the run began: the schedule's own line says why.
    outcome.end = JOB_FAILED;
    outcome.reason = log_job_last_message();
  }
  record_outcome(schedule_path, env, outcome, ran);
  return code;
}
