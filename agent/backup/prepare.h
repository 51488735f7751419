// Blocks read, checksummed, compressed and encrypted ahead of their turn on the connection.
// Every block is its own zlib stream and CBC message, so blocks can be encoded apart from
// the strictly request/reply connection: while the backup thread queries and sends block j,
// worker threads encode blocks j+1... of the same file and the first block of the files the
// walk sends next. The backup thread replays an encoded block message by message, so the
// wire carries exactly what the chain would have produced in its turn.
//
// Ownership: the job run owns the pool; the pool owns its threads and slots. A slot's result
// belongs to the backup thread between take() and release(). Memory is bounded: at most
// BLOCK_SLOTS_PER_WORKER slots per worker, each holding one block of at most
// BLOCK_PREPARE_MAX bytes in its encoded form; larger blocks are encoded by the backup
// thread itself as they are sent.
//
// Thread rules: every member is called by the backup thread only. A slot's state changes
// under the pool's mutex: free -> queued (submit) -> running -> done -> free (release,
// drop_file, evict_lookahead). Whoever marks a slot running (a worker, or the backup thread
// in encode_own or take) encodes its block without the mutex and is its only user until it
// marks it done; a done block belongs to the backup thread until its slot is freed, and
// take() of a block already taken answers the same block. A descriptor given in an order
// is read by a worker only while its slot runs: drop_file and release wait for that, so the
// caller may close it once they return.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "agent/stream/stream.h"
#include "platform/env.h"

constexpr int BLOCK_SLOTS_PER_WORKER = 2;
constexpr uint32_t BLOCK_PREPARE_MAX = 4u << 20;  // bytes of a block, before encoding
constexpr int BLOCK_WORKERS_MAX = 64;
// A file of one block smaller than this is not worth a worker: handing it over and back
// costs about what encoding it does (some 50 us). The backup thread encodes it ahead
// instead, while it waits for a reply.
constexpr uint32_t BLOCK_AHEAD_MIN = 4u << 10;

// One data message of an encoded block, and the block's bytes read once it was produced.
struct BlockMessage {
  uint32_t size;
  uint64_t read_after;
};

// What a worker makes of a block.
enum class BlockWork : uint8_t {
  kDigest,           // its MD5 only, for a query that carries it
  kEncode,           // its data messages; a file of one block sends no MD5 at all
  kEncodeAndDigest,  // its data messages and the MD5 that its block end carries
};

// What to encode, and what came out.
struct PreparedBlock {
  int64_t offset = 0;
  uint32_t length = 0;
  BlockWork work = BlockWork::kEncodeAndDigest;
  int last = 0;   // the chain's last read (STREAM_END, STREAM_ERROR, STREAM_FATAL, 0)
  int error = 0;  // errno when the MD5 read or the open failed, else 0
  uint64_t bytes_read = 0;
  uint8_t digest[16] = {};    // unless the work was kEncode
  int opened_fd = -1;         // the file as the worker opened it by name, until the sender takes it
  std::vector<uint8_t> data;  // the data messages back to back
  std::vector<BlockMessage> messages;
};

// MD5 of up to `length` bytes at `offset` of `fd`, in positioned 8192-byte reads that stop
// early at the end of the file (the descriptor's position is left alone). Adds what it read
// to *bytes_read when given. 0, or an errno value (the digest is then not written).
int block_md5(Env* env, int fd, int64_t offset, uint32_t length, uint8_t digest[16],
              uint64_t* bytes_read = nullptr);

// Does `block`'s work on (offset, length) of `fd` with `chain`: the chain pulled dry in
// reads of `message_max` bytes, as the sender would pull it; for kDigest only the MD5,
// with block_md5.
void encode_block(BlockChain* chain, Env* env, int fd, int message_max, PreparedBlock* block);

// Identifies a block: the walk's number for its file and its index in the file.
struct BlockKey {
  uint64_t file;
  uint32_t block;
  bool operator==(const BlockKey& other) const {
    return file == other.file && block == other.block;
  }
};

// A block for the pool to prepare.
struct BlockOrder {
  BlockKey key{};
  // `fd` >= 0 is read (the caller keeps it open until the block is taken or dropped);
  // otherwise the worker opens `path` for the block.
  std::string_view path{};
  int fd = -1;
  int64_t offset = 0;
  uint32_t length = 0;
  BlockWork work = BlockWork::kEncode;
  bool urgent = false;  // the file on the connection now: goes before the others
  // No worker's: the backup thread encodes it in encode_own(), or in take() when no wait
  // came first.
  bool own = false;
};

class BlockPool {
 public:
  // Null unless `workers` is 2 or more and every worker's chain and thread can start.
  static std::unique_ptr<BlockPool> create(Env* env, const unsigned char* key, int workers,
                                           int message_max);
  ~BlockPool();  // stops the workers, waiting for the blocks they are encoding
  BlockPool(const BlockPool&) = delete;
  BlockPool& operator=(const BlockPool&) = delete;

  // Queues a block. False when no slot is free or the key is already held.
  bool submit(const BlockOrder& order);
  // Encodes the oldest own block still queued, on the calling thread (the backup thread,
  // while the server works on its request). False when there is none.
  bool encode_own();
  bool holds(BlockKey key) const;
  // Waits for a submitted block and lends it out until release(); null when not held.
  PreparedBlock* take(BlockKey key);
  // The file a worker opened by name for the block, handed over to the caller (who closes
  // it); -1 when there is none. Waits for the block like take().
  int take_descriptor(BlockKey key);
  // Frees the block's slot, waiting first when a worker is encoding it.
  void release(BlockKey key);
  // Forgets every block of `file`, waiting for any a worker is encoding.
  void drop_file(uint64_t file);
  // Frees a slot held for a later file's block that no worker has started (the newest
  // such); false when there is none.
  bool evict_lookahead(uint64_t keep_file);
  bool has_free_slot() const;

 private:
  struct Shared;
  BlockPool();
  void work(BlockChain* chain);
  std::unique_ptr<Shared> shared_;
};
