#include "agent/backup/prepare.h"

#include <openssl/evp.h>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/thread.h"

int block_md5(Env* env, int fd, int64_t offset, uint32_t length, uint8_t digest[16],
              uint64_t* bytes_read) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx == nullptr || EVP_DigestInit_ex(ctx, EVP_md5(), nullptr) != 1) {
    EVP_MD_CTX_free(ctx);
    return ENOMEM;
  }
  uint8_t buffer[8192];
  uint32_t left = length;
  uint64_t at = static_cast<uint64_t>(offset);
  while (left > 0) {
    ssize_t n = env->read_at(fd, buffer, left < sizeof buffer ? left : sizeof buffer, at);
    if (n < 0) {
      int error = errno != 0 ? errno : EIO;
      EVP_MD_CTX_free(ctx);
      return error;
    }
    if (n == 0) break;
    EVP_DigestUpdate(ctx, buffer, static_cast<size_t>(n));
    left -= static_cast<uint32_t>(n);
    at += static_cast<uint64_t>(n);
    if (bytes_read != nullptr) *bytes_read += static_cast<uint64_t>(n);
  }
  unsigned int out_length = 0;
  EVP_DigestFinal_ex(ctx, digest, &out_length);
  EVP_MD_CTX_free(ctx);
  return 0;
}

StreamStage BlockEncoder::start(int fd, int64_t offset, uint32_t length, BlockWork work,
                                uint64_t* counter, uint8_t* digest) {
  StreamStage failed = StreamStage::kFileRead;
  if (!chain_) chain_ = BlockChain::create(key_, &failed);
  busy_ = chain_ && chain_->restart(env_, fd, offset, static_cast<int>(length), counter,
                                    work == BlockWork::kEncode ? nullptr : digest);
  if (!busy_) chain_.reset();  // unusable: the next block makes a fresh one
  return busy_ ? StreamStage::kNone : failed;
}

int BlockEncoder::next(uint8_t* out) {
  const int n = chain_ ? chain_->read(out, message_max_) : STREAM_ERROR;
  busy_ = n > 0;
  return n;
}

void BlockEncoder::encode(int fd, PreparedBlock* block) {
  block->error = 0;
  block->bytes_read = 0;
  block->last = 0;
  block->messages.clear();
  if (block->work == BlockWork::kDigest) {
    block->error =
        block_md5(env_, fd, block->offset, block->length, block->digest, &block->bytes_read);
    return;
  }
  if (start(fd, block->offset, block->length, block->work, &block->bytes_read, block->digest) !=
      StreamStage::kNone) {
    block->error = -1;  // the sender encodes the block itself and reports it
    return;
  }
  size_t used = 0;
  for (;;) {
    if (block->data.size() < used + static_cast<size_t>(message_max_)) {
      block->data.resize(used + static_cast<size_t>(message_max_));
    }
    int n = next(block->data.data() + used);
    block->last = n;
    if (n < 0) return;
    used += static_cast<size_t>(n);
    block->messages.push_back(BlockMessage{static_cast<uint32_t>(n), block->bytes_read});
    if (n == 0) return;
  }
}

namespace {

enum class SlotState { kFree, kQueued, kRunning, kDone, kTaken };

struct Slot {
  SlotState state = SlotState::kFree;
  BlockKey key{0, 0};
  std::string path;
  SharedFile file;  // the order's, or the one its encoder opened by `path`
  bool urgent = false;
  bool own = false;       // for the backup thread to encode while it waits (encode_own)
  uint64_t sequence = 0;  // submission order
  PreparedBlock block;
};

}  // namespace

struct BlockPool::Shared {
  Env* env = nullptr;
  std::mutex mutex;
  std::condition_variable queued;  // a slot was queued, or the pool stops
  std::condition_variable done;    // a slot's block is done
  std::vector<Slot> slots;         // fixed at creation: workers x BLOCK_SLOTS_PER_WORKER
  uint64_t sequence = 0;
  bool stopping = false;
  std::vector<std::unique_ptr<BlockEncoder>> encoders;  // one per worker
  BlockEncoder* own = nullptr;                          // the backup thread's
  std::vector<std::thread> threads;

  // Frees a slot that no one is encoding; the file goes when its last user lets go.
  static void free_slot(Slot* slot) {
    slot->file.reset();
    slot->state = SlotState::kFree;
  }

  Slot* find(BlockKey key) {
    for (Slot& s : slots) {
      if (s.state != SlotState::kFree && s.key == key) return &s;
    }
    return nullptr;
  }

  // The queued slot to encode next: urgent first, then in submission order. Workers never
  // take the backup thread's own slots.
  Slot* next_queued(bool own) {
    Slot* best = nullptr;
    for (Slot& s : slots) {
      if (s.state != SlotState::kQueued || s.own != own) continue;
      if (best == nullptr || (s.urgent && !best->urgent) ||
          (s.urgent == best->urgent && s.sequence < best->sequence)) {
        best = &s;
      }
    }
    return best;
  }

  // Encodes a queued slot with the lock let go meanwhile, then marks it done.
  void encode(std::unique_lock<std::mutex>& lock, Slot* slot, BlockEncoder* encoder) {
    slot->state = SlotState::kRunning;
    lock.unlock();
    // Kept for the sender, so that every block of the file comes from one file even when
    // the name is given to another one meanwhile.
    const int fd = slot->file ? -1 : env->open_read(slot->path);
    if (fd >= 0) slot->file = std::make_shared<const EnvFile>(env, fd);
    if (slot->file) {
      encoder->encode(slot->file->get(), &slot->block);
    } else {
      slot->block.error = errno != 0 ? errno : EIO;
    }
    lock.lock();
    slot->state = SlotState::kDone;
    done.notify_all();
  }

