#include "agent/backup/fci/fci.h"

#include <openssl/evp.h>
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent/backup/fci/coding.h"
#include "platform/error.h"

namespace {

// The source location printed in page errors.
constexpr const char kSourceName[] = "fci.cpp";
constexpr size_t kNewIndexBuffer = 16 * 1024;

Env* fs_of(const Fci* f) {
  return f->env != nullptr ? f->env : plat_env();
}

void set_error(Fci* f, const char* format, ...) __attribute__((format(printf, 2, 3)));
void set_error(Fci* f, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vsnprintf(f->error, sizeof f->error, format, args);
  va_end(args);
}

const char* sys_text(int errnum) {
  return plat_error_message(errnum);
}

// Short reads are repeated; answers the bytes read (fewer only at end of file) or -1.
ssize_t read_full(Env* fs, int fd, uint8_t* out, size_t length, uint64_t offset) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = fs->read_at(fd, out + done, length - done, offset + done);
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

int write_full(Env* fs, int fd, const uint8_t* bytes, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = fs->write(fd, bytes + done, length - done);
    if (n < 0) return -1;
    if (n == 0) {
      errno = EIO;
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return 0;
}

void bucket_path(int bucket, char (&out)[32]) {
  snprintf(out, sizeof out, "%s\\%d", FCI_SORT_DIR, bucket);
}

int compare_keys(const uint8_t* a, const uint8_t* b) {
  return memcmp(a, b, FCI_KEY_SIZE);
}

bool passes(const uint8_t* record, uint32_t time, uint64_t size) {
  if (fci::get_u64le(record + 24) != size) return false;
  uint64_t stored = fci::get_u32le(record + 20);
  uint64_t probe = time;
  return stored == probe || stored == probe + FCI_DST_SECONDS || probe == stored + FCI_DST_SECONDS;
}

// First index in [0, count) whose key is not below `key`.
uint32_t lower_bound(const uint8_t* records, uint32_t count, const uint8_t* key) {
  uint32_t low = 0, high = count;
  while (low < high) {
    uint32_t mid = low + (high - low) / 2;
    if (compare_keys(records + static_cast<size_t>(mid) * FCI_RECORD_SIZE, key) < 0) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

uint32_t page_hash(const void* key) {
  return *static_cast<const uint32_t*>(key);
}
bool page_equal(const void* a, const void* b) {
  return *static_cast<const uint32_t*>(a) == *static_cast<const uint32_t*>(b);
}

void digest(Fci* f, const char* path, uint8_t key[FCI_KEY_SIZE]) {
  size_t length = strlen(path);
  unsigned int out_length = 0;
  if (f->sha != nullptr && EVP_DigestInit_ex2(f->sha, f->sha1, nullptr) == 1 &&
      EVP_DigestUpdate(f->sha, path, length) == 1 &&
      EVP_DigestFinal_ex(f->sha, key, &out_length) == 1) {
    return;
  }
  EVP_Digest(path, length, key, &out_length, EVP_sha1(), nullptr);
}

void free_pages(Fci* f) {
  hash_table_destroy(f->pages);
  f->pages = nullptr;
  for (FciPage*& page : f->ring) {
    free(page);
    page = nullptr;
  }
  f->ring_oldest = f->ring_next = f->ring_count = 0;
}

void free_reader(Fci* f) {
  free(f->leads);
  f->leads = nullptr;
  f->lead_count = 0;
  free_pages(f);
  EVP_MD_CTX_free(f->sha);
  f->sha = nullptr;
  EVP_MD_free(f->sha1);
  f->sha1 = nullptr;
  if (f->fd >= 0) fs_of(f)->close_file(f->fd);
  f->fd = -1;
}

// Closes a bucket's descriptor and drops its buffer; the file stays.
void release_bucket(Fci* f, FciBucket* bucket) {
  if (bucket->fd >= 0) fs_of(f)->close_file(bucket->fd);
  free(bucket->buffer);
  *bucket = FciBucket{};
}

int flush_bucket(Fci* f, FciBucket* bucket) {
  if (bucket->buffered == 0) return 0;
  if (write_full(fs_of(f), bucket->fd, bucket->buffer, bucket->buffered) != 0) return -1;
  bucket->written += bucket->buffered;
  bucket->buffered = 0;
  return 0;
}

// Deletes every bucket file, open or not.
void discard_buckets(Fci* f) {
  for (int b = 0; b < FCI_BUCKETS; ++b) {
    release_bucket(f, &f->buckets[b]);
    char name[32];
    bucket_path(b, name);
    fs_of(f)->delete_file(name);
  }
}

// Base = the schedule path without the extension of its last component. A dot in a folder
// name is not an extension: cutting there would put the index outside the folder and let
// two schedules share it.
int derive_paths(Fci* f, const char* schedule_path) {
  size_t length = strlen(schedule_path);
  size_t cut = length;
  for (size_t i = length; i > 0; --i) {
    char c = schedule_path[i - 1];
    if (c == '\\' || c == '/') break;
    if (c == '.') {
      cut = i - 1;
      break;
    }
  }
  int base = static_cast<int>(std::min<size_t>(cut, FCI_PATH_MAX));
  if (cut + strlen(".fci.tmp") >= FCI_PATH_MAX) return -1;
  snprintf(f->path, sizeof f->path, "%.*s.fci", base, schedule_path);
  snprintf(f->ro_path, sizeof f->ro_path, "%.*s.fci.ro", base, schedule_path);
  snprintf(f->tmp_path, sizeof f->tmp_path, "%.*s.fci.tmp", base, schedule_path);
  return 0;
}

// The folder holding `path`, for syncing its entries.
void folder_of(const char* path, char (&out)[FCI_PATH_MAX]) {
  const char* end = nullptr;
  for (const char* p = path; *p != 0; ++p) {
    if (*p == '\\' || *p == '/') end = p;
  }
  if (end == nullptr) {
    snprintf(out, sizeof out, ".");
  } else {
    snprintf(out, sizeof out, "%.*s", static_cast<int>(end - path + 1), path);
  }
}

void invalidate_and_delete_ro(Fci* f) {
  fs_of(f)->close_file(f->fd);
  f->fd = -1;
  fs_of(f)->delete_file(f->ro_path);
  f->flags |= FCI_INVALID;
}

void load_leads(Fci* f) {
  Env* fs = fs_of(f);
  int64_t file_size = fs->file_size(f->fd);
  if (file_size < static_cast<int64_t>(FCI_HEADER_SIZE)) {  // failed, or shrank since the header
    set_error(f, "FCI invalid: reading lead record %d: %s", 0,
              sys_text(file_size < 0 ? errno : ENODATA));
    f->flags |= FCI_INVALID;
    return;
  }
  uint64_t body = static_cast<uint64_t>(file_size) - FCI_HEADER_SIZE;
  if (body == 0) {
    set_error(f, "FCI invalid: empty record set");
    f->flags |= FCI_INVALID;
    return;
  }
  uint64_t count = (body + FCI_PAGE_SIZE - 1) / FCI_PAGE_SIZE;
  // Page numbers are 32-bit and printed as int.
  if (count > 0x7fffffffu) {
    set_error(f, "FCI invalid: loading (%d) lead records failed: %s", -1, sys_text(ENOMEM));
    f->flags |= FCI_INVALID;
    return;
  }
  f->leads = static_cast<uint8_t*>(malloc(count * FCI_RECORD_SIZE));
  if (f->leads == nullptr) {
    set_error(f, "FCI invalid: loading (%d) lead records failed: %s", static_cast<int>(count),
              sys_text(ENOMEM));
    f->flags |= FCI_INVALID;
    return;
  }
  for (uint64_t p = 0; p < count; ++p) {
    errno = 0;
    ssize_t n = read_full(fs, f->fd, f->leads + p * FCI_RECORD_SIZE, FCI_RECORD_SIZE,
                          FCI_HEADER_SIZE + p * FCI_PAGE_SIZE);
    if (n != static_cast<ssize_t>(FCI_RECORD_SIZE)) {
      set_error(f, "FCI invalid: reading lead record %d: %s", static_cast<int>(p),
                sys_text(n < 0 ? errno : ENODATA));
      free(f->leads);
      f->leads = nullptr;
      f->flags |= FCI_INVALID;
      return;
    }
  }
  f->lead_count = static_cast<uint32_t>(count);
}

// The next index's bytes on their way to the temporary file, through one buffer. After a
// failed write every later write is dropped and finish() answers -1.
class IndexWriter {
 public:
  IndexWriter(Env* fs, int out)
      : fs_(fs), out_(out), buffer_(static_cast<uint8_t*>(malloc(kNewIndexBuffer))) {
    ok_ = buffer_ != nullptr;
  }
  ~IndexWriter() { free(buffer_); }
  IndexWriter(const IndexWriter&) = delete;
  IndexWriter& operator=(const IndexWriter&) = delete;

  bool ok() const { return ok_; }

  void emit(const uint8_t* bytes, size_t length) {
    while (ok_ && length > 0) {
      size_t take = std::min(length, kNewIndexBuffer - buffered_);
      memcpy(buffer_ + buffered_, bytes, take);
      buffered_ += take;
      bytes += take;
      length -= take;
      if (buffered_ == kNewIndexBuffer) {
        ok_ = write_full(fs_, out_, buffer_, buffered_) == 0;
        buffered_ = 0;
      }
    }
  }

  // Writes what is buffered and makes the file durable. 0 or -1.
  int finish() {
    if (ok_ && buffered_ > 0) ok_ = write_full(fs_, out_, buffer_, buffered_) == 0;
    buffered_ = 0;
    if (ok_) ok_ = fs_->sync(out_) == 0;
    return ok_ ? 0 : -1;
  }

 private:
  Env* fs_;
  int out_;
  uint8_t* buffer_;
  size_t buffered_ = 0;
  bool ok_ = false;
};

struct SortRecord {
  uint8_t bytes[FCI_RECORD_SIZE];
};

// Reads bucket `b` whole into `*records` (grown as needed), then releases and deletes the
// bucket file. Answers the record count, or -1 when the bucket's records are lost.
int64_t take_bucket(Fci* f, int b, SortRecord** records, uint64_t* capacity) {
  Env* fs = fs_of(f);
  FciBucket* bucket = &f->buckets[b];
  bool usable = !bucket->failed && flush_bucket(f, bucket) == 0;
  uint64_t count = bucket->written / FCI_RECORD_SIZE;
  if (usable && count > *capacity) {
    auto* grown = static_cast<SortRecord*>(realloc(*records, count * sizeof(SortRecord)));
    if (grown == nullptr) {
      usable = false;
    } else {
      *records = grown;
      *capacity = count;
    }
  }
  if (usable && count > 0) {
    ssize_t n = read_full(fs, bucket->fd, (*records)[0].bytes, count * FCI_RECORD_SIZE, 0);
    usable = n == static_cast<ssize_t>(count * FCI_RECORD_SIZE);
  }
  release_bucket(f, bucket);
  char name[32];
  bucket_path(b, name);
  fs->delete_file(name);
  return usable ? static_cast<int64_t>(count) : -1;
}

// Writes the collected records, bucket by bucket, into the temporary file. Answers 0 when
// every record that reached its bucket is in the file and the file is durable.
int build_new_index(Fci* f, int out, uint32_t new_stamp) {
  IndexWriter writer(fs_of(f), out);
  if (!writer.ok()) return -1;
  uint8_t header[FCI_HEADER_SIZE];
  fci::put_u32le(header, FCI_VERSION);
  fci::put_u32le(header + 4, new_stamp);
  writer.emit(header, sizeof header);

  SortRecord* records = nullptr;
  uint64_t capacity = 0;
  for (int b = 0; b < FCI_BUCKETS && writer.ok(); ++b) {
    // A bucket this run never opened has nothing of it; a stray file of that name is not
    // ours to read (the caller deletes it).
    if (f->buckets[b].fd < 0) continue;
    int64_t count = take_bucket(f, b, &records, &capacity);
    if (count < 0) continue;  // those records are lost: later lookups miss them
    std::sort(records, records + count, [](const SortRecord& a, const SortRecord& c) {
      return compare_keys(a.bytes, c.bytes) < 0;
    });
    for (int64_t i = 0; i < count && writer.ok(); ++i) {
      // The bucket is the key's first byte; anything else is not a record we wrote.
      if (records[i].bytes[0] != b) continue;
      writer.emit(records[i].bytes, FCI_RECORD_SIZE);
    }
  }
  free(records);
  return writer.finish();
}

// Leftover buckets belong to a run that never closed: start empty.
void reset_sort_folder(Env* fs) {
  if (fs->dir_usable(FCI_SORT_DIR) != 1) {
    fs->make_dir(FCI_SORT_DIR);
    return;
  }
  for (int b = 0; b < FCI_BUCKETS; ++b) {
    char name[32];
    bucket_path(b, name);
    fs->delete_file(name);
  }
}

// Derives the paths and moves the last index to the ".ro" name (or keeps the ".ro" file an
// unfinished close left). Marks the index invalid when there is none to read.
void take_old_index(Fci* f, const char* schedule_path) {
  Env* fs = fs_of(f);
  if (schedule_path == nullptr || derive_paths(f, schedule_path) != 0) {
    f->path[0] = f->ro_path[0] = f->tmp_path[0] = 0;
    set_error(f, "FCI invalid: index path too long");
    f->flags |= FCI_INVALID;
    return;
  }
  // A next index that a killed close never finished is garbage.
  fs->delete_file(f->tmp_path);
  if (fs->file_exists(f->ro_path) == 1) {
    // The last run did not finish its close: its ".fci", if any, is not to be trusted.
    fs->delete_file(f->path);
  } else if (fs->file_exists(f->path) != 1) {
    set_error(f, "FCI invalid: unintialized");
    f->flags |= FCI_INVALID;
  } else if (fs->rename_file(f->path, f->ro_path) != 0) {
    set_error(f, "FCI invalid: rename read-only fci failed: %s", sys_text(errno));
    fs->delete_file(f->path);
    f->flags |= FCI_INVALID;
  }
}

// Opens the ".ro" file and checks its header against the expected stamp.
void check_old_index(Fci* f, uint32_t expected_stamp) {
  Env* fs = fs_of(f);
  f->fd = fs->open_file(f->ro_path, PLAT_OPEN_READ);
  if (f->fd < 0) {
    set_error(f, "FCI invalid: open read-only fci failed: %s", sys_text(errno));
    f->flags |= FCI_INVALID;
    return;
  }
  uint8_t header[FCI_HEADER_SIZE];
  errno = 0;
  ssize_t n = read_full(fs, f->fd, header, sizeof header, 0);
  if (n != static_cast<ssize_t>(sizeof header)) {
    set_error(f, "FCI invalid: reading header failed: %s", sys_text(n < 0 ? errno : ENODATA));
    invalidate_and_delete_ro(f);
    return;
  }
  f->version = fci::get_u32le(header);
  f->stamp = static_cast<int32_t>(fci::get_u32le(header + 4));
  if (f->version != FCI_VERSION) {
    invalidate_and_delete_ro(f);
  } else if (static_cast<uint32_t>(f->stamp) != expected_stamp) {
    set_error(f, "FCI invalid: out of sync: client(%ld) != server(%ld)",
              static_cast<long>(f->stamp), static_cast<long>(static_cast<int32_t>(expected_stamp)));
    invalidate_and_delete_ro(f);
  }
}

}  // namespace

void fci_encode_record(const FciRecord& record, uint8_t out[FCI_RECORD_SIZE]) {
  memcpy(out, record.key, FCI_KEY_SIZE);
  fci::put_u32le(out + 20, record.time);
  fci::put_u64le(out + 24, record.size);
}

FciRecord fci_decode_record(const uint8_t in[FCI_RECORD_SIZE]) {
  FciRecord record;
  memcpy(record.key, in, FCI_KEY_SIZE);
  record.time = fci::get_u32le(in + 20);
  record.size = fci::get_u64le(in + 24);
  return record;
}

Fci::Fci() {
  path[0] = ro_path[0] = tmp_path[0] = error[0] = 0;
  for (FciPage*& page : ring) page = nullptr;
}

Fci::~Fci() {
  free_reader(this);
  for (FciBucket& bucket : buckets) release_bucket(this, &bucket);
}

int fci_open(Fci* f, const char* schedule_path, uint32_t expected_stamp) {
  free_reader(f);
  for (FciBucket& bucket : f->buckets) release_bucket(f, &bucket);
  Env* fs = fs_of(f);
  reset_sort_folder(fs);

  f->flags = 0;
  f->error[0] = 0;
  f->version = 0;
  f->stamp = 0;
  f->path[0] = f->ro_path[0] = f->tmp_path[0] = 0;
  take_old_index(f, schedule_path);
  if ((f->flags & FCI_INVALID) == 0) check_old_index(f, expected_stamp);

  f->sha1 = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  f->sha = EVP_MD_CTX_new();

  if ((f->flags & FCI_INVALID) == 0) load_leads(f);

  if ((f->flags & FCI_INVALID) != 0) {
    if (f->fd >= 0) fs->close_file(f->fd);
    f->fd = -1;
    f->stamp = 0;
    return -1;
  }
  return 0;
}

const FciPage* fci_get_page(Fci* f, uint32_t page_id) {
  if ((f->flags & (FCI_INVALID | FCI_CLOSED)) != 0 || page_id >= f->lead_count) {
    errno = EINVAL;
    return nullptr;
  }
  if (f->pages == nullptr) {
    f->pages = hash_table_create(10240, 0.5, page_hash, page_equal);
    if (f->pages == nullptr) {
      set_error(f, "FCI error: %s:%d - cannot allocate page_id %u: %s", kSourceName, __LINE__,
                page_id, sys_text(errno));
      f->flags |= FCI_INVALID;
      return nullptr;
    }
  }
  if (auto* cached = static_cast<FciPage*>(hash_table_find(f->pages, &page_id))) return cached;

  if (f->ring_count == FCI_CACHE_PAGES) {
    hash_table_remove(f->pages, &f->ring[f->ring_oldest]->page_id);
    f->ring_oldest = (f->ring_oldest + 1) % FCI_CACHE_PAGES;
    f->ring_count -= 1;
  }
  uint32_t slot = f->ring_next;
  if (f->ring[slot] == nullptr) {
    f->ring[slot] = static_cast<FciPage*>(malloc(sizeof(FciPage)));
    if (f->ring[slot] == nullptr) {
      set_error(f, "FCI error: %s:%d - cannot allocate page_id %u: %s", kSourceName, __LINE__,
                page_id, sys_text(ENOMEM));
      f->flags |= FCI_INVALID;
      return nullptr;
    }
  }
  f->ring_next = (f->ring_next + 1) % FCI_CACHE_PAGES;
  f->ring_count += 1;
  auto give_back = [f] {
    f->ring_next = (f->ring_next + FCI_CACHE_PAGES - 1) % FCI_CACHE_PAGES;
    f->ring_count -= 1;
    f->flags |= FCI_INVALID;
  };

  FciPage* page = f->ring[slot];
  ssize_t n = read_full(fs_of(f), f->fd, page->bytes, FCI_PAGE_SIZE,
                        FCI_HEADER_SIZE + static_cast<uint64_t>(page_id) * FCI_PAGE_SIZE);
  if (n < 0) {
    set_error(f, "FCI error: %s:%d - reading page_id %u: %s", kSourceName, __LINE__, page_id,
              sys_text(errno));
    give_back();
    return nullptr;
  }
  page->page_id = page_id;
  page->record_count = static_cast<uint32_t>(static_cast<size_t>(n) / FCI_RECORD_SIZE);
  if (hash_table_insert(f->pages, &page->page_id, page) != 0) {
    set_error(f, "FCI error: %s:%d - cannot allocate page_id %u: %s", kSourceName, __LINE__,
              page_id, sys_text(errno));
    give_back();
    return nullptr;
  }
  return page;
}

int fci_lookup(Fci* f, const char* path, uint32_t time, uint64_t size, int* current) {
  f->error[0] = 0;
  *current = 0;
  if ((f->flags & (FCI_INVALID | FCI_CLOSED)) != 0 || f->lead_count == 0) return 0;

  uint8_t key[FCI_KEY_SIZE];
  digest(f, path, key);

  // Equal keys may repeat, across page boundaries too; the run of equal keys starts in the
  // page before the first lead not below the key, or in that lead's page.
  uint32_t first = lower_bound(f->leads, f->lead_count, key);
  for (uint32_t i = first; i < f->lead_count; ++i) {
    const uint8_t* lead = f->leads + static_cast<size_t>(i) * FCI_RECORD_SIZE;
    if (compare_keys(lead, key) != 0) break;
    if (passes(lead, time, size)) {
      *current = 1;
      return 0;
    }
  }
  bool lead_match = first < f->lead_count &&
                    compare_keys(f->leads + static_cast<size_t>(first) * FCI_RECORD_SIZE, key) == 0;
  if (first == 0 && !lead_match) return 0;  // below the first lead: not in the index

  uint32_t page_id = first > 0 ? first - 1 : 0;
  for (;;) {
    const FciPage* page = fci_get_page(f, page_id);
    if (page == nullptr) return -1;
    uint32_t r = lower_bound(page->bytes, page->record_count, key);
    for (; r < page->record_count; ++r) {
      const uint8_t* record = page->bytes + static_cast<size_t>(r) * FCI_RECORD_SIZE;
      if (compare_keys(record, key) != 0) return 0;
      if (passes(record, time, size)) {
        *current = 1;
        return 0;
      }
    }
    // The run reached the page's end; it goes on only where the next lead is the key.
    uint32_t next = page_id + 1;
    if (next >= f->lead_count ||
        compare_keys(f->leads + static_cast<size_t>(next) * FCI_RECORD_SIZE, key) != 0) {
      return 0;
    }
    page_id = next;
  }
}

int fci_add(Fci* f, const char* path, uint32_t time, uint64_t size) {
  f->error[0] = 0;
  if ((f->flags & FCI_CLOSED) != 0) {
    set_error(f, "FCI error: index is not open");
    return -1;
  }
  FciRecord record;
  digest(f, path, record.key);
  record.time = time;
  record.size = size;
  int b = record.key[0];
  FciBucket* bucket = &f->buckets[b];
  if (bucket->failed) {
    set_error(f, "FCI error: writing sort file %d: %s", b, sys_text(EIO));
    return -1;
  }
  if (bucket->fd < 0) {
    char name[32];
    bucket_path(b, name);
    EnvFile file(fs_of(f), fs_of(f)->open_file(name, PLAT_OPEN_READ | PLAT_OPEN_WRITE |
                                                         PLAT_OPEN_CREATE | PLAT_OPEN_TRUNCATE));
    if (!file.valid()) {
      set_error(f, "FCI error: opening sort file %d: %s", b, sys_text(errno));
      return -1;
    }
    bucket->buffer = static_cast<uint8_t*>(malloc(FCI_PAGE_SIZE));
    if (bucket->buffer == nullptr) {
      set_error(f, "FCI error: opening sort file %d: %s", b, sys_text(ENOMEM));
      return -1;
    }
    bucket->fd = file.release();  // the bucket owns it from here on
  }
  fci_encode_record(record, bucket->buffer + bucket->buffered);
  bucket->buffered += FCI_RECORD_SIZE;
  if (bucket->buffered == FCI_PAGE_SIZE && flush_bucket(f, bucket) != 0) {
    // A short write leaves the file's tail unknown: none of the bucket can be trusted.
    set_error(f, "FCI error: writing sort file %d: %s", b, sys_text(errno));
    bucket->failed = true;
    return -1;
  }
  return 0;
}

void fci_close(Fci* f, uint32_t new_stamp) {
  if ((f->flags & FCI_CLOSED) != 0) return;
  f->flags |= FCI_CLOSED;
  free_reader(f);
  Env* fs = fs_of(f);

  if (new_stamp != 0 && f->path[0] != 0) {
    // The next index exists under its final name only once it is complete and durable,
    // so a kill at any point leaves either the old ".ro" file or both (and the next open
    // then trusts the ".ro" file, whose stamp the server still holds).
    EnvFile out(
        fs, fs->open_file(f->tmp_path, PLAT_OPEN_WRITE | PLAT_OPEN_CREATE | PLAT_OPEN_TRUNCATE));
    if (out.valid()) {
      int built = build_new_index(f, out.get(), new_stamp);
      if (out.close() != 0) built = -1;
      if (built == 0 && fs->rename_file(f->tmp_path, f->path) == 0) {
        char folder[FCI_PATH_MAX];
        folder_of(f->path, folder);
        fs->sync_dir(folder);
        fs->delete_file(f->ro_path);
        fs->sync_dir(folder);
      } else {
        fs->delete_file(f->tmp_path);
      }
    }
  }
  discard_buckets(f);
  fs->remove_dir(FCI_SORT_DIR);
}
