#include "agent/backup/fci/hash_table.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

const uint32_t hash_primes[HASH_PRIME_COUNT] = {
    19,        29,        41,         59,         79,        107,       149,       197,
    263,       347,       457,        599,        787,       1031,      1361,      1777,
    2333,      3037,      3967,       5167,       6719,      8737,      11369,     14783,
    19219,     24989,     32491,      42257,      54941,     71429,     92861,     120721,
    156941,    204047,    265271,     344857,     448321,    582821,    757693,    985003,
    1280519,   1664681,   2164111,    2813353,    3657361,   4754591,   6180989,   8035301,
    10445899,  13579681,  17653589,   22949669,   29834603,  38784989,  50420551,  65546729,
    85210757,  110774011, 144006217,  187208107,  243370577, 316381771, 411296309, 534685237,
    695090819, 903618083, 1174703521, 1527114613, 1985248999};

namespace {

uint32_t threshold_for(uint32_t buckets, double load_factor) {
  return static_cast<uint32_t>(std::ceil(static_cast<double>(buckets) * load_factor));
}

// Moves every entry into a table of the next prime, keeping chain order.
int grow(HashTable* table) {
  if (table->prime_index + 1 >= HASH_PRIME_COUNT) return 0;
  uint32_t next_count = hash_primes[table->prime_index + 1];
  auto** fresh = static_cast<HashEntry**>(calloc(next_count, sizeof(HashEntry*)));
  if (fresh == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  // Tails make appending O(1) while the old chains are walked in order.
  auto** tails = static_cast<HashEntry**>(calloc(next_count, sizeof(HashEntry*)));
  if (tails == nullptr) {
    free(fresh);
    errno = ENOMEM;
    return -1;
  }
  for (uint32_t b = 0; b < table->bucket_count; ++b) {
    HashEntry* entry = table->buckets[b];
    while (entry != nullptr) {
      HashEntry* next = entry->next;
      uint32_t slot = table->hash(entry->key) % next_count;
      entry->next = nullptr;
      if (tails[slot] == nullptr) {
        fresh[slot] = entry;
      } else {
        tails[slot]->next = entry;
      }
      tails[slot] = entry;
      entry = next;
    }
  }
  free(tails);
  free(table->buckets);
  table->buckets = fresh;
  table->bucket_count = next_count;
  table->prime_index += 1;
  table->threshold = threshold_for(next_count, table->load_factor);
  return 0;
}

}  // namespace

HashTable* hash_table_create(uint32_t requested, double load_factor, HashFn hash,
                             HashEqualFn equal) {
  if (hash == nullptr || equal == nullptr || !(load_factor >= 0.0)) {
    errno = EINVAL;
    return nullptr;
  }
  int index = 0;
  while (index < HASH_PRIME_COUNT && hash_primes[index] < requested) ++index;
  if (index == HASH_PRIME_COUNT) {
    errno = EINVAL;
    return nullptr;
  }
  auto* table = static_cast<HashTable*>(calloc(1, sizeof(HashTable)));
  if (table == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  table->bucket_count = hash_primes[index];
  table->buckets = static_cast<HashEntry**>(calloc(table->bucket_count, sizeof(HashEntry*)));
  if (table->buckets == nullptr) {
    free(table);
    errno = ENOMEM;
    return nullptr;
  }
  table->prime_index = index;
  table->load_factor = load_factor == 0.0 ? 0.75 : load_factor;
  table->threshold = threshold_for(table->bucket_count, table->load_factor);
  table->hash = hash;
  table->equal = equal;
  return table;
}

void hash_table_destroy(HashTable* table) {
  if (table == nullptr) return;
  for (uint32_t b = 0; b < table->bucket_count; ++b) {
    HashEntry* entry = table->buckets[b];
    while (entry != nullptr) {
      HashEntry* next = entry->next;
      free(entry);
      entry = next;
    }
  }
  free(table->buckets);
  free(table);
}

int hash_table_insert(HashTable* table, const void* key, void* value) {
  if (table->count > table->threshold && grow(table) != 0) return -1;
  auto* entry = static_cast<HashEntry*>(malloc(sizeof(HashEntry)));
  if (entry == nullptr) {
    errno = ENOMEM;
    return -1;
  }
  entry->key = key;
  entry->value = value;
  entry->next = nullptr;
  HashEntry** link = &table->buckets[table->hash(key) % table->bucket_count];
  while (*link != nullptr) link = &(*link)->next;
  *link = entry;
  table->count += 1;
  return 0;
}

void* hash_table_find(const HashTable* table, const void* key) {
  for (HashEntry* entry = table->buckets[table->hash(key) % table->bucket_count]; entry != nullptr;
       entry = entry->next) {
    if (table->equal(entry->key, key)) return entry->value;
  }
  return nullptr;
}

int hash_table_remove(HashTable* table, const void* key) {
  HashEntry** link = &table->buckets[table->hash(key) % table->bucket_count];
  while (*link != nullptr) {
    if (table->equal((*link)->key, key)) {
      HashEntry* gone = *link;
      *link = gone->next;
      free(gone);
      table->count -= 1;
      return 0;
    }
    link = &(*link)->next;
  }
  errno = ENOENT;
  return -1;
}

uint32_t hash_string(const char* text) {
  uint32_t h = 0;
  for (const auto* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    h = h * 65599u + *p;
  }
  return h;
}

uint32_t hash_bytes(const void* bytes, size_t length) {
  uint32_t h = 0;
  const auto* p = static_cast<const unsigned char*>(bytes);
  for (size_t i = 0; i < length; ++i) h = h * 65599u + p[i];
  return h;
}
