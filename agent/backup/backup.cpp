// The job run: from the pre-backup command to the post-backup command, one job at a time
// on the backup thread.
#include <openssl/evp.h>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "agent/backup/backup.h"

#include "agent/backup/commands.h"
#include "agent/backup/engine.h"
#include "agent/backup/fci/fci.h"
#include "agent/backup/filters.h"
#include "agent/backup/job_state.h"
#include "agent/backup/settings.h"
#include "agent/report/mail_queue.h"
#include "agent/report/report.h"
#include "agent/runtime/liveness.h"
#include "agent/runtime/log.h"
#include "agent/runtime/progress.h"
#include "agent/runtime/unique_file.h"
#include "platform/env.h"
#include "platform/knobs.h"
#include "protocol/ckfs.h"
#include "util/error.h"
#include "util/fs.h"
#include "util/machine.h"

namespace {

constexpr int kLockRetries = 12;     // of the job's first lock, 5 s apart
constexpr uint32_t kLockWaits = 12;  // of a lock re-taken for a request, 60 s apart

struct Totals {
  uint64_t items = 0;
  uint64_t bytes = 0;
  uint64_t bytes_on_disk = 0;
  uint64_t missing = 0;
  uint64_t excluded = 0;
};

struct SizingWalk {
  Totals* totals;
  const ScheduleFilter* filter;
};

int size_entry(const walk_entry* entry, void* user_data) {
  SizingWalk* walk = static_cast<SizingWalk*>(user_data);
  liveness_bump();
  if (is_excluded_source(entry->path) || is_filter_folder(entry->path)) return WALK_SKIP;
  bool directory = (entry->mode & 0x4000) != 0;
  if (!directory && walk->filter != nullptr && filter_excludes(walk->filter, entry->path)) {
    return WALK_SKIP;
  }
  if (!directory) ++walk->totals->items;
  walk->totals->bytes += entry->size;
  walk->totals->bytes_on_disk += entry->size_on_disk;
  return WALK_CONTINUE;
}

// The bare share root "\\server\share" cannot be looked at without a trailing backslash.
std::string unc_to_share_path(const char* path) {
  std::string p = path;
  if (p.size() > 2 && p[0] == '\\' && p[1] == '\\') {
    size_t server_end = p.find('\\', 2);
    if (server_end != std::string::npos && server_end > 2 && server_end + 1 < p.size() &&
        p.find('\\', server_end + 1) == std::string::npos) {
      p.push_back('\\');
    }
  }
  return p;
}

bool is_reparse_point(Env* env, const char* path) {
  PlatFindData data{};
  PlatFindHandle find = env->find_first(path, &data);
  return find && (data.attributes & PLAT_ATTR_REPARSE_POINT) != 0;
}

// Counts one source or filter folder of the sizing pass.
void size_item(Env* env, const char* path, const ScheduleFilter* filter, Totals* totals) {
  ItemStatus st{};
  if (engine_stat(env, unc_to_share_path(path).c_str(), &st) != 0) {
    ++totals->missing;
    ++totals->items;
    return;
  }
  if (is_reparse_point(env, path)) {
    log_job("FILE: Ignoring '%s' because it is a reparse point.\n", path);
    return;
  }
  if (st.is_directory) {
    SizingWalk walk{totals, filter};
    walk_request request{WALK_RECURSE | WALK_DIRS_FIRST, nullptr, size_entry, &walk};
    (void)dir_walk(path, &request);
  } else if (filter == nullptr) {
    totals->bytes += st.size;
    totals->bytes_on_disk += round_up_to_cluster(st.size, get_cluster_size(path));
    ++totals->items;
  }
}

Totals sizing_pass(Env* env) {
  Totals totals;
  JobSettings& job = job_settings();
  log_job("Calculating...\n");
  progress_begin_file("", 0);
  progress_set_status("Calculating...");
  for (int i = 0; i < list_count(job.sources); ++i) {
    const char* source = list_item(job.sources, i);
    liveness_bump();
    if (is_excluded_source(source) || is_filter_folder(source)) {
      ++totals.excluded;
      continue;
    }
    size_item(env, source, nullptr, &totals);
  }
  for (int i = 0; i < list_count(job.filters); ++i) {
    liveness_bump();
    size_item(env, job_filter(i)->folder, job_filter(i), &totals);
  }
  log_job("Calculated backup size: %" PRIu64 " bytes\n", totals.bytes);
  log_job("Calculated backup size on disk: %" PRIu64 " bytes\n", totals.bytes_on_disk);
  log_job("NOTICE: %d missing items.\n", static_cast<int>(static_cast<uint32_t>(totals.missing)));
  log_job("NOTICE: %d excluded items.\n", static_cast<int>(static_cast<uint32_t>(totals.excluded)));
  return totals;
}

int file_md5(Env* env, const char* path, uint8_t digest[16]) {
  EnvFile fd(env, env->open_read(path));
  if (!fd.valid()) return -1;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_md5(), nullptr);
  uint8_t buffer[4096];
  ssize_t n;
  while ((n = env->read(fd.get(), buffer, sizeof buffer)) > 0)
    EVP_DigestUpdate(ctx, buffer, static_cast<size_t>(n));
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx, digest, &length);
  EVP_MD_CTX_free(ctx);
  return 0;
}

