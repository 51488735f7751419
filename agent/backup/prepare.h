// Blocks read, checksummed, compressed and encrypted ahead of their turn on the connection.
// Every block is its own zlib stream and CBC message, so blocks can be encoded apart from
// the strictly request/reply connection: while the backup thread queries and sends block j,
// worker threads encode blocks j+1... of the same file and the first block of the files the
// walk sends next. The backup thread replays an encoded block message by message, so the
// wire carries exactly what the chain would have produced in its turn.
//
// Ownership: the job run owns the backup thread's BlockEncoder and the pool; the pool owns
// its threads with one BlockEncoder each, and its slots. A local file is a SharedFile, held
// by the transfer and by each slot that reads it; a taken block is a Lease, which frees
// its slot when it ends (before the pool does). Memory is bounded: at most
// BLOCK_SLOTS_PER_WORKER slots per worker, each holding one block of at most
// BLOCK_PREPARE_MAX bytes in its encoded form; larger blocks are encoded by the backup
// thread itself as they are sent.
//
// Thread rules: public members are called by the backup thread only. A slot's state and
// order change under the pool's mutex only: free -> queued (submit) -> running -> done ->
// taken (take) -> free (the lease's end); queued and done slots can also be freed. Whoever
// marks a slot running (a worker, or the backup thread in encode_own or take) then writes
// its block and file without the mutex, as their only user, until it marks it done. A
// running slot is never freed (drop_block and drop_file wait); a done one is read by the
// backup thread alone.
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
  int error = 0;  // errno when the MD5 read or the open failed, -1 when the chain did not
  uint64_t bytes_read = 0;
  uint8_t digest[16] = {};    // unless the work was kEncode
  std::vector<uint8_t> data;  // the data messages back to back
  std::vector<BlockMessage> messages;
};

// MD5 of up to `length` bytes at `offset` of `fd`, in positioned 8192-byte reads that stop
// early at the end of the file (the descriptor's position is left alone). Adds what it read
// to *bytes_read when given. 0, or an errno value (the digest is then not written).
int block_md5(Env* env, int fd, int64_t offset, uint32_t length, uint8_t digest[16],
              uint64_t* bytes_read = nullptr);

using SharedFile = std::shared_ptr<const EnvFile>;

// The one way a block is encoded: with one chain, on one thread. The chain is made on
// first use and again after a failure. `key` (the account key) must outlive the encoder.
class BlockEncoder {
 public:
  BlockEncoder(Env* env, const unsigned char* key, int message_max)
      : env_(env), key_(key), message_max_(message_max) {}
  // Points the chain at `length` bytes at `offset` of `fd`, adding what it reads to
  // *counter; for kEncodeAndDigest the block's MD5 goes to `digest` at its end (kDigest is
  // block_md5's). StreamStage::kNone, or the stage that cannot be set up.
  StreamStage start(int fd, int64_t offset, uint32_t length, BlockWork work, uint64_t* counter,
                    uint8_t* digest);
  int next(uint8_t* out);  // the block's next data message, as BlockChain::read
  // A started block that is neither read to its end nor given up (end()): a reply awaited
  // inside one of its data messages must not restart the chain under its reader.
  bool busy() const { return busy_; }
  void end() { busy_ = false; }
  void encode(int fd, PreparedBlock* block);  // `block`'s work: its MD5, or its messages

 private:
  Env* env_;
  const unsigned char* key_;
  int message_max_;
  bool busy_ = false;
  std::unique_ptr<BlockChain> chain_;
};

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
  // `file` when the transfer has it open; otherwise the worker opens `path` for the block.
  std::string_view path{};
  SharedFile file{};
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
  struct GiveBack {
    BlockPool* pool = nullptr;
    void operator()(const PreparedBlock* block) const;
  };
  // A done block lent to the backup thread; its slot is freed when the lease ends.
  using Lease = std::unique_ptr<const PreparedBlock, GiveBack>;

  // Null unless `workers` is 2 or more and every worker's thread can start. Own blocks are
  // encoded with `own`, the backup thread's encoder, which outlives the pool.
  static std::unique_ptr<BlockPool> create(Env* env, const unsigned char* key, int workers,
                                           int message_max, BlockEncoder* own);
  ~BlockPool();  // stops the workers, waiting for the blocks they are encoding
  BlockPool(const BlockPool&) = delete;
  BlockPool& operator=(const BlockPool&) = delete;

  // Queues a block. False when no slot is free or the key is already held.
  bool submit(const BlockOrder& order);
  // Encodes the oldest own block still queued, on the calling thread (the backup thread,
  // while the server works on its request). False when there is none, or when the own
  // encoder is in the middle of a block being sent.
  bool encode_own();
  bool holds(BlockKey key) const;
  // Waits for a submitted block and lends it out; empty when not held or already taken.
  Lease take(BlockKey key);
  // The block's file: the one its encoder opened by name, for the transfer to share; null
  // when the open failed. Waits for the block like take(), and leaves it in the pool.
  SharedFile opened_file(BlockKey key);
  // Frees the block's slot unless it is lent out, waiting first when a worker encodes it.
  void drop_block(BlockKey key);
  // Forgets every block of `file` not lent out, waiting for any a worker is encoding.
  void drop_file(uint64_t file);
  // Frees a slot held for a later file's block that no one is encoding or holds (the
  // newest such); false when there is none.
  bool evict_lookahead(uint64_t keep_file);
  bool has_free_slot() const;

 private:
  struct Shared;
  BlockPool();
  void work(BlockEncoder* encoder);
  std::unique_ptr<Shared> shared_;
};
