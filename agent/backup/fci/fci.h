// File change index: a local, sorted, paged cache of what the server already holds for
// one schedule (path digest, modification time, size), answering "unchanged since the last
// run?" without a server request, while collecting this run's records for the next index.
// The byte format is in FORMAT.md beside this file.
//
// Ownership and threads: one Fci per job, owned by the job run and used on the backup
// thread only. The sort folder "$FCISORT$" is relative to the working directory and shared
// by every index opened there, so one index at a time per working directory. The index
// never changes the working directory.
#pragma once

#include <cstddef>
#include <cstdint>

#include "agent/backup/fci/hash_table.h"
#include "platform/env.h"

constexpr uint32_t FCI_VERSION = 1;
constexpr size_t FCI_HEADER_SIZE = 8;
constexpr size_t FCI_KEY_SIZE = 20;
constexpr size_t FCI_RECORD_SIZE = 32;
constexpr size_t FCI_PAGE_SIZE = 4096;
constexpr uint32_t FCI_RECORDS_PER_PAGE = FCI_PAGE_SIZE / FCI_RECORD_SIZE;
constexpr int FCI_CACHE_PAGES = 5120;
constexpr int FCI_BUCKETS = 256;
constexpr size_t FCI_PATH_MAX = 512;
constexpr size_t FCI_ERROR_MAX = 256;
constexpr uint32_t FCI_DST_SECONDS = 3600;

// Working folder of the sort buckets, relative to the working directory.
constexpr const char FCI_SORT_DIR[] = "$FCISORT$";

enum : unsigned {
  FCI_INVALID = 1u << 0,
  FCI_CLOSED = 1u << 1,
};

// A record decoded from its 32 bytes (see FORMAT.md).
struct FciRecord {
  uint8_t key[FCI_KEY_SIZE];
  uint32_t time;
  uint64_t size;
};

void fci_encode_record(const FciRecord& record, uint8_t out[FCI_RECORD_SIZE]);
FciRecord fci_decode_record(const uint8_t in[FCI_RECORD_SIZE]);

// One cached page of the index: up to 128 encoded records.
struct FciPage {
  uint32_t page_id;
  uint32_t record_count;
  uint8_t bytes[FCI_PAGE_SIZE];
};

// One sort bucket: records appended in arrival order through a 4096-byte buffer.
struct FciBucket {
  int fd = -1;
  bool failed = false;    // a write was lost: the bucket's records are dropped
  uint32_t buffered = 0;  // bytes waiting in `buffer`
  uint64_t written = 0;   // bytes handed to the file
  uint8_t* buffer = nullptr;
};

struct evp_md_ctx_st;
struct evp_md_st;

struct Fci {
  Fci();
  ~Fci();  // releases memory and descriptors; writes and deletes nothing
  Fci(const Fci&) = delete;
  Fci& operator=(const Fci&) = delete;

  // File access; null means plat_env(). Set before fci_open; the job run passes its own,
  // tests wrap it.
  Env* env = nullptr;

  int fd = -1;                  // the open ".ro" file
  char path[FCI_PATH_MAX];      // base + ".fci"
  char ro_path[FCI_PATH_MAX];   // base + ".fci.ro"
  char tmp_path[FCI_PATH_MAX];  // base + ".fci.tmp", the next index until it is complete
  unsigned flags = FCI_CLOSED;
  char error[FCI_ERROR_MAX];  // last validation or page error; empty when none

  evp_md_ctx_st* sha = nullptr;
  evp_md_st* sha1 = nullptr;

  uint32_t version = 0;
  int32_t stamp = 0;

  uint32_t lead_count = 0;   // pages
  uint8_t* leads = nullptr;  // every page's first record, 32 bytes each

  FciPage* ring[FCI_CACHE_PAGES];
  uint32_t ring_oldest = 0;
  uint32_t ring_next = 0;
  uint32_t ring_count = 0;
  HashTable* pages = nullptr;  // page number -> FciPage in the ring

  FciBucket buckets[FCI_BUCKETS];
};

// Opens the index of `schedule_path` (base = the path without the extension of its last
// component, if any). Valid only when the previous index exists and its stamp equals
// `expected_stamp`. Answers 0 valid, -1 invalid (the text in `error`); an invalid index
// answers every lookup with "not current" but still collects records.
[[nodiscard]] int fci_open(Fci* index, const char* schedule_path, uint32_t expected_stamp);

// Sets *current to 1 when the index holds a record for `path` with the same size and a time
// equal to `time` or exactly 3600 seconds apart. Answers -1 only when a page cannot be
// loaded (the index is invalid from then on), else 0.
[[nodiscard]] int fci_lookup(Fci* index, const char* path, uint32_t time, uint64_t size,
                             int* current);

// Collects a record for the next index. Answers 0, or -1 when its sort bucket cannot be
// created or written (the record is lost; text in `error`).
[[nodiscard]] int fci_add(Fci* index, const char* path, uint32_t time, uint64_t size);

// Ends the run, once. A non-zero `new_stamp` writes the next index from the collected
// records, durably, before the old one is deleted; zero (or a failure to write) keeps the
// ".ro" file for the next open. The sort folder is emptied and removed either way.
void fci_close(Fci* index, uint32_t new_stamp);

// The cached page, loading it on a miss; null on failure (text in `error`, index invalid).
const FciPage* fci_get_page(Fci* index, uint32_t page_id);