std::string stamp_path(const char* schedule_path) {
  return std::string(schedule_path) + ".ts";
}

void check_stamp(Env* env, const char* schedule_path, ckfs_session* session) {
  size_t n = 0;
  uint8_t stamp[1024];
  {
    UniqueFile f(env->open_stream(stamp_path(schedule_path), "rb"));
    if (!f) return;
    n = fread(stamp, 1, sizeof stamp, f.get());
  }
  // A stamp that does not carry a full matching digest (torn, or of another form) cannot
  // vouch that the schedule is unchanged.
  uint8_t digest[16];
  memset(digest, 0, sizeof digest);
  bool vouches = n >= 20 && memcmp(stamp, "md5=", 4) == 0 &&
                 file_md5(env, schedule_path, digest) == 0 && memcmp(stamp + 4, digest, 16) == 0;
  if (!vouches) session->lock_token = 0;
}

void write_stamp(Env* env, const char* schedule_path) {
  uint8_t digest[16];
  memset(digest, 0, sizeof digest);
  file_md5(env, schedule_path, digest);
  UniqueFile f(env->open_stream(stamp_path(schedule_path), "wb"));
  if (!f) return;
  fwrite("md5=", 1, 4, f.get());
  fwrite(digest, 1, 16, f.get());
  // A stamp that did not reach the disk only costs the next run its index (the stamp is
  // checked whole there); the line says the stamp was written, as before.
  (void)f.close();
  log_job("Rewrote MD5.\n");
}

int lock(JobContext* job, uint8_t flags) {
  uint32_t destination = job->destination_id;
  ckfs_lock_request request{flags, 1, &destination};
  return ckfs_user_lock(&job->session, &request);
}

