// Chained hash table over caller-owned keys and values, sized from a fixed table of primes
// and grown by rehashing into the next prime. The file change index uses it to find cached
// pages by page number. The table owns only its bucket array and chain nodes; keys and
// values stay with the caller and must outlive their entries. Not thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

using HashFn = uint32_t (*)(const void* key);
using HashEqualFn = bool (*)(const void* a, const void* b);

struct HashEntry {
  const void* key;
  void* value;
  HashEntry* next;
};

struct HashTable {
  HashEntry** buckets;
  uint32_t bucket_count;
  int prime_index;  // position of bucket_count in the prime table
  uint32_t count;   // entries
  uint32_t threshold;
  double load_factor;
  HashFn hash;
  HashEqualFn equal;
};

// The ascending primes bucket counts are taken from.
constexpr int HASH_PRIME_COUNT = 69;
extern const uint32_t hash_primes[HASH_PRIME_COUNT];

// A table of the first prime not below `requested` buckets. A load factor of 0 means 0.75.
// Null with errno: EINVAL when `requested` exceeds the largest prime or a function is
// missing, ENOMEM when memory runs out.
HashTable* hash_table_create(uint32_t requested, double load_factor, HashFn hash,
                             HashEqualFn equal);
void hash_table_destroy(HashTable* table);

// Appends an entry to its chain (an equal key already present is not replaced). Grows first
// when the count is above the threshold; a table at the largest prime keeps its size.
// Answers 0, or -1 with errno ENOMEM.
int hash_table_insert(HashTable* table, const void* key, void* value);

// The value of the first entry equal to `key`, or null.
void* hash_table_find(const HashTable* table, const void* key);

// Unlinks the first entry equal to `key`. Answers 0, or -1 with errno ENOENT.
int hash_table_remove(HashTable* table, const void* key);

// Default hashes: h = h * 65599 + byte, over a NUL-terminated string or `length` bytes.
uint32_t hash_string(const char* text);
uint32_t hash_bytes(const void* bytes, size_t length);
