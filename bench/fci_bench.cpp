// File change index: lookups per second on an index of 1,000,000 records (hits and misses,
// with the index's page cache warm or cold; the operating system's cache is warm in both),
// and the time fci_close takes to sort and write 1,000,000 added records (including the
// fsync that makes the new index durable).
//
//   ./build/bench/fci_bench                      (all)
//   ./build/bench/fci_bench --benchmark_filter=Close
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <openssl/evp.h>

#include "agent/backup/fci/fci.h"

namespace {

constexpr int kRecords = 1000000;
constexpr uint32_t kStamp = 424242;
constexpr char kSchedule[] = "bench.kbs";

std::string path_of(int i) {
  char buffer[80];
  snprintf(buffer, sizeof buffer, "C:\\Users\\bench\\Documents\\folder %03d\\file %07d.dat",
           i % 500, i);
  return buffer;
}
uint32_t time_of(int i) {
  return 1600000000u + static_cast<uint32_t>(i);
}
uint64_t size_of(int i) {
  return static_cast<uint64_t>(i) * 4099u;
}

// A working directory with a 1M-record index, made once for the whole process.
class World {
 public:
  static World& get() {
    static World world;
    return world;
  }
  ~World() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
    std::filesystem::remove_all(dir_, ec);
  }

  // One item per page, in page order, whose lookup reads that page: hits that are not leads.
  std::vector<int> hits_by_page;
  // Hits and misses (paths never added) grouped by the page a lookup reads.
  std::vector<std::vector<int>> hits_in_page;
  std::vector<std::vector<std::string>> misses_in_page;
  uint32_t pages = 0;

 private:
  World() {
    previous_ = std::filesystem::current_path().string();
    char templ[] = "/tmp/varno-fci-bench-XXXXXX";
    dir_ = mkdtemp(templ);
    std::filesystem::current_path(dir_);
    std::vector<int> order(kRecords);
    for (int i = 0; i < kRecords; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(1));
    {
      Fci index;
      (void)fci_open(&index, kSchedule, 0);
      for (int i : order) {
        if (fci_add(&index, path_of(i).c_str(), time_of(i), size_of(i)) != 0) abort();
      }
      fci_close(&index, kStamp);
    }
    Fci index;
    if (fci_open(&index, kSchedule, kStamp) != 0) abort();
    pages = index.lead_count;
    hits_in_page.resize(pages);
    misses_in_page.resize(pages);
    for (int i = 0; i < kRecords; ++i) hits_in_page[page_of(index, path_of(i))].push_back(i);
    for (int i = 0; i < kRecords; ++i) {
      std::string miss = "C:\\elsewhere\\" + std::to_string(i);
      misses_in_page[page_of(index, miss)].push_back(miss);
    }
    for (uint32_t p = 0; p < pages; ++p) {
      for (int i : hits_in_page[p]) {
        // Skip the lead itself: it is answered without a page.
        if (!is_lead(index, path_of(i))) {
          hits_by_page.push_back(i);
          break;
        }
      }
    }
    fci_close(&index, 0);  // keeps the ".ro" file, which the next open uses again
  }

  static void key_of(const std::string& path, uint8_t key[FCI_KEY_SIZE]) {
    unsigned n = 0;
    EVP_Digest(path.data(), path.size(), key, &n, EVP_sha1(), nullptr);
  }
  // The page a lookup of `path` reads first.
  static uint32_t page_of(const Fci& index, const std::string& path) {
    uint8_t key[FCI_KEY_SIZE];
    key_of(path, key);
    uint32_t low = 0, high = index.lead_count;
    while (low < high) {
      uint32_t mid = (low + high) / 2;
      if (memcmp(index.leads + mid * FCI_RECORD_SIZE, key, FCI_KEY_SIZE) < 0) {
        low = mid + 1;
      } else {
        high = mid;
      }
    }
    return low > 0 ? low - 1 : 0;
  }
  static bool is_lead(const Fci& index, const std::string& path) {
    uint8_t key[FCI_KEY_SIZE];
    key_of(path, key);
    for (uint32_t p = 0; p < index.lead_count; ++p) {
      if (memcmp(index.leads + p * FCI_RECORD_SIZE, key, FCI_KEY_SIZE) == 0) return true;
    }
    return false;
  }

  std::string previous_;
  std::string dir_;
};

