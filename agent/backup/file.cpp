#include <openssl/evp.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "agent/backup/engine.h"
#include "agent/backup/fci/fci.h"
#include "agent/backup/filters.h"
#include "agent/backup/job_state.h"
#include "agent/report/report.h"
#include "agent/runtime/liveness.h"
#include "agent/runtime/log.h"
#include "agent/runtime/progress.h"
#include "agent/stream/stream.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "protocol/ckfs.h"
#include "util/error.h"
#include "util/fsa.h"
#include "util/ignore.h"

namespace {

constexpr int kMaxAttempts = 20;
constexpr uint32_t kLockWaits = 12;

enum AttemptStatus { STATUS_OK = 0, STATUS_FAILED = -2, STATUS_RETRY = -4, STATUS_STOPPED = -5 };

// The security record, serialized into the send buffer; 0 when there is none to send.
uint16_t security_record(const char* local, uint8_t* out) {
  FsaRecord* record = get_fsa(local);
  if (record == nullptr) return 0;
  long size = fsa_serialized_size(record);
  uint16_t length = 0;
  if (size >= 0 && size <= CKFS_WOPEN_RECORD_MAX && fsa_serialize(record, out) == 0) {
    length = static_cast<uint16_t>(size);
  }
  free(record);
  return length;
}

// A block message on the connection that opened the file. When the session had to
// connect again on the way, the server has forgotten the handle and quietly drops the
// messages that await no reply, so the file must start over as after a broken read.
int send_write(ckfs_session* session, uint32_t connection, uint8_t handle, uint8_t subtype,
               const uint8_t* data, uint32_t length) {
  ckfs_write_request w{};
  w.handle = handle;
  w.subtype = subtype;
  w.length = length;
  w.data = data;
  int code = ckfs_file_write(session, &w);
  return session->connections != connection ? ERR_SCKREAD : code;
}

// Builds the chain for block j: read, optional checksum, deflate, AES. Logs and answers
// false when a stage cannot be set up.
StreamPtr build_chain(int fd, int64_t offset, int limit, uint64_t* counter, uint8_t* digest,
                      const uint8_t* key, const char* local) {
  StreamPtr chain = file_read_stream_new(fd, offset, limit, counter);
  if (!chain) {
    log_job("FILE: ERROR: Setup of file read stream failed on '%s'\n", local);
    return nullptr;
  }
  if (digest != nullptr) {
    StreamPtr checked = checksum_stream_new(std::move(chain), digest);
    if (!checked) {
      log_job("FILE: ERROR: Setup of file read stream failed on '%s'\n", local);
      return nullptr;
    }
    chain = std::move(checked);
  }
  StreamPtr compressed = compression_stream_new(std::move(chain));
  if (!compressed) {
    log_job("FILE: ERROR: Setup of compression stream failed on '%s'\n", local);
    return nullptr;
  }
  StreamPtr encrypted = encryption_stream_new(std::move(compressed), key);
  if (!encrypted) {
    log_job("FILE: ERROR: Setup of encryption stream failed on '%s'\n", local);
    return nullptr;
  }
  return encrypted;
}

}  // namespace

int block_md5(int fd, int64_t offset, uint32_t length, uint8_t digest[16]) {
  if (plat_seek(fd, offset) != 0) return 1;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx == nullptr || EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) != 1) {
    EVP_MD_CTX_free(ctx);
    return 1;
  }
  uint8_t buffer[8192];
  uint32_t left = length;
  while (left > 0) {
    ssize_t n = plat_read(fd, buffer, left < sizeof buffer ? left : sizeof buffer);
    if (n < 0) {
      EVP_MD_CTX_free(ctx);
      return 1;
    }
    if (n == 0) break;
    EVP_DigestUpdate(ctx, buffer, static_cast<size_t>(n));
    left -= static_cast<uint32_t>(n);
  }
  unsigned int out_length = 0;
  EVP_DigestFinal_ex(ctx, digest, &out_length);
  EVP_MD_CTX_free(ctx);
  return 0;
}

int file_wopen_retry(JobContext* job, ckfs_wopen_request* request) {
  ckfs_session* session = &job->session;
  int code = ckfs_file_wopen(session, request);
  uint32_t waits = 0;
  // As in mkdir_retry: a refusal that a fresh lock does not cure is not sent forever.
  uint32_t resends = 0;
  while ((code == ERR_ACCESS || code == ERR_SCKREAD) && resends++ < kLockWaits) {
    uint32_t destination = job->destination_id;
    ckfs_lock_request lock{static_cast<uint8_t>(job->index_valid ? CKFS_LOCK_USES_INDEX : 0), 1,
                           &destination};
    int lock_code = ckfs_user_lock(session, &lock);
    while (lock_code == ERR_ACCESS && waits < kLockWaits) {
      plat_sleep_ms(engine_lock_wait_ms(60000));
      ++waits;
      lock_code = ckfs_user_lock(session, &lock);
    }
    if (lock_code != 0) return lock_code;
    code = ckfs_file_wopen(session, request);
    if ((code == ERR_ACCESS || code == ERR_SCKREAD) && waits >= kLockWaits) return code;
  }
  return code;
}

