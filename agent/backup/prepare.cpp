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

void encode_block(BlockChain* chain, Env* env, int fd, int message_max, PreparedBlock* block) {
  block->error = 0;
  block->bytes_read = 0;
  block->last = 0;
  block->messages.clear();
  if (block->work == BlockWork::kDigest) {
    block->error =
        block_md5(env, fd, block->offset, block->length, block->digest, &block->bytes_read);
    return;
  }
  uint8_t* digest = block->work == BlockWork::kEncodeAndDigest ? block->digest : nullptr;
  if (!chain->restart(env, fd, block->offset, static_cast<int>(block->length), &block->bytes_read,
                      digest)) {
    block->error = -1;  // the sender sets the block up itself and reports it
    return;
  }
  size_t used = 0;
  for (;;) {
    if (block->data.size() < used + static_cast<size_t>(message_max)) {
      block->data.resize(used + static_cast<size_t>(message_max));
    }
    int n = chain->read(block->data.data() + used, message_max);
    block->last = n;
    if (n < 0) return;
    used += static_cast<size_t>(n);
    block->messages.push_back(BlockMessage{static_cast<uint32_t>(n), block->bytes_read});
    if (n == 0) return;
  }
}

namespace {

enum class SlotState { kFree, kQueued, kRunning, kDone };

struct Slot {
  SlotState state = SlotState::kFree;
  BlockKey key{0, 0};
  std::string path;
  int fd = -1;
  bool urgent = false;
  bool own = false;       // for the backup thread to encode while it waits (encode_own)
  uint64_t sequence = 0;  // submission order
  PreparedBlock block;
};

}  // namespace

struct BlockPool::Shared {
  Env* env = nullptr;
  int message_max = 0;
  std::mutex mutex;
  std::condition_variable queued;  // a slot was queued, or the pool stops
  std::condition_variable done;    // a slot's block is done
  std::vector<Slot> slots;         // fixed at creation: workers x BLOCK_SLOTS_PER_WORKER
  uint64_t sequence = 0;
  bool stopping = false;
  std::vector<std::unique_ptr<BlockChain>> chains;  // one per worker
  // The backup thread's, for own slots. Not the sender's chain (Encoders::chain): an own
  // block is encoded whenever a reply is awaited, and sharing would rest on no reply ever
  // being awaited while the sender is in the middle of a block.
  std::unique_ptr<BlockChain> own_chain;
  std::vector<std::thread> threads;

