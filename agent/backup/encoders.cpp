// The run's block encoders and the files planned ahead of the walk.

#include <algorithm>
#include <thread>

#include "agent/backup/engine.h"
#include "agent/backup/job_state.h"
#include "agent/backup/prepare.h"
#include "platform/knobs.h"

namespace {

uint32_t worker_count() {
  unsigned cores = std::thread::hardware_concurrency();
  uint32_t fallback = std::clamp<uint32_t>(cores, 1u, BLOCK_WORKERS_MAX);
  return plat_knob_count(KNOB_WORKERS, fallback);
}

}  // namespace

void start_encoders(JobContext* job) {
  Encoders* e = &job->encoders;
  if (e->started) return;
  e->started = true;
  const unsigned char* key = job_settings().account_key;
  e->encoder = std::make_unique<BlockEncoder>(job->env, key, ENGINE_DATA_MESSAGE_MAX);
  const uint32_t workers = worker_count();
  if (workers > 1) {
    e->pool = BlockPool::create(job->env, key, static_cast<int>(workers), ENGINE_DATA_MESSAGE_MAX,
                                e->encoder.get());
    if (e->pool) {
      e->ahead.resize(static_cast<size_t>(workers) * BLOCK_SLOTS_PER_WORKER);
      // Small files planned ahead are encoded while the server answers a request.
      job->session.reply_wait_hook = [](void* pool) {
        (void)static_cast<BlockPool*>(pool)->encode_own();
      };
      job->session.reply_wait_hook_arg = e->pool.get();
    }
  }
}

bool can_plan_ahead(const JobContext* job) {
  const Encoders* e = &job->encoders;
  return e->pool && e->block_size_seen > 0 && e->block_size_seen <= BLOCK_PREPARE_MAX &&
         e->ahead_count < e->ahead.size() && e->pool->has_free_slot();
}

void plan_file_ahead(JobContext* job, const char* local, uint64_t size) {
  Encoders* e = &job->encoders;
  if (!can_plan_ahead(job) || size == 0 || size > e->block_size_seen) return;
  const uint64_t number = ++e->next_file;
  if (!e->pool->submit({.key = {number, 0},
                        .path = local,
                        .length = static_cast<uint32_t>(size),
                        .work = BlockWork::kEncode,
                        .own = size < BLOCK_AHEAD_MIN})) {
    return;
  }
  AheadFile& slot = e->ahead[(e->ahead_first + e->ahead_count) % e->ahead.size()];
  slot.local.assign(local);
  slot.number = number;
  ++e->ahead_count;
}

uint64_t take_file_number(JobContext* job, const char* local) {
  Encoders* e = &job->encoders;
  if (!e->pool) return ++e->next_file;
  size_t found = 0;
  while (found < e->ahead_count &&
         e->ahead[(e->ahead_first + found) % e->ahead.size()].local != local) {
    ++found;
  }
  if (found == e->ahead_count) return ++e->next_file;  // not planned ahead
  // Files planned before it that the walk passed over (skipped, gone): forget them.
  for (size_t i = 0; i <= found; ++i) {
    const AheadFile& first = e->ahead[e->ahead_first];
    e->ahead_first = (e->ahead_first + 1) % e->ahead.size();
    --e->ahead_count;
    if (i == found) return first.number;
    e->pool->drop_file(first.number);
  }
  return ++e->next_file;
}