// Places the item's server path after `base` (which ends in "/"), creating its parent
// folders when the full local path is mirrored. Answers false for an item that has no
// place (a relative path with mirroring on).
bool place_item(JobContext* job, const std::string& base, const char* item, bool mirror,
                std::string* remote) {
  std::string placed;
  if (mirror) {
    size_t length = strlen(item);
    if (length >= 3 && item[1] == ':' && item[2] == '\\') {
      placed = std::string(1, item[0]) + " Drive/" + (item + 3);
    } else if (length > 2 && item[0] == '\\' && item[1] == '\\') {
      const char* server = item + 2;
      const char* server_end = strchr(server, '\\');
      if (server_end == nullptr || server_end == server) return false;
      const char* share = server_end + 1;
      const char* share_end = strchr(share, '\\');
      if (share_end == nullptr) {
        if (*share == '\0') return false;
        placed = std::string(server, server_end) + " " + share + " Share/";
      } else {
        placed = std::string(server, server_end) + " " + std::string(share, share_end) + " Share/" +
                 (share_end + 1);
      }
    } else {
      return false;
    }
    for (char& c : placed) {
      if (c == '\\') c = '/';
    }
    for (size_t slash = placed.find('/'); slash != std::string::npos;
         slash = placed.find('/', slash + 1)) {
      std::string folder = base + placed.substr(0, slash);
      if (folder.size() < ENGINE_REMOTE_PATH_MAX) (void)mkdir_retry(job, 0, folder.c_str());
    }
  } else {
    const char* slash = strrchr(item, '\\');
    if (slash != nullptr) {
      placed = slash + 1;
    } else if (item[0] != '\0' && item[1] == ':') {
      placed = item + 2;
    } else {
      placed = item;
    }
  }
  *remote = base + placed;
  return true;
}

void back_up_item(JobContext* job, const std::string& base, const char* item,
                  const ScheduleFilter* filter, bool mirror) {
  liveness_bump();
  std::string remote;
  if (!place_item(job, base, item, mirror, &remote)) return;
  if (is_excluded_source(item)) return;
  if (remote.size() >= ENGINE_REMOTE_PATH_MAX) {
    log_job("FILE: ERROR: Remote path too long for '%s'\n", item);
    report_fail_file_code(item, ERR_INVARG);
    return;
  }
  ItemStatus st{};
  if (engine_stat(job->env, unc_to_share_path(item).c_str(), &st) != 0) {
    report_stat_failure(item, errno);
    return;
  }
  if (is_reparse_point(job->env, item)) {
    log_job("FILE: Ignoring '%s' because it is a reparse point.\n", item);
    return;
  }
  if (st.is_directory) {
    do_dir(job, item, remote.c_str(), filter);
    sync_end_source(job, item);
  } else {
    do_file(job, item, remote.c_str(), &st, filter);
  }
}

}  // namespace

uint32_t engine_lock_wait_ms(uint32_t production_ms) {
  uint32_t ms = plat_knob_ms(KNOB_LOCK_WAIT_MS, production_ms);
  return ms < production_ms ? ms : production_ms;
}

void report_stat_failure(const char* item, int error) {
  log_job("FILE: ERROR (errno %d) while attempting to stat() file: '%s'\n", error, item);
  if (error == ENOENT) log_job("Previous error indicates the file was not found.\n");
  if (error == EINVAL)
    log_job("Previous error indicates invalid parameter. Check for invalid file time stamps!\n");
  report_fail_file_errno(item, error);
}

int engine_stat(Env* env, const char* local, ItemStatus* status) {
  PlatFileStatus st{};
  if (env->file_status(local, &st) != 0) return -1;
  status->is_directory = st.is_directory;
  status->modification_time = static_cast<int32_t>(st.modification_time);
  status->size = st.is_directory ? 0 : st.size;
  return 0;
}

int send_with_lock(JobContext* job, const std::function<int()>& send) {
  int code = send();
  uint32_t waits = 0;
  // A server may grant the lock and still refuse the request; it is sent again at most as
  // often as the lock may be waited for, so such a refusal cannot spin.
  uint32_t resends = 0;
  while ((code == ERR_ACCESS || code == ERR_SCKREAD) && resends++ < kLockWaits) {
    int lock_code = lock(job, job->index_valid ? CKFS_LOCK_USES_INDEX : 0);
    while (lock_code == ERR_ACCESS && waits < kLockWaits) {
      job->env->sleep_ms(engine_lock_wait_ms(60000));
      ++waits;
      lock_code = lock(job, job->index_valid ? CKFS_LOCK_USES_INDEX : 0);
    }
    if (lock_code != 0) return lock_code;
    code = send();
    if ((code == ERR_ACCESS || code == ERR_SCKREAD) && waits >= kLockWaits) return code;
  }
  return code;
}