  // Frees a slot that no worker is encoding, closing the file its worker opened.
  void free_slot(Slot* slot) {
    if (slot->block.opened_fd >= 0) (void)env->close_file(slot->block.opened_fd);
    slot->block.opened_fd = -1;
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
  void encode(std::unique_lock<std::mutex>& lock, Slot* slot, BlockChain* chain) {
    slot->state = SlotState::kRunning;
    lock.unlock();
    run(slot, chain);
    lock.lock();
    slot->state = SlotState::kDone;
    done.notify_all();
  }

  // Encodes a slot marked running; the lock is not held.
  void run(Slot* slot, BlockChain* chain) {
    int fd = slot->fd;
    if (fd < 0) {
      // Kept open for the sender, so that every block of the file comes from one file
      // even when the name is given to another one meanwhile.
      fd = env->open_read(slot->path);
      slot->block.opened_fd = fd;
    }
    if (fd < 0) {
      slot->block.error = errno != 0 ? errno : EIO;
    } else {
      encode_block(chain, env, fd, message_max, &slot->block);
    }
  }
};

BlockPool::BlockPool() : shared_(new Shared) {}

std::unique_ptr<BlockPool> BlockPool::create(Env* env, const unsigned char* key, int workers,
                                             int message_max) {
  if (workers < 2 || workers > BLOCK_WORKERS_MAX) return nullptr;
  std::unique_ptr<BlockPool> pool(new BlockPool);
  Shared& sh = *pool->shared_;
  sh.env = env;
  sh.message_max = message_max;
  sh.slots.resize(static_cast<size_t>(workers) * BLOCK_SLOTS_PER_WORKER);
  for (int i = 0; i < workers; ++i) {
    std::unique_ptr<BlockChain> chain = BlockChain::create(key);
    if (!chain) return nullptr;
    sh.chains.push_back(std::move(chain));
  }
  sh.own_chain = BlockChain::create(key);
  if (!sh.own_chain) return nullptr;
  for (int i = 0; i < workers; ++i) {
    try {
      BlockChain* chain = sh.chains[static_cast<size_t>(i)].get();
      sh.threads.emplace_back([p = pool.get(), chain] { p->work(chain); });
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
  for (Slot& s : shared_->slots) {
    if (s.state != SlotState::kFree) shared_->free_slot(&s);
  }
}

void BlockPool::work(BlockChain* chain) {
  // Encoding ahead only pays while the backup thread and the server never wait for it: a
  // small file's round trip must not queue behind a deflate.
  (void)plat_lower_thread_priority();
  Shared& sh = *shared_;
  std::unique_lock<std::mutex> lock(sh.mutex);
  for (;;) {
    sh.queued.wait(lock, [&] { return sh.stopping || sh.next_queued(false) != nullptr; });
    if (sh.stopping) return;
    sh.encode(lock, sh.next_queued(false), chain);
  }
}

bool BlockPool::encode_own() {
  Shared& sh = *shared_;
  std::unique_lock<std::mutex> lock(sh.mutex);
  Slot* slot = sh.next_queued(true);
  if (slot == nullptr) return false;
  sh.encode(lock, slot, sh.own_chain.get());
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
    slot->fd = order.fd;
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

PreparedBlock* BlockPool::take(BlockKey key) {
  Shared& sh = *shared_;
  std::unique_lock<std::mutex> lock(sh.mutex);
  Slot* slot = sh.find(key);
  if (slot == nullptr) return nullptr;
  // An own block needed before a wait came to encode it.
  if (slot->state == SlotState::kQueued && slot->own) sh.encode(lock, slot, sh.own_chain.get());
  if (slot->state == SlotState::kQueued) slot->urgent = true;  // needed now
  sh.done.wait(lock, [&] { return slot->state == SlotState::kDone; });
  return &slot->block;
}

void BlockPool::release(BlockKey key) {
  Shared& sh = *shared_;
  std::unique_lock<std::mutex> lock(sh.mutex);
  Slot* slot = sh.find(key);
  if (slot == nullptr) return;
  sh.done.wait(lock, [&] { return slot->state != SlotState::kRunning; });
  sh.free_slot(slot);
}

int BlockPool::take_descriptor(BlockKey key) {
  if (take(key) == nullptr) return -1;
  std::lock_guard<std::mutex> lock(shared_->mutex);
  Slot* slot = shared_->find(key);
  int fd = slot->block.opened_fd;
  slot->block.opened_fd = -1;
  return fd;
}

void BlockPool::drop_file(uint64_t file) {
  Shared& sh = *shared_;
  std::unique_lock<std::mutex> lock(sh.mutex);
  for (Slot& s : sh.slots) {
    if (s.state == SlotState::kFree || s.key.file != file) continue;
    // A running worker reads the caller's descriptor: wait before the caller may close it.
    sh.done.wait(lock, [&] { return s.state != SlotState::kRunning; });
    sh.free_slot(&s);
  }
}

bool BlockPool::evict_lookahead(uint64_t keep_file) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  Slot* newest = nullptr;
  for (Slot& s : shared_->slots) {
    if (s.state == SlotState::kFree || s.state == SlotState::kRunning || s.urgent ||
        s.key.file == keep_file) {
      continue;
    }
    if (newest == nullptr || s.sequence > newest->sequence) newest = &s;
  }
  if (newest == nullptr) return false;
  shared_->free_slot(newest);
  return true;
}

bool BlockPool::has_free_slot() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  for (const Slot& s : shared_->slots) {
    if (s.state == SlotState::kFree) return true;
  }
  return false;
}
