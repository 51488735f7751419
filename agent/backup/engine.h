// The backup engine's shared pieces: the job run's state that the walk, the per-file
// backup and the filters reach (the change index, the destination id, the send buffer),
// and the entry points of each stage. Backup thread only.
#pragma once

#include <cstdint>

#include "agent/backup/settings.h"

struct ckfs_session;
struct ckfs_wopen_request;
struct Fci;

// A local item's status as the walk reads it.
struct ItemStatus {
  bool is_directory;
  int32_t modification_time;  // 32-bit seconds since 1970
  uint64_t size;
};

// Bytes of the shared send buffer: the largest data message plus room for its header.
constexpr int ENGINE_SEND_BUFFER = 65536;
constexpr int ENGINE_DATA_MESSAGE_MAX = 65466;
constexpr int ENGINE_REMOTE_PATH_MAX = 1024;  // bytes, NUL included

Fci* engine_index();
bool engine_index_valid();
uint32_t engine_destination_id();
uint8_t* engine_send_buffer();
// Bytes of the items this run backed up or found current: the report's stop size.
void engine_add_done_bytes(uint64_t bytes);

// KFS_MKDIR with the user lock re-taken on ERR_ACCESS / ERR_SCKREAD (12 waits at most).
int mkdir_retry(ckfs_session* session, uint8_t flags, const char* path);
// KFS_FILE_WOPEN with the same lock handling.
int file_wopen_retry(ckfs_session* session, ckfs_wopen_request* request);

// Walks one local folder (Windows form) mirrored at `remote` on the server.
void do_dir(ckfs_session* session, const char* local, const char* remote,
            const ScheduleFilter* filter);
// Backs up one regular file.
void do_file(ckfs_session* session, const char* local, const char* remote, const ItemStatus* status,
             const ScheduleFilter* filter);

// MD5 of up to `length` bytes at `offset` of `fd`, in 8192-byte reads. 0, or 1 on a read
// error (the digest is then not written).
int block_md5(int fd, int64_t offset, uint32_t length, uint8_t digest[16]);

// Status of a local item through the platform layer; -1 with errno on failure.
int engine_stat(const char* local, ItemStatus* status);

// Waits of the lock retries: 60 s (and 5 s for the job's first lock) unless the
// environment's VARNO_LOCK_WAIT_MS shortens them for tests.
uint32_t engine_lock_wait_ms(uint32_t production_ms);