int mkdir_retry(JobContext* job, uint8_t flags, const char* path) {
  ckfs_path_request request{flags, path};
  return send_with_lock(job, [&] { return ckfs_mkdir(&job->session, &request); });
}

namespace {

bool has_command(ScheduleOptionIndex option) {
  return job_settings().options[option].value != nullptr && *job_option(option) != '\0';
}

// Fills the session record and the destination id from the job settings.
void start_session(JobContext* job, const char* schedule_path, uint64_t total_bytes) {
  const JobSettings& settings = job_settings();
  ckfs_session* session = &job->session;
  progress_set_status("Synchronizing...");
  session->mode = 1;
  session->user_number = static_cast<uint32_t>(schedule_number(job_option(OPT_USER_ID)));
  get_machine_token(session->machine_token);
  snprintf(session->hosts_path, sizeof session->hosts_path, "%s", "etc/hosts");
  session->cipher_kind = 3;
  unsigned int digest_length = 0;
  EVP_Digest(settings.account_key, sizeof settings.account_key, session->key_digest, &digest_length,
             EVP_sha1(), nullptr);
  snprintf(session->schedule_name, sizeof session->schedule_name, "%s", job_option(OPT_NAME));
  const char* file_name = strrchr(schedule_path, '\\');
  snprintf(session->schedule_file, sizeof session->schedule_file, "%s",
           file_name != nullptr ? file_name + 1 : schedule_path);
  progress_set_total(total_bytes);
  const char* dest = job_option(OPT_DEST);
  job->destination_id = dest[0] != '\0' ? static_cast<uint32_t>(schedule_number(dest + 1)) : 0;
}

// The first request connects and logs in, so every connection or login failure arrives
// as the lock's answer. Answers true when the lock is held; otherwise the failure is
// logged and reported, and `reason` says it.
bool take_user_lock(JobContext* job, std::string* reason) {
  int code = lock(job, 0);
  for (int left = kLockRetries; code == ERR_ACCESS && left > 0; --left) {
    log_job(
        "Could not obtain user lock (user already logged in?); Sleeping %d seconds and trying "
        "%d more times...\n",
        5, left);
    job->env->sleep_ms(engine_lock_wait_ms(5000));
    code = lock(job, 0);
  }
  if (code == ERR_ACCESS) {
    log_job("Maximum number of attempts to obtain user lock exhausted; aborting.\n");
    report_session(&job->session);
    report_failure_code(ERR_ACCESS);
    *reason = log_job_last_message();
    return false;
  }
  if (code != 0) {
    // The code alone names no server and no cause; the session kept both.
    const char* why = job->session.connect_failure;
    if (why[0] != '\0') log_job("Could not connect to a backup server: %s\n", why);
    log_job("Unable to start user session (Error %d); aborting.\n", code);
    report_failure_code(code);
    *reason = log_job_last_message();
    if (why[0] != '\0') *reason += std::string(" (") + why + ")";
    return false;
  }
  report_session(&job->session);
  log_job("User lock obtained; Ready to begin.\n");
  return true;
}

// Reports earlier runs of this schedule could not hand over go first, on this session,
// when they were written for the account it is logged in as. One line per report.
void send_queue(JobContext* job, const char* schedule_path) {
  if (plat_knob_count(KNOB_SEND_QUEUE, PLAT_SEND_QUEUE_DEFAULT) == 0) return;
  const std::string token = mail_queue_token(job->session.key_digest);
  ckfs_session* session = &job->session;
  auto session_for = [&](const QueuedReport& r) -> ckfs_session* {
    return r.user_number == session->user_number && r.encryption_token == token ? session : nullptr;
  };
  for (int i = 0; i < MAIL_QUEUE_SERIES && !job_ending(job); ++i) {
    const std::string path = mail_queue_name(schedule_path, i);
    MailQueueItem item = mail_queue_send(job->env, path, session_for);
    if (item.state == MAIL_QUEUE_ABSENT) continue;
    if (item.state == MAIL_QUEUE_SENT) {
      log_job("Sent queued report '%s' to %s.\n", path.c_str(), item.report.to.c_str());
    } else {
      log_job("Kept queued report '%s': %s.\n", path.c_str(), mail_queue_why(item).c_str());
    }
  }
}

void open_index(JobContext* job, const char* schedule_path) {
  job->index_valid = fci_open(&job->index, schedule_path, job->session.lock_token) == 0;
  if (!job->index_valid) {
    log_job("Not using FCI cache.\n");
    return;
  }
  log_job("Using FCI cache.\n");
  (void)lock(job, CKFS_LOCK_USES_INDEX | CKFS_LOCK_INDEX_START);
  job->session.keep_lock_token = 1;
}

// Every source, then every filter folder, below the destination; ends with the report.
void transfer(JobContext* job, const Totals& totals) {
  const JobSettings& settings = job_settings();
  const char* dest = job_option(OPT_DEST);
  report_begin(totals.items, totals.bytes, dest);
  start_encoders(job);
  progress_set_status("Backing up...");
  log_job("Starting backup of files...\n");
  progress_set_start_tick(static_cast<uint32_t>(job->env->tick_ms()));

  std::string base = dest;
  if (base.size() >= ENGINE_REMOTE_PATH_MAX - 1) base.resize(ENGINE_REMOTE_PATH_MAX - 2);
  (void)mkdir_retry(job, 0, base.c_str());
  if (base.empty() || base.back() != '/') base.push_back('/');

  bool mirror = schedule_number(job_option(OPT_MIRROR)) != 0;
  for (int i = 0; i < list_count(settings.sources) && !job_ending(job); ++i) {
    back_up_item(job, base, list_item(settings.sources, i), nullptr, mirror);
  }
  for (int i = 0; i < list_count(settings.filters) && !job_ending(job); ++i) {
    back_up_item(job, base, job_filter(i)->folder, job_filter(i), mirror);
  }
  // Files whose close went down with a connection are sent again while the lock is held.
  settle_closes(job);
  resend_lost(job);
}

// Releases the user lock; its reply confirms the last closes. The close of a file awaits
// no reply, so only now is every file's outcome known. Files whose close the release did
// not confirm are sent again once under a new lock (whose reply settles them, on the old
// connection or a new one); what is still not confirmed fails. Answers the token of the
// first release, which stamps the new index: the second sends none, since a server that
// lost part of the run withdrew the token at the first, and must not be told one again.
uint32_t release_session(JobContext* job) {
  const uint32_t now = static_cast<uint32_t>(job->env->unix_time());
  job->session.lock_token = now;
  const int code = lock(job, CKFS_LOCK_RELEASE | CKFS_LOCK_SEND_TOKEN);
  settle_closes(job);
  const bool unsettled =
      !job->lost_closes.empty() || (code != 0 && !job->unconfirmed_closes.empty());
  if (unsettled && !job_ending(job) &&
      lock(job, job->index_valid ? CKFS_LOCK_USES_INDEX : 0) == 0) {
    settle_closes(job);
    resend_lost(job);
    (void)lock(job, CKFS_LOCK_RELEASE);
  }
  settle_closes(job, true);
  return now;
}

// The end of the transfer in the log and the report.
void conclude(JobContext* job, const Totals& totals) {
  if (user_terminated()) {
    report_failure_text(
        "The backup started but did not complete because it was terminated by the user.");
  } else if (job->server_lost) {
    const uint64_t ended = progress_items_ended();
    log_job("%llu of %llu items were not reached.\n",
            static_cast<unsigned long long>(totals.items > ended ? totals.items - ended : 0),
            static_cast<unsigned long long>(totals.items));
    report_failure_text(
        "The backup started but did not complete because the server could not be reached.");
  }
  const ReportCounts counts = report_counts();
  log_job("Summary: %" PRIu64 " files sent, %" PRIu64 " current, %" PRIu64 " failed, %" PRIu64
          " deleted from the server.\n",
          counts.transferred, counts.up_to_date, counts.failed, counts.deleted);
  // The stop size is what the run leaves on the server: the bytes of every item it backed
  // up or found current.
  report_success(job->done_bytes);
  log_job("Backup of files complete.\n");
}

void end_session(JobContext* job, uint32_t stamp) {
  fci_close(&job->index, stamp);
  free_today_folders(job);
}

// A stopped job's log would otherwise end with the logout or the stamp, like a job cut off
// by a crash: its last line says how it ended, as "Backup job completed normally." does.
void log_stopped() {
  log_job("Backup job stopped by the user.\n");
}

// From the user lock to the logout. Answers false when the lock could not be taken; sets
// *lost when the server was given up on the way.
bool run_session(Env* env, const char* schedule_path, const Totals& totals, std::string* reason,
                 bool* lost) {
  // On the heap: the send buffer and the index are large.
  auto job = std::make_unique<JobContext>(env);
  start_session(job.get(), schedule_path, totals.bytes);
  if (!take_user_lock(job.get(), reason)) return false;
  send_queue(job.get(), schedule_path);
  check_stamp(job->env, schedule_path, &job->session);
  open_index(job.get(), schedule_path);
  transfer(job.get(), totals);
  const uint32_t stamp = release_session(job.get());
  conclude(job.get(), totals);
  *lost = job->server_lost;
  end_session(job.get(), stamp);
  job.reset();
  log_job("Logged out user.\n");
  return true;
}

}  // namespace

