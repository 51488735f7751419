#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "agent/backup/engine.h"
#include "agent/backup/fci/fci.h"
#include "agent/backup/filters.h"
#include "agent/backup/job_state.h"
#include "agent/backup/prepare.h"
#include "agent/report/report.h"
#include "agent/runtime/liveness.h"
#include "agent/runtime/log.h"
#include "agent/runtime/progress.h"
#include "agent/stream/stream.h"
#include "platform/env.h"
#include "protocol/ckfs.h"
#include "protocol/codes.h"
#include "util/error.h"
#include "util/fsa.h"
#include "util/ignore.h"

namespace {

constexpr int kMaxAttempts = 20;

// The security record, serialized into the send buffer; 0 when there is none to send.
uint16_t security_record(Env* env, const char* local, uint8_t* out) {
  FsaRecord* record = get_fsa(env, local);
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
// connect again on the way, the server has forgotten the handle, so the file must start
// over as after a broken read.
int send_write(ckfs_session* session, ckfs_mark opened, uint8_t handle, uint8_t subtype,
               const uint8_t* data, uint32_t length) {
  ckfs_write_request w{};
  w.handle = handle;
  w.subtype = subtype;
  w.length = length;
  w.data = data;
  int code = ckfs_file_write(session, &w);
  return ckfs_same_connection(session, opened) ? code : ERR_SCKREAD;
}

}  // namespace

int file_wopen_retry(JobContext* job, ckfs_wopen_request* request) {
  return send_with_lock(job, [&] { return ckfs_file_wopen(&job->session, request); });
}

namespace {

// How a step of the transfer ended. The numbers of kFailed and kStopped are the status
// the job log names at the end.
enum class Step {
  kNext,       // go on
  kUnchanged,  // the server holds this block already
  kRetry,      // start the whole file over (fresh open, file rewound)
  kFailed,     // the file failed; logged and reported where it happened
  kStopped,    // the user stopped the backup
  kSettled,    // the open settled the file (up to date, refused, gone): nothing to finish
};
constexpr int kFailedStatus = -2;

// One file on its way to the server.
struct Transfer {
  JobContext* job;
  const char* local;
  const char* remote;
  const ItemStatus* status;
  SharedFile file;          // opened on the first attempt, kept across retries
  ckfs_wopen_request open;  // this attempt's request and the server's answer
  // What this attempt announces and reads: the walk's view at first, the open
  // descriptor's size on a retry. Bytes beyond it are left for the next run.
  int32_t modification_time = 0;
  uint64_t size = 0;
  ckfs_mark opened{};       // where the session stood when the server opened the file
  uint64_t bytes_read = 0;  // local bytes read during this attempt
  bool closed = false;      // KFS_FILE_CLOSE sent for this attempt's handle
  uint64_t number = 0;      // the file's number in the block pool
  uint32_t planned = 0;     // blocks of this attempt handed to the pool
};

// One block of the attempt.
struct Block {
  int64_t offset;
  bool single;         // the transfer has exactly one block: no checksums at all
  bool query_has_md5;  // the server holds a checksum: the query carries ours
  uint8_t digest[16];  // the query's MD5, or the one the checksum stage writes
};

// Stores a file found current: the index, the done bytes.
void record_current(Transfer* t) {
  (void)fci_add(&t->job->index, t->local, t->modification_time, t->size);
  t->job->done_bytes += t->size;
}

// A file sent whole waits for a reply to confirm its close before it is called backed up.
void await_confirmation(Transfer* t, const ScheduleFilter* filter) {
  JobContext* job = t->job;
  settle_closes(job);
  job->unconfirmed_closes.push_back(UnconfirmedClose{t->local, t->remote, *t->status, filter,
                                                     t->modification_time, t->size,
                                                     ckfs_mark_now(&job->session), job->resending});
}

// Bytes of the block at `offset` within what the attempt announced.
uint32_t block_length(const Transfer* t, uint64_t offset) {
  const uint64_t remaining = t->size > offset ? t->size - offset : 0;
  return static_cast<uint32_t>(remaining < t->open.block_size ? remaining : t->open.block_size);
}

BlockPool* pool_of(const Transfer* t) {
  return t->job->encoders.pool.get();
}

// Opens the local file on the first attempt. kNext, or kSettled with the outcome done.
Step open_local(Transfer* t) {
  // A file planned ahead was opened by the encoder of its first block: its blocks must all
  // come from that one file.
  BlockPool* pool = pool_of(t);
  if (!t->file && pool != nullptr) t->file = pool->opened_file(BlockKey{t->number, 0});
  const int fd = t->file ? -1 : t->job->env->open_read(t->local);
  if (fd >= 0) t->file = std::make_shared<const EnvFile>(t->job->env, fd);
  if (t->file) return Step::kNext;
  map_system_error();
  int err = errno;
  (void)ckfs_file_close(&t->job->session, t->open.handle);
  progress_end_file(PROGRESS_FAILED);
  if (err == ENOENT) {
    log_job("FILE: File does not exist: '%s'\n", t->local);
  } else {
    log_job("FILE: ERROR Backing up '%s' (errno=%d)\n", t->local, err);
    report_fail_file_errno(t->local, err);
  }
  return Step::kSettled;
}

// Whether the open's reply describes a transfer of exactly `size` bytes that the stream can
// take. A count that does not cover the file would store part of it as the whole; a reply
// meant for another request (a stray one read in its place) fails here too.
bool open_reply_fits(const ckfs_wopen_request& open, uint64_t size) {
  if (open.checksummed_blocks > open.block_count) return false;
  if (size == 0) return open.block_count == 0;
  if (open.block_size == 0 || open.block_size > 0x40000000u) return false;
  return (size + open.block_size - 1) / open.block_size == open.block_count;
}

// Opens the file on the server, then the local file. kNext, or kSettled.
Step open_attempt(Transfer* t) {
  uint8_t* send = t->job->send_buffer;
  t->open = ckfs_wopen_request{};
  t->open.mode = 1;
  t->open.modification_time = static_cast<int64_t>(t->modification_time);
  t->open.path = t->remote;
  t->open.size = t->size;
  t->open.record_length = security_record(t->job->env, t->local, send);
  t->open.record = send;
  int code = file_wopen_retry(t->job, &t->open);
  if (code == ERR_NOTFILE && is_sync_path(t->local) && sync_make_way(t->job, t->remote)) {
    // The folder's listing shows a folder of the file's name: the file replaced it.
    code = file_wopen_retry(t->job, &t->open);
  }
  if (code == 0 && !open_reply_fits(t->open, t->size)) {
    log_job(
        "FILE: ERROR: The server's answer to the open of '%s' does not cover its %llu "
        "bytes (%u blocks of %u bytes, %u with checksums); not sent.\n",
        t->local, static_cast<unsigned long long>(t->size),
        static_cast<unsigned>(t->open.block_count), static_cast<unsigned>(t->open.block_size),
        static_cast<unsigned>(t->open.checksummed_blocks));
    (void)ckfs_file_close(&t->job->session, t->open.handle);
    code = ERR_SEQUENCE;
  }
  if (code == ERR_UP2DATE) {
    log_job("FILE: File was reported to be changed, but is in fact up to date: '%s'\n", t->local);
    record_current(t);
    report_count_current();
    progress_end_file(PROGRESS_CURRENT);
    return Step::kSettled;
  }
  if (code != 0) {
    log_job("FILE: ERROR: Failed to backup '%s' (errno=%d)\n", t->local, code);
    report_fail_file_code(t->local, code);
    progress_end_file(PROGRESS_FAILED);
    return Step::kSettled;
  }
  Step step = open_local(t);
  t->opened = ckfs_mark_now(&t->job->session);
  t->bytes_read = 0;
  t->planned = 0;
  if (t->open.block_count > 0) t->job->encoders.block_size_seen = t->open.block_size;
  return step;
}

// A broken link (or a server that lost the key) makes the file start over.
bool restarts_file(int code) {
  return code == ERR_BADKEY || code == ERR_SCKREAD;
}

// The block's data will be sent unless the server answers that it holds the block: a query
// without checksum cannot be answered so. Blocks with one get only their MD5 ahead; a file
// of one block sends no MD5 at all.
BlockWork work_ahead(const Transfer* t, uint32_t j) {
  if (t->open.block_count == 1) return BlockWork::kEncode;
  return j >= t->open.checksummed_blocks ? BlockWork::kEncodeAndDigest : BlockWork::kDigest;
}

// Hands the pool the attempt's blocks from `from` on, as far as its slots allow; a slot
// held for a later file gives way to this one's blocks.
void plan_blocks(Transfer* t, uint32_t from) {
  BlockPool* pool = pool_of(t);
  if (pool == nullptr || t->open.block_size > BLOCK_PREPARE_MAX) return;
  if (t->open.block_count == 1 && block_length(t, 0) < BLOCK_AHEAD_MIN) return;
  for (uint32_t k = std::max(t->planned, from); k < t->open.block_count; ++k) {
    const BlockKey key{t->number, k};
    if (!pool->holds(key)) {
      if (!pool->has_free_slot() && !pool->evict_lookahead(t->number)) return;
      const uint64_t offset = uint64_t{k} * t->open.block_size;
      if (!pool->submit({.key = key,
                         .file = t->file,
                         .offset = static_cast<int64_t>(offset),
                         .length = block_length(t, offset),
                         .work = work_ahead(t, k),
                         .urgent = true})) {
        return;
      }
    }
    t->planned = k + 1;
  }
}

// Whether the pool's work on a block gives what the sender needs of it: its data messages
// (with the MD5 the block end carries, unless the file has one block), or its MD5 alone
// for the query (which block_md5 always gives).
bool fits(const PreparedBlock& b, bool need_data, bool single) {
  if (!need_data) return b.work == BlockWork::kDigest;
  return b.work == BlockWork::kEncodeAndDigest || (single && b.work == BlockWork::kEncode);
}

// Block j as the pool encoded it for this attempt, or an empty lease (the slot is then
// freed and the backup thread reads the block itself, reporting any failure as it happens).
BlockPool::Lease take_prepared(Transfer* t, uint32_t j, bool need_data) {
  BlockPool* pool = pool_of(t);
  BlockPool::Lease b = pool != nullptr ? pool->take(BlockKey{t->number, j}) : nullptr;
  if (!b) return b;
  const uint64_t offset = uint64_t{j} * t->open.block_size;
  const bool usable = b->error == 0 && b->offset == static_cast<int64_t>(offset) &&
                      b->length == block_length(t, offset) &&
                      fits(*b, need_data, t->open.block_count == 1);
  return usable ? std::move(b) : nullptr;
}

// Asks the server whether it holds block `j`. kNext (send it), kUnchanged, kRetry, kFailed.
Step query_block(Transfer* t, uint32_t j, Block* block) {
  const ckfs_wopen_request& open = t->open;
  block->offset = static_cast<int64_t>(j) * open.block_size;
  block->single = open.block_count == 1;
  block->query_has_md5 = !block->single && j < open.checksummed_blocks;
  int error = 0;
  if (block->query_has_md5) {
    if (BlockPool::Lease b = take_prepared(t, j, false)) {
      memcpy(block->digest, b->digest, 16);
    } else {
      error = block_md5(t->job->env, t->file->get(), block->offset,
                        block_length(t, static_cast<uint64_t>(block->offset)), block->digest);
    }
  }
  if (error != 0) {
    report_fail_file_errno(t->local, error);
    log_job("FILE: ERROR: Failed calculating checksum for: '%s'\n", t->local);
    return Step::kFailed;
  }
  int code =
      send_write(&t->job->session, t->opened, open.handle, CKFS_WRITE_QUERY,
                 block->query_has_md5 ? block->digest : nullptr, block->query_has_md5 ? 16 : 0);
  if (code == ERR_UP2DATE) {
    progress_file_bytes(open.block_size);
    return Step::kUnchanged;
  }
  if (restarts_file(code)) {
    progress_file_bytes(0);
    log_job(code == ERR_BADKEY ? "FILE: ERROR: ERR_BADKEY on '%s'\n"
                               : "FILE: ERROR: ERR_SCKREAD on '%s'\n",
            t->local);
    return Step::kRetry;
  }
  if (code != 0) {
    report_fail_file_code(t->local, code);
    log_job("FILE: ERROR: Server side failure with error code %d on '%s'\n", code, t->local);
    return Step::kFailed;
  }
  return Step::kNext;
}

// A data message (or the close, which fails the same way) that did not go: a broken link
// starts the file over, any other code fails it.
Step data_message_failed(Transfer* t, int code) {
  if (restarts_file(code)) {
    log_job(code == ERR_BADKEY ? "FILE: ERROR: ERR_BADKEY on '%s'\n"
                               : "FILE: ERROR: ERR_SCKREAD on '%s'\n",
            t->local);
    progress_file_bytes(0);
    return Step::kRetry;
  }
  log_job("FILE: ERROR: Failed with code %d on '%s'\n", code, t->local);
  report_fail_file_code(t->local, code);
  return Step::kFailed;
}

// Sends data messages while `next` gives bytes: `next(&data)` answers what a chain read
// answers and points data at the bytes. Answers the step and, in *last, the last read.
template <class Next>
Step pump(Transfer* t, Next next, int* last) {
  for (;;) {
    if (progress_terminate_requested()) {
      log_job("User terminated the backup.\n");
      set_user_terminated();
      return Step::kStopped;
    }
    const uint8_t* data = nullptr;
    *last = next(&data);
    if (*last < 0) return Step::kNext;
    liveness_bump();
    int code = send_write(&t->job->session, t->opened, t->open.handle, CKFS_WRITE_DATA, data,
                          static_cast<uint32_t>(*last));
    if (code != 0) return data_message_failed(t, code);
    progress_file_bytes(t->bytes_read);
    if (*last == 0) return Step::kNext;
  }
}

// Replays a block the pool encoded: the same messages the chain would have given, with
// the same byte counts read behind each.
Step pump_prepared(Transfer* t, const PreparedBlock& b, int* last) {
  const uint64_t base = t->bytes_read;
  size_t next_message = 0;
  size_t at = 0;
  return pump(
      t,
      [&](const uint8_t** data) {
        if (next_message == b.messages.size()) {
          t->bytes_read = base + b.bytes_read;
          return b.last;
        }
        const BlockMessage& m = b.messages[next_message++];
        t->bytes_read = base + m.read_after;
        *data = b.data.data() + at;
        at += m.size;
        return static_cast<int>(m.size);
      },
      last);
}

// Points the backup thread's encoder at the block; false, with the failed stage logged.
bool start_inline(Transfer* t, Block* block, uint32_t expected) {
  const BlockWork work =
      block->single || block->query_has_md5 ? BlockWork::kEncode : BlockWork::kEncodeAndDigest;
  switch (t->job->encoders.encoder->start(t->file->get(), block->offset, expected, work,
                                          &t->bytes_read, block->digest)) {
    case StreamStage::kNone:
      return true;
    case StreamStage::kFileRead:
      log_job("FILE: ERROR: Setup of file read stream failed on '%s'\n", t->local);
      break;
    case StreamStage::kCompression:
      log_job("FILE: ERROR: Setup of compression stream failed on '%s'\n", t->local);
      break;
    case StreamStage::kEncryption:
      log_job("FILE: ERROR: Setup of encryption stream failed on '%s'\n", t->local);
      break;
  }
  return false;
}

// Streams one block the server asked for through read, checksum, deflate and AES.
Step stream_block(Transfer* t, Block* block, uint32_t j) {
  // Read no further than the open announced: a file that grows meanwhile (a log being
  // written) is sent as it stood when the attempt began.
  const uint32_t expected = block_length(t, static_cast<uint64_t>(block->offset));
  const uint64_t block_start = t->bytes_read;
  int last = 0;
  Step step = Step::kNext;
  if (BlockPool::Lease b = take_prepared(t, j, true)) {
    step = pump_prepared(t, *b, &last);
    if (!block->single && !block->query_has_md5) memcpy(block->digest, b->digest, 16);
  } else if (start_inline(t, block, expected)) {
    uint8_t* send = t->job->send_buffer;
    step = pump(
        t,
        [&](const uint8_t** data) {
          *data = send;
          return t->job->encoders.encoder->next(send);
        },
        &last);
    t->job->encoders.encoder->end();
  } else {
    report_fail_file_errno(t->local, -1);
    return Step::kFailed;
  }
  if (last == STREAM_FATAL) {
    log_job("FILE: ERROR: MASSIVELY FATAL ERROR while processing '%s'; Aborting all backup.\n",
            t->local);
    report_failure_text("Massively fatal internal error! Backup aborted.");
    exit(1);
  }
  // A read or cipher failure inside a block: the data sent so far cannot make a valid
  // block, so the file is started over like a broken link would be; the attempt limit
  // bounds a file that keeps failing. A block shorter than the size the file was opened
  // with (the file shrank while being read) would be stored as a broken version, so it
  // counts as such a failure too; the next attempt announces the size the file has then.
  if (step == Step::kNext && (last == STREAM_ERROR || t->bytes_read - block_start != expected)) {
    log_job("FILE: ERROR: Read failure while streaming '%s'\n", t->local);
    return Step::kRetry;
  }
  return step;
}

// Closes the block with its checksum (none for a single-block transfer).
Step end_block(Transfer* t, const Block& block) {
  int code = send_write(&t->job->session, t->opened, t->open.handle, CKFS_WRITE_END,
                        block.single ? nullptr : block.digest, block.single ? 0 : 16);
  if (code == 0) return Step::kNext;
  if (restarts_file(code)) {
    log_job(code == ERR_BADKEY ? "FILE: ERROR: ERR_BADKEY on '%s' while sending checksum.\n"
                               : "FILE: ERROR: ERR_SCKREAD on '%s' while sending checksum.\n",
            t->local);
    progress_file_bytes(0);
    return Step::kRetry;
  }
  report_fail_file_code(t->local, code);
  log_job("FILE: ERROR: Failed with code %d on '%s' while sending checksum\n", code, t->local);
  return Step::kFailed;
}

// Every block of the attempt: query, then (when asked for) stream and end. Blocks ahead
// of the one on the connection are encoded meanwhile by the pool's workers.
Step send_blocks(Transfer* t) {
  Step step = Step::kNext;
  for (uint32_t j = 0; j < t->open.block_count && step == Step::kNext; ++j) {
    liveness_bump();
    plan_blocks(t, j);
    Block block{};
    step = query_block(t, j, &block);
    if (step == Step::kUnchanged) {
      if (BlockPool* pool = pool_of(t)) pool->drop_block(BlockKey{t->number, j});
      step = Step::kNext;
      continue;
    }
    if (step == Step::kNext) step = stream_block(t, &block, j);
    if (step == Step::kNext) step = end_block(t, block);
  }
  // What the pool still holds of this attempt is stale once it ends (the next attempt
  // reads the file again); the local file must not close under a worker either.
  if (BlockPool* pool = pool_of(t)) pool->drop_file(t->number);
  return step;
}

// The close commits the file: it leaves with the file's tail in one send, and the file
// counts as sent only when that send went out on the connection that opened it. A close
// that fails fails the file as a failed data message does.
Step commit(Transfer* t) {
  int code = ckfs_file_close(&t->job->session, t->open.handle);
  t->closed = true;
  if (code != 0) return data_message_failed(t, code);
  return ckfs_same_connection(&t->job->session, t->opened) ? Step::kNext
                                                           : data_message_failed(t, ERR_SCKREAD);
}

// Attempts until one ends the file. Answers kNext (stored), kFailed, kStopped, or
// kSettled when nothing is left to finish.
Step run_attempts(Transfer* t) {
  for (int attempts = 0;;) {
    t->closed = false;
    Step step = open_attempt(t);
    if (step == Step::kSettled) return step;
    step = send_blocks(t);
    if (step == Step::kNext) step = commit(t);
    if (step != Step::kRetry) return step;
    progress_file_bytes(0);
    if (++attempts >= kMaxAttempts) {
      log_job(
          "FILE: ERROR: Exceeded maximum retries (%d) while processing '%s'. Giving up on this "
          "file.\n",
          kMaxAttempts, t->local);
      report_fail_file_code(t->local, ERR_BADKEY);
      t->file.reset();
      progress_end_file(PROGRESS_FAILED);
      return Step::kSettled;
    }
    (void)t->job->env->seek(t->file->get(), 0);
    // The walk's size failed this attempt when the file shrank; announce what the open
    // file holds now. Its time stays the walk's: it only labels the version.
    int64_t size = t->job->env->file_size(t->file->get());
    if (size >= 0) t->size = static_cast<uint64_t>(size);
  }
}

// The end of a file that reached the server: its handle closed, the outcome recorded (a
// file sent whole is called backed up once its close is confirmed).
void finish(Transfer* t, Step step, const ScheduleFilter* filter) {
  if (!t->closed) (void)ckfs_file_close(&t->job->session, t->open.handle);
  t->file.reset();
  if (step == Step::kNext) {
    await_confirmation(t, filter);
    progress_end_file(PROGRESS_BACKED_UP);
  } else if (step == Step::kStopped) {
    log_job("FILE: User terminated backup while processing '%s'\n", t->local);
    progress_end_file(PROGRESS_FAILED);
  } else {
    log_job("FILE: Failed backing up '%s' (KBS error code %d)\n", t->local, kFailedStatus);
    progress_end_file(PROGRESS_FAILED);
  }
}

void confirm_stored(JobContext* job, const UnconfirmedClose& close) {
  (void)fci_add(&job->index, close.local.c_str(), close.modification_time, close.size);
  job->done_bytes += close.size;
  report_count_transferred();
  log_job("FILE: Successfully backed up '%s'\n", close.local.c_str());
}

// A file whose close no reply confirmed, with no sending left: it failed as a file whose
// data message found the link broken does, and the next run sends it.
void fail_unconfirmed(const UnconfirmedClose& close) {
  const char* local = close.local.c_str();
  log_job("FILE: ERROR: Failed with code %d on '%s'\n", ERR_SCKREAD, local);
  report_fail_file_code(local, ERR_SCKREAD);
  log_job("FILE: Failed backing up '%s' (KBS error code %d)\n", local, kFailedStatus);
  progress_recount(PROGRESS_BACKED_UP, PROGRESS_FAILED, close.size);
}

}  // namespace

void settle_closes(JobContext* job, bool last) {
  std::vector<UnconfirmedClose>& closes = job->unconfirmed_closes;
  // Compacted in place: this runs for every file.
  size_t kept = 0;
  for (UnconfirmedClose& close : closes) {
    const ckfs_confirmation state = ckfs_confirmed(&job->session, close.sent);
    if (state == ckfs_confirmation::kConfirmed) {
      confirm_stored(job, close);
    } else if (last) {
      fail_unconfirmed(close);
    } else if (state == ckfs_confirmation::kLost) {
      job->lost_closes.push_back(std::move(close));
    } else {
      if (&closes[kept] != &close) closes[kept] = std::move(close);
      ++kept;
    }
  }
  closes.erase(closes.begin() + static_cast<std::ptrdiff_t>(kept), closes.end());
  if (!last) return;
  for (const UnconfirmedClose& close : job->lost_closes) fail_unconfirmed(close);
  job->lost_closes.clear();
}

void resend_lost(JobContext* job) {
  if (job->resending) return;
  while (!job->lost_closes.empty()) {
    const UnconfirmedClose close = std::move(job->lost_closes.front());
    job->lost_closes.erase(job->lost_closes.begin());
    // A stop or a lost server leaves no sending; nor does a second loss.
    if (close.resent || job_ending(job)) {
      fail_unconfirmed(close);
      continue;
    }
    log_job("FILE: ERROR: ERR_SCKREAD on '%s'\n", close.local.c_str());
    progress_recount(PROGRESS_BACKED_UP, 0, close.size);
    job->resending = true;
    do_file(job, close.local.c_str(), close.remote.c_str(), &close.status, close.filter);
    job->resending = false;
  }
}

bool job_ending(const JobContext* job) {
  return user_terminated() || job->server_lost;
}

void check_server_lost(JobContext* job) {
  if (job->server_lost || !ckfs_gave_up(&job->session)) return;
  job->server_lost = true;
  const int code = job->session.unreachable_code;
  log_job(
      "ERROR: The server %s:%d could not be reached for %u seconds (%s: %s); ending the "
      "backup.\n",
      job->session.server_host, job->session.server_port, job->session.give_up_ms / 1000,
      kfs_error_name(code), kfs_error_description(code));
}

FileSkip file_skip(JobContext* job, const char* local, const ItemStatus& status,
                   const ScheduleFilter* filter, bool listed_unchanged) {
  if (listed_unchanged) return FileSkip::kUnchangedOnServer;
  if (is_ignore_path(local, status.is_directory)) return FileSkip::kIgnored;
  if (filter != nullptr && filter_excludes(filter, local)) return FileSkip::kFiltered;
  int current = 0;
  (void)fci_lookup(&job->index, local, status.modification_time, status.size, &current);
  return current != 0 ? FileSkip::kCurrent : FileSkip::kNone;
}

void do_file(JobContext* job, const char* local, const char* remote, const ItemStatus* status,
             const ScheduleFilter* filter) {
  liveness_bump();
  const FileSkip skip = file_skip(job, local, *status, filter, false);
  if (skip == FileSkip::kIgnored) return;
  if (skip == FileSkip::kFiltered) {
    log_job("FILE: Skipping '%s' due to filter.\n", local);
    return;
  }
  settle_closes(job);
  progress_begin_file(local, status->size);
  Transfer t{job, local, remote, status, nullptr, ckfs_wopen_request{}};
  t.modification_time = status->modification_time;
  t.size = status->size;
  t.number = take_file_number(job, local);
  // A block planned ahead for a file that ends before its transfer is not wanted.
  struct Forget {
    BlockPool* pool;
    uint64_t number;
    ~Forget() {
      if (pool != nullptr) pool->drop_file(number);
    }
  } forget{job->encoders.pool.get(), t.number};
  if (skip == FileSkip::kCurrent) {
    log_job("FILE: Current; Not backing up: '%s'\n", local);
    record_current(&t);
    report_count_current();
    progress_end_file(PROGRESS_CURRENT);
    return;
  }
  if (filter != nullptr && make_today_folders(job, remote) != 0) {
    log_job("FILE: ERROR: Failed to generate filter parent directories while on '%s'\n", local);
    return;
  }
  Step step = run_attempts(&t);
  if (step != Step::kSettled) finish(&t, step, filter);
  check_server_lost(job);
  resend_lost(job);
}