  // Waits for a submitted block; null when not held or lent out.
  Slot* wait_done(std::unique_lock<std::mutex>& lock, BlockKey key) {
    Slot* slot = find(key);
    if (slot == nullptr || slot->state == SlotState::kTaken) return nullptr;
    // An own block needed before a wait came to encode it.
    if (slot->state == SlotState::kQueued && slot->own) encode(lock, slot, own);
    if (slot->state == SlotState::kQueued) slot->urgent = true;  // needed now
    done.wait(lock, [&] { return slot->state == SlotState::kDone; });
    return slot;
  }

  // Frees a slot not lent out, once no one encodes it.
  void drop(std::unique_lock<std::mutex>& lock, Slot* slot) {
    done.wait(lock, [&] { return slot->state != SlotState::kRunning; });
    if (slot->state != SlotState::kTaken) free_slot(slot);
  }
};

BlockPool::BlockPool() : shared_(new Shared) {}

std::unique_ptr<BlockPool> BlockPool::create(Env* env, const unsigned char* key, int workers,
                                             int message_max, BlockEncoder* own) {
  if (workers < 2 || workers > BLOCK_WORKERS_MAX || own == nullptr) return nullptr;
  std::unique_ptr<BlockPool> pool(new BlockPool);
  Shared& sh = *pool->shared_;
  sh.env = env;
  sh.own = own;
  sh.slots.resize(static_cast<size_t>(workers) * BLOCK_SLOTS_PER_WORKER);
  for (int i = 0; i < workers; ++i) {
    try {
      sh.encoders.push_back(std::make_unique<BlockEncoder>(env, key, message_max));
      sh.threads.emplace_back([p = pool.get(), e = sh.encoders.back().get()] { p->work(e); });
    } catch (const std::system_error&) {
      return nullptr;  // the destructor stops the threads already started
    }
  }
  return pool;
}

BlockPool::~BlockPool() {
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->stopping = true;
  }
  shared_->queued.notify_all();
  for (std::thread& t : shared_->threads) t.join();
  for (Slot& s : shared_->slots) Shared::free_slot(&s);
}

void BlockPool::work(BlockEncoder* encoder) {
  // Encoding ahead only pays while the backup thread and the server never wait for it: a
  // small file's round trip must not queue behind a deflate.
  (void)plat_lower_thread_priority();
  Shared& sh = *shared_;
  std::unique_lock<std::mutex> lock(sh.mutex);
  for (;;) {
    sh.queued.wait(lock, [&] { return sh.stopping || sh.next_queued(false) != nullptr; });
    if (sh.stopping) return;
    sh.encode(lock, sh.next_queued(false), encoder);
  }
}

bool BlockPool::encode_own() {
  Shared& sh = *shared_;
  // A reply awaited inside a data message (a reconnection) comes in the middle of a block.
  if (sh.own->busy()) return false;
  std::unique_lock<std::mutex> lock(sh.mutex);
  Slot* slot = sh.next_queued(true);
  if (slot == nullptr) return false;
  sh.encode(lock, slot, sh.own);
  return true;
}

bool BlockPool::submit(const BlockOrder& order) {
  Shared& sh = *shared_;
  {
    std::lock_guard<std::mutex> lock(sh.mutex);
    Slot* slot = nullptr;
    for (Slot& s : sh.slots) {
      if (s.state == SlotState::kFree) {
        slot = &s;
        break;
      }
    }
    if (slot == nullptr || sh.find(order.key) != nullptr) return false;
    slot->key = order.key;
    slot->path.assign(order.path);
    slot->file = order.file;
    slot->urgent = order.urgent;
    slot->own = order.own;
    slot->sequence = ++sh.sequence;
    slot->block.offset = order.offset;
    slot->block.length = order.length;
    slot->block.work = order.work;
    slot->state = SlotState::kQueued;
  }
  if (!order.own) sh.queued.notify_one();
  return true;
}

bool BlockPool::holds(BlockKey key) const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->find(key) != nullptr;
}

BlockPool::Lease BlockPool::take(BlockKey key) {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  Slot* slot = shared_->wait_done(lock, key);
  if (slot == nullptr) return nullptr;
  slot->state = SlotState::kTaken;
  return Lease(&slot->block, GiveBack{this});
}

void BlockPool::GiveBack::operator()(const PreparedBlock* block) const {
  std::lock_guard<std::mutex> lock(pool->shared_->mutex);
  for (Slot& s : pool->shared_->slots) {
    if (&s.block == block) Shared::free_slot(&s);
  }
}

SharedFile BlockPool::opened_file(BlockKey key) {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  Slot* slot = shared_->wait_done(lock, key);
  return slot != nullptr ? slot->file : nullptr;
}

void BlockPool::drop_block(BlockKey key) {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  if (Slot* slot = shared_->find(key)) shared_->drop(lock, slot);
}

void BlockPool::drop_file(uint64_t file) {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  for (Slot& s : shared_->slots) {
    if (s.state != SlotState::kFree && s.key.file == file) shared_->drop(lock, &s);
  }
}

bool BlockPool::evict_lookahead(uint64_t keep_file) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  Slot* newest = nullptr;
  for (Slot& s : shared_->slots) {
    if (s.state == SlotState::kFree || s.state == SlotState::kRunning ||
        s.state == SlotState::kTaken || s.urgent || s.key.file == keep_file) {
      continue;
    }
    if (newest == nullptr || s.sequence > newest->sequence) newest = &s;
  }
  if (newest == nullptr) return false;
  Shared::free_slot(newest);
  return true;
}

bool BlockPool::has_free_slot() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  for (const Slot& s : shared_->slots) {
    if (s.state == SlotState::kFree) return true;
  }
  return false;
}