JobContext::JobContext(Env* job_env) : env(job_env) {
  ckfs_session_init(&session);
  session.env = env;
  // A small file's data, block end and close then share one send with the next open.
  session.hold_no_reply = 1;
  index.env = env;
}

JobContext::~JobContext() {
  report_session_gone(&session);
  ckfs_session_reset(&session);
}

namespace {

// Why a run ended early, as the operator is told: the report's failure text, or (when the
// report had none to give) the last line of the job log.
std::string early_reason() {
  std::string text = report_counts().failure_message;
  return text.empty() ? log_job_last_message() : text;
}

JobOutcome run_job(const char* schedule_path, Env* env) {
  JobOutcome out;
  progress_set_schedule_name(job_option(OPT_NAME));
  if (has_command(OPT_PRECMD) &&
      !run_backup_command(COMMAND_PRE_BACKUP, job_option(OPT_PRECMD), env)) {
    out.end = user_terminated() ? JOB_STOPPED : JOB_FAILED;
    out.reason = early_reason();
    if (user_terminated()) log_stopped();
    return out;
  }
  Totals totals = sizing_pass(env);
  bool lost = false;
  if (!run_session(env, schedule_path, totals, &out.reason, &lost)) {
    out.end = JOB_FAILED;
    return out;
  }
  write_stamp(env, schedule_path);
  if (user_terminated()) {
    out.end = JOB_STOPPED;
    out.reason = early_reason();
    log_stopped();
    return out;
  }
  if (lost) {
    out.end = JOB_FAILED;
    out.reason = early_reason();
    log_job("Backup job ended: the server could not be reached.\n");
    return out;
  }
  out.end = JOB_COMPLETE;
  if (has_command(OPT_POSTCMD) &&
      !run_backup_command(COMMAND_POST_BACKUP, job_option(OPT_POSTCMD), env)) {
    out.reason = log_job_last_message();
    return out;
  }
  log_job("Backup job completed normally.\n");
  return out;
}

}  // namespace

int __do_backup(const char* schedule_path, Env* env, JobOutcome* outcome) {
  JobOutcome out = run_job(schedule_path, env);
  if (outcome != nullptr) *outcome = out;
  return 0;
}
