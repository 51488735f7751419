// The page cache's hash table: sizing from the prime table, growth, chains and hashes.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "agent/backup/fci/hash_table.h"

namespace {

uint32_t int_hash(const void* key) {
  return *static_cast<const uint32_t*>(key);
}
bool int_equal(const void* a, const void* b) {
  return *static_cast<const uint32_t*>(a) == *static_cast<const uint32_t*>(b);
}
uint32_t same_hash(const void*) {
  return 7;
}

struct TableDeleter {
  void operator()(HashTable* t) const { hash_table_destroy(t); }
};
using TablePtr = std::unique_ptr<HashTable, TableDeleter>;

TEST(FciHashTable, SizesComeFromThePrimeTable) {
  EXPECT_EQ(hash_primes[0], 19u);
  EXPECT_EQ(hash_primes[HASH_PRIME_COUNT - 1], 1985248999u);
  for (int i = 1; i < HASH_PRIME_COUNT; ++i) EXPECT_LT(hash_primes[i - 1], hash_primes[i]);

  struct {
    uint32_t requested;
    uint32_t buckets;
  } cases[] = {{0, 19}, {19, 19}, {20, 29}, {10240, 11369}, {11369, 11369}, {11370, 14783}};
  for (auto c : cases) {
    TablePtr t(hash_table_create(c.requested, 0.5, int_hash, int_equal));
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->bucket_count, c.buckets) << c.requested;
  }
  errno = 0;
  EXPECT_EQ(hash_table_create(1985249000u, 0.5, int_hash, int_equal), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(hash_table_create(10, 0.5, nullptr, int_equal), nullptr);
}

TEST(FciHashTable, ThresholdRoundsUpAndZeroLoadFactorMeansThreeQuarters) {
  TablePtr half(hash_table_create(10240, 0.5, int_hash, int_equal));
  EXPECT_EQ(half->threshold, 5685u);  // 11369 * 0.5 = 5684.5
  TablePtr dflt(hash_table_create(19, 0.0, int_hash, int_equal));
  EXPECT_EQ(dflt->threshold, 15u);  // 19 * 0.75 = 14.25
}

TEST(FciHashTable, InsertionAboveTheThresholdGrowsToTheNextPrime) {
  TablePtr t(hash_table_create(19, 0.5, int_hash, int_equal));
  ASSERT_EQ(t->threshold, 10u);
  std::vector<uint32_t> keys(100);
  for (uint32_t i = 0; i < keys.size(); ++i) keys[i] = i * 31u;
  for (int i = 0; i < 11; ++i) ASSERT_EQ(hash_table_insert(t.get(), &keys[i], &keys[i]), 0);
  EXPECT_EQ(t->bucket_count, 19u);  // count 10 was not above 10 at the 11th insertion
  ASSERT_EQ(hash_table_insert(t.get(), &keys[11], &keys[11]), 0);
  EXPECT_EQ(t->bucket_count, 29u);
  EXPECT_EQ(t->threshold, 15u);
  for (size_t i = 12; i < keys.size(); ++i)
    ASSERT_EQ(hash_table_insert(t.get(), &keys[i], &keys[i]), 0);
  EXPECT_EQ(t->count, 100u);
  EXPECT_EQ(t->bucket_count, 197u);  // 29, 41, 59, 79, 107, 149, 197 (threshold 99)
  for (uint32_t& k : keys) EXPECT_EQ(hash_table_find(t.get(), &k), &k);
  uint32_t absent = 5;
  EXPECT_EQ(hash_table_find(t.get(), &absent), nullptr);
}

TEST(FciHashTable, ChainsKeepInsertionOrderThroughGrowth) {
  // One chain holds everything; equal keys come back first-inserted first.
  TablePtr t(hash_table_create(19, 0.5, same_hash, int_equal));
  uint32_t key = 1;
  std::vector<int> values(40);
  for (int i = 0; i < 40; ++i) {
    values[i] = i;
    ASSERT_EQ(hash_table_insert(t.get(), &key, &values[i]), 0);
  }
  EXPECT_GT(t->bucket_count, 19u);
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(hash_table_find(t.get(), &key), &values[i]);
    ASSERT_EQ(hash_table_remove(t.get(), &key), 0);
  }
  errno = 0;
  EXPECT_EQ(hash_table_remove(t.get(), &key), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(t->count, 0u);
}

TEST(FciHashTable, AgreesWithAModelUnderRandomChurn) {
  TablePtr t(hash_table_create(10240, 0.5, int_hash, int_equal));
  std::map<uint32_t, std::unique_ptr<uint32_t>> model;
  std::mt19937 rng(3);
  for (int step = 0; step < 200000; ++step) {
    uint32_t k = rng() % 20000;
    auto it = model.find(k);
    if (it == model.end()) {
      auto owned = std::make_unique<uint32_t>(k);
      ASSERT_EQ(hash_table_insert(t.get(), owned.get(), owned.get()), 0);
      model[k] = std::move(owned);
    } else if (rng() % 2 == 0) {
      ASSERT_EQ(hash_table_find(t.get(), &k), it->second.get());
      ASSERT_EQ(hash_table_remove(t.get(), &k), 0);
      model.erase(it);
    }
    ASSERT_EQ(t->count, model.size());
  }
  for (auto& [k, v] : model) ASSERT_EQ(hash_table_find(t.get(), &k), v.get());
}

TEST(FciHashTable, DefaultHashesMultiplyBy65599) {
  EXPECT_EQ(hash_string(""), 0u);
  EXPECT_EQ(hash_string("a"), 97u);
  EXPECT_EQ(hash_string("ab"), 97u * 65599u + 98u);
  EXPECT_EQ(hash_string("\xff"), 255u);  // bytes are unsigned
  uint32_t expected = 0;
  for (const char* p = "a longer text that wraps around"; *p; ++p) {
    expected = expected * 65599u + static_cast<unsigned char>(*p);
  }
  EXPECT_EQ(hash_string("a longer text that wraps around"), expected);
  EXPECT_EQ(hash_bytes("a longer text that wraps around", 31), expected);
  const char with_nul[] = {'x', 0, 'y'};
  EXPECT_EQ(hash_bytes(with_nul, 3), (120u * 65599u + 0u) * 65599u + 121u);
  EXPECT_EQ(hash_bytes(with_nul, 0), 0u);
}

}  // namespace
