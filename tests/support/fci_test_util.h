// Shared helpers of the change index tests: record sets, raw index files, lookups.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <openssl/evp.h>

#include "agent/backup/fci/coding.h"
#include "agent/backup/fci/fci.h"
#include "tests/support/fci_test_fs.h"
#include "tests/support/test_support.h"

namespace fci_test {

struct Item {
  std::string path;
  uint32_t time;
  uint64_t size;
};

inline std::string item_path(int i) {
  char buffer[64];
  snprintf(buffer, sizeof buffer, "C:\\data\\folder %d\\file%07d.txt", i % 97, i);
  return buffer;
}

// Deterministic items; some sizes use the high word.
inline std::vector<Item> make_items(int count, int first = 0) {
  std::vector<Item> items;
  items.reserve(static_cast<size_t>(count));
  for (int i = first; i < first + count; ++i) {
    uint64_t size = static_cast<uint64_t>(i) * 1000003u;
    if (i % 5 == 0) size |= static_cast<uint64_t>(i % 7 + 1) << 32;
    items.push_back(Item{item_path(i), 1600000000u + static_cast<uint32_t>(i) * 13u, size});
  }
  return items;
}

inline void sha1_of(const std::string& path, uint8_t key[FCI_KEY_SIZE]) {
  unsigned int n = 0;
  EVP_Digest(path.data(), path.size(), key, &n, EVP_sha1(), nullptr);
}

// Encodes a record by hand, independently of fci_encode_record.
inline std::string raw_record(const uint8_t key[FCI_KEY_SIZE], uint32_t time, uint64_t size) {
  std::string r(reinterpret_cast<const char*>(key), FCI_KEY_SIZE);
  for (int i = 0; i < 4; ++i) r.push_back(static_cast<char>(time >> (8 * i)));
  for (int i = 0; i < 8; ++i) r.push_back(static_cast<char>(size >> (8 * i)));
  return r;
}

inline std::string raw_header(uint32_t version, uint32_t stamp) {
  std::string h;
  for (int i = 0; i < 4; ++i) h.push_back(static_cast<char>(version >> (8 * i)));
  for (int i = 0; i < 4; ++i) h.push_back(static_cast<char>(stamp >> (8 * i)));
  return h;
}

// One whole run: open (whatever it finds), add every item, close with `stamp`.
inline void write_index(const char* schedule, uint32_t stamp, const std::vector<Item>& items,
                        Env* fs = quick_fs()) {
  Fci index;
  index.env = fs;
  (void)fci_open(&index, schedule, 0);
  for (const Item& item : items) {
    ASSERT_EQ(fci_add(&index, item.path.c_str(), item.time, item.size), 0) << index.error;
  }
  fci_close(&index, stamp);
}

// Looks up and answers current (0/1), or -1 when the lookup failed.
inline int current_of(Fci* index, const std::string& path, uint32_t time, uint64_t size) {
  int current = -7;
  int rc = fci_lookup(index, path.c_str(), time, size, &current);
  if (rc != 0) return -1;
  return current;
}

}  // namespace fci_test