void do_file(JobContext* job, const char* local, const char* remote, const ItemStatus* status,
             const ScheduleFilter* filter) {
  ckfs_session* session = &job->session;
  liveness_bump();
  if (is_ignore_path(local, status->is_directory)) return;
  if (filter != nullptr && filter_excludes(filter, local)) {
    log_job("FILE: Skipping '%s' due to filter.\n", local);
    return;
  }
  progress_begin_file(local, status->size);
  int current = 0;
  (void)fci_lookup(&job->index, local, status->modification_time, status->size, &current);
  if (current) {
    log_job("FILE: Current; Not backing up: '%s'\n", local);
    (void)fci_add(&job->index, local, status->modification_time, status->size);
    report_count_current();
    job->done_bytes += status->size;
    progress_end_file(PROGRESS_CURRENT);
    return;
  }
  if (filter != nullptr && make_today_folders(job, remote) != 0) {
    log_job("FILE: ERROR: Failed to generate filter parent directories while on '%s'\n", local);
    return;
  }

  uint8_t* send = job->send_buffer;
  const uint8_t* key = job_settings().account_key;
  int fd = -1;
  int attempts = 0;
  int state = STATUS_OK;
  bool closed = false;
  ckfs_wopen_request open{};
  for (;;) {
    // One attempt.
    open = ckfs_wopen_request{};
    open.mode = 1;
    open.modification_time = static_cast<int64_t>(status->modification_time);
    open.path = remote;
    open.size = status->size;
    open.record_length = security_record(local, send);
    open.record = send;
    int code = file_wopen_retry(job, &open);
    // A block size the stream cannot take is a broken reply, not a file to read.
    if (code == 0 && open.block_count > 0 &&
        (open.block_size == 0 || open.block_size > 0x40000000u)) {
      (void)ckfs_file_close(session, open.handle);
      code = ERR_SEQUENCE;
    }
    if (code == ERR_UP2DATE) {
      log_job("FILE: File was reported to be changed, but is in fact up to date: '%s'\n", local);
      (void)fci_add(&job->index, local, status->modification_time, status->size);
      report_count_current();
      job->done_bytes += status->size;
      progress_end_file(PROGRESS_CURRENT);
      if (fd >= 0) plat_close(fd);
      return;
    }
    if (code != 0) {
      log_job("FILE: ERROR: Failed to backup '%s' (errno=%d)\n", local, code);
      report_fail_file_code(local, code);
      progress_end_file(PROGRESS_FAILED);
      if (fd >= 0) plat_close(fd);
      return;
    }
    if (fd < 0) {
      fd = plat_open_read(local);
      if (fd < 0) {
        map_system_error();
        int err = errno;
        (void)ckfs_file_close(session, open.handle);
        progress_end_file(PROGRESS_FAILED);
        if (err == ENOENT) {
          log_job("FILE: File does not exist: '%s'\n", local);
        } else {
          log_job("FILE: ERROR Backing up '%s' (errno=%d)\n", local, err);
          report_fail_file_errno(local, err);
        }
        return;
      }
    }
    const uint32_t connection = session->connections;
    state = STATUS_OK;
    uint64_t bytes_read = 0;
    bool retry = false;
    for (uint32_t j = 0; j < open.block_count && state == STATUS_OK && !retry; ++j) {
      liveness_bump();
      int64_t offset = static_cast<int64_t>(j) * open.block_size;
      uint8_t digest[16];
      bool single = open.block_count == 1;
      bool query_has_md5 = !single && j < open.checksummed_blocks;
      if (query_has_md5 && block_md5(fd, offset, open.block_size, digest) != 0) {
        report_fail_file_errno(local, errno);
        state = STATUS_FAILED;
        log_job("FILE: ERROR: Failed calculating checksum for: '%s'\n", local);
        break;
      }
      code = send_write(session, connection, open.handle, CKFS_WRITE_QUERY,
                        query_has_md5 ? digest : nullptr, query_has_md5 ? 16 : 0);
      if (code == ERR_UP2DATE) {
        progress_file_bytes(open.block_size);
        continue;
      }
      if (code == ERR_BADKEY || code == ERR_SCKREAD) {
        progress_file_bytes(0);
        log_job(code == ERR_BADKEY ? "FILE: ERROR: ERR_BADKEY on '%s'\n"
                                   : "FILE: ERROR: ERR_SCKREAD on '%s'\n",
                local);
        retry = true;
        break;
      }
      if (code != 0) {
        report_fail_file_code(local, code);
        state = STATUS_FAILED;
        log_job("FILE: ERROR: Server side failure with error code %d on '%s'\n", code, local);
        break;
      }
      StreamPtr chain = build_chain(fd, offset, static_cast<int>(open.block_size), &bytes_read,
                                    single || query_has_md5 ? nullptr : digest, key, local);
      if (!chain) {
        report_fail_file_errno(local, -1);
        state = STATUS_FAILED;
        break;
      }
      int got = 0;
      const uint64_t block_start = bytes_read;
      for (;;) {
        if (progress_terminate_requested()) {
          log_job("User terminated the backup.\n");
          set_user_terminated();
          state = STATUS_STOPPED;
          break;
        }
        got = chain->read(send, ENGINE_DATA_MESSAGE_MAX);
        if (got < 0) break;
        liveness_bump();
        code = send_write(session, connection, open.handle, CKFS_WRITE_DATA, send,
                          static_cast<uint32_t>(got));
        if (code == 0) {
          progress_file_bytes(bytes_read);
          if (got == 0) break;
          continue;
        }
        if (code == ERR_BADKEY || code == ERR_SCKREAD) {
          log_job(code == ERR_BADKEY ? "FILE: ERROR: ERR_BADKEY on '%s'\n"
                                     : "FILE: ERROR: ERR_SCKREAD on '%s'\n",
                  local);
          progress_file_bytes(0);
          state = STATUS_RETRY;
        } else {
          log_job("FILE: ERROR: Failed with code %d on '%s'\n", code, local);
          report_fail_file_code(local, code);
          state = STATUS_FAILED;
        }
        break;
      }
      if (got == STREAM_FATAL) {
        log_job("FILE: ERROR: MASSIVELY FATAL ERROR while processing '%s'; Aborting all backup.\n",
                local);
        report_failure_text("Massively fatal internal error! Backup aborted.");
        exit(1);
      }
      // A read or cipher failure inside a block: the data sent so far cannot make a
      // valid block, so the file is started over like a broken link would be; the
      // attempt limit bounds a file that keeps failing. A block shorter or longer than
      // the size the file was opened with (the file changed while being read) would be
      // stored as a broken version, so it counts as such a failure too.
      const uint64_t remaining =
          status->size > static_cast<uint64_t>(offset) ? status->size - offset : 0;
      const uint64_t expected = remaining < open.block_size ? remaining : open.block_size;
      if (state == STATUS_OK && got != STREAM_FATAL &&
          (got == STREAM_ERROR || bytes_read - block_start != expected)) {
        log_job("FILE: ERROR: Read failure while streaming '%s'\n", local);
        state = STATUS_RETRY;
      }
      chain.reset();
      if (state == STATUS_RETRY) {
        retry = true;
        break;
      }
      if (state != STATUS_OK) break;
      code = send_write(session, connection, open.handle, CKFS_WRITE_END, single ? nullptr : digest,
                        single ? 0 : 16);
      if (code == 0) continue;
      if (code == ERR_BADKEY || code == ERR_SCKREAD) {
        log_job(code == ERR_BADKEY ? "FILE: ERROR: ERR_BADKEY on '%s' while sending checksum.\n"
                                   : "FILE: ERROR: ERR_SCKREAD on '%s' while sending checksum.\n",
                local);
        progress_file_bytes(0);
        retry = true;
        break;
      }
      report_fail_file_code(local, code);
      state = STATUS_FAILED;
      log_job("FILE: ERROR: Failed with code %d on '%s' while sending checksum\n", code, local);
    }
    if (!retry && state == STATUS_OK) {
      // The close commits the file; it too must reach the connection that opened it.
      (void)ckfs_file_close(session, open.handle);
      closed = true;
      if (session->connections != connection) {
        log_job("FILE: ERROR: ERR_SCKREAD on '%s'\n", local);
        closed = false;
        retry = true;
      }
    }
    if (!retry) break;
    progress_file_bytes(0);
    if (++attempts >= kMaxAttempts) {
      log_job(
          "FILE: ERROR: Exceeded maximum retries (%d) while processing '%s'. Giving up on this "
          "file.\n",
          kMaxAttempts, local);
      report_fail_file_code(local, ERR_BADKEY);
      plat_close(fd);
      progress_end_file(PROGRESS_FAILED);
      return;
    }
    (void)plat_seek(fd, 0);
  }

  // Finish.
  if (!closed) (void)ckfs_file_close(session, open.handle);
  plat_close(fd);
  if (state == STATUS_OK) {
    (void)fci_add(&job->index, local, status->modification_time, status->size);
    report_count_transferred();
    job->done_bytes += status->size;
    log_job("FILE: Successfully backed up '%s'\n", local);
    progress_end_file(PROGRESS_BACKED_UP);
  } else if (state == STATUS_STOPPED) {
    log_job("FILE: User terminated backup while processing '%s'\n", local);
    progress_end_file(PROGRESS_FAILED);
  } else {
    log_job("FILE: Failed backing up '%s' (KBS error code %d)\n", local, state);
    progress_end_file(PROGRESS_FAILED);
  }
}