// Lookups confined to 5000 pages (the cache holds 5120), cache filled before timing.
void BM_LookupWarm(benchmark::State& state) {
  World& world = World::get();
  bool hits = state.range(0) == 1;
  std::vector<std::string> paths;
  std::vector<int> ids;
  for (uint32_t p = 0; p < 5000 && p < world.pages; ++p) {
    if (hits) {
      for (int i : world.hits_in_page[p]) {
        paths.push_back(path_of(i));
        ids.push_back(i);
      }
    } else {
      for (const std::string& m : world.misses_in_page[p]) paths.push_back(m);
    }
  }
  std::vector<size_t> order(paths.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(2));
  Fci index;
  if (fci_open(&index, kSchedule, kStamp) != 0) abort();
  int current = 0;
  for (size_t i : order) {  // warm
    (void)fci_lookup(&index, paths[i].c_str(), hits ? time_of(ids[i]) : 0,
                     hits ? size_of(ids[i]) : 0, &current);
  }
  size_t k = 0;
  int64_t found = 0;
  for (auto _ : state) {
    size_t i = order[k];
    if (++k == order.size()) k = 0;
    int rc = fci_lookup(&index, paths[i].c_str(), hits ? time_of(ids[i]) : 0,
                        hits ? size_of(ids[i]) : 0, &current);
    benchmark::DoNotOptimize(rc);
    found += current;
  }
  if (hits && found != static_cast<int64_t>(state.iterations()))
    state.SkipWithError("hit not found");
  if (!hits && found != 0) state.SkipWithError("miss found");
  state.SetItemsProcessed(state.iterations());
  fci_close(&index, 0);
}
BENCHMARK(BM_LookupWarm)->Arg(1)->ArgName("hit")->Unit(benchmark::kNanosecond);
BENCHMARK(BM_LookupWarm)->Arg(0)->ArgName("hit")->Unit(benchmark::kNanosecond);

// Every lookup reads its page: one path per page, pages in a cycle longer than the cache.
void BM_LookupCold(benchmark::State& state) {
  World& world = World::get();
  bool hits = state.range(0) == 1;
  std::vector<std::string> paths;
  std::vector<int> ids;
  for (uint32_t p = 0; p < world.pages; ++p) {
    if (hits) {
      if (p < world.hits_by_page.size()) {
        paths.push_back(path_of(world.hits_by_page[p]));
        ids.push_back(world.hits_by_page[p]);
      }
    } else if (!world.misses_in_page[p].empty()) {
      paths.push_back(world.misses_in_page[p][0]);
      ids.push_back(0);
    }
  }
  Fci index;
  if (fci_open(&index, kSchedule, kStamp) != 0) abort();
  size_t k = 0;
  int current = 0;
  int64_t found = 0;
  for (auto _ : state) {
    int rc = fci_lookup(&index, paths[k].c_str(), hits ? time_of(ids[k]) : 0,
                        hits ? size_of(ids[k]) : 0, &current);
    benchmark::DoNotOptimize(rc);
    found += current;
    if (++k == paths.size()) k = 0;
  }
  if (hits && found != static_cast<int64_t>(state.iterations()))
    state.SkipWithError("hit not found");
  if (!hits && found != 0) state.SkipWithError("miss found");
  state.SetItemsProcessed(state.iterations());
  state.counters["pages"] = world.pages;
  fci_close(&index, 0);
}
BENCHMARK(BM_LookupCold)->Arg(1)->ArgName("hit")->Unit(benchmark::kNanosecond);
BENCHMARK(BM_LookupCold)->Arg(0)->ArgName("hit")->Unit(benchmark::kNanosecond);

// Random hits over the whole index: the realistic mix of cached and uncached pages.
void BM_LookupRandomHits(benchmark::State& state) {
  World::get();
  std::vector<int> order(kRecords);
  for (int i = 0; i < kRecords; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(3));
  std::vector<std::string> paths;
  paths.reserve(order.size());
  for (int i : order) paths.push_back(path_of(i));
  Fci index;
  if (fci_open(&index, kSchedule, kStamp) != 0) abort();
  size_t k = 0;
  int current = 0;
  for (auto _ : state) {
    int i = order[k];
    int rc = fci_lookup(&index, paths[k].c_str(), time_of(i), size_of(i), &current);
    benchmark::DoNotOptimize(rc);
    if (++k == paths.size()) k = 0;
  }
  state.SetItemsProcessed(state.iterations());
  fci_close(&index, 0);
}
BENCHMARK(BM_LookupRandomHits)->Unit(benchmark::kNanosecond);

// fci_add of 1M records (not timed) then fci_close (timed): sort and durable write.
void BM_Close1M(benchmark::State& state) {
  World::get();
  std::vector<int> order(kRecords);
  for (int i = 0; i < kRecords; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937(4));
  std::vector<std::string> paths;
  for (int i : order) paths.push_back(path_of(i));
  for (auto _ : state) {
    state.PauseTiming();
    auto index = std::make_unique<Fci>();
    (void)fci_open(index.get(), "close.kbs", 0);
    for (size_t k = 0; k < paths.size(); ++k) {
      if (fci_add(index.get(), paths[k].c_str(), time_of(order[k]), size_of(order[k])) != 0)
        abort();
    }
    state.ResumeTiming();
    fci_close(index.get(), 7);
  }
  state.SetItemsProcessed(state.iterations() * kRecords);
}
BENCHMARK(BM_Close1M)->Unit(benchmark::kMillisecond)->Iterations(3);

// fci_add alone: digest plus buffered bucket appends.
void BM_Add(benchmark::State& state) {
  World::get();
  auto index = std::make_unique<Fci>();
  (void)fci_open(index.get(), "add.kbs", 0);
  int i = 0;
  for (auto _ : state) {
    std::string p = path_of(i % kRecords);
    if (fci_add(index.get(), p.c_str(), time_of(i), size_of(i)) != 0) abort();
    ++i;
  }
  state.SetItemsProcessed(state.iterations());
  fci_close(index.get(), 0);
}
BENCHMARK(BM_Add)->Unit(benchmark::kNanosecond);

}  // namespace
