// Arbitrary bytes as the change index file of a schedule: open it (its own stamp expected,
// so the fuzzer gets past the header), look keys up, add records, close with a new stamp,
// and reopen what the close wrote. Whatever the file holds, nothing reads past a buffer, a
// lookup finds only records the file holds (all of them when the file is sorted), and the
// next index answers for exactly what was added.
#include <openssl/evp.h>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>

#include "agent/backup/fci/coding.h"
#include "agent/backup/fci/fci.h"
#include "platform/env.h"
#include "platform/path.h"

namespace {

constexpr char kSchedule[] = "job.kbs";
constexpr uint32_t kNextStamp = 0x5eed;

struct Probe {
  const char* path;
  uint32_t time;
  uint64_t size;
};
// The seeds hold records of these keys; the fuzzer mutates around them.
constexpr Probe kProbes[] = {
    {"C:\\a", 1700000000u, 10},
    {"C:\\data\\report.doc", 1600000000u, 0x100000123ull},
    {"D:\\x\\y", 0, 0},
    {"C:\\zz", 0xffffffffu, 0xffffffffffffffffull},
};

// The real files, rooted in a scratch folder of our own: the index's sort folder is
// relative to the working directory, which stays the fuzzer's. Syncs cost time and prove
// nothing here.
class ScratchEnv : public EnvWrapper {
 public:
  ScratchEnv() : EnvWrapper(plat_env()) {
    // In memory where there is a tmpfs for it.
    char shm[] = "/dev/shm/varno-fuzz-fci-XXXXXX";
    char tmp[] = "/tmp/varno-fuzz-fci-XXXXXX";
    const char* dir = mkdtemp(shm);
    if (dir == nullptr) dir = mkdtemp(tmp);
    if (dir == nullptr || plat_windows_path(dir, &root_) != 0) {
      perror("fuzz_fci: scratch folder");
      abort();
    }
    native_root_ = dir;
  }
  ~ScratchEnv() override {
    std::error_code ec;
    std::filesystem::remove_all(native_root_, ec);
  }
  // `name` inside the scratch folder, for the fuzz target's own files.
  std::string native(const char* name) const { return native_root_ + "/" + name; }

  int open_file(std::string_view path, unsigned flags) override {
    int fd = target()->open_file(rooted(path), flags);
    if (fd >= 0 && is_bucket(path)) buckets_.insert(std::string(path));
    return fd;
  }
  int rename_file(std::string_view from, std::string_view to) override {
    return target()->rename_file(rooted(from), rooted(to));
  }
  // Open and close clear all 256 bucket names; those never made are known gone, which
  // spares the fuzzer most of its system calls.
  int delete_file(std::string_view path) override {
    if (is_bucket(path) && buckets_.erase(std::string(path)) == 0) {
      errno = ENOENT;
      return -1;
    }
    return target()->delete_file(rooted(path));
  }
  int make_dir(std::string_view path) override { return target()->make_dir(rooted(path)); }
  int remove_dir(std::string_view path) override { return target()->remove_dir(rooted(path)); }
  int file_exists(std::string_view path) override { return target()->file_exists(rooted(path)); }
  int dir_usable(std::string_view path) override { return target()->dir_usable(rooted(path)); }
  int sync(int) override { return 0; }
  int sync_dir(std::string_view) override { return 0; }

 private:
  static bool is_bucket(std::string_view path) {
    return path.substr(0, sizeof FCI_SORT_DIR - 1) == FCI_SORT_DIR;
  }
  std::string rooted(std::string_view path) const {
    bool absolute =
        (!path.empty() && plat_is_path_separator(path[0])) || (path.size() >= 2 && path[1] == ':');
    return absolute ? std::string(path) : root_ + "\\" + std::string(path);
  }
  std::string root_;  // Windows form
  std::string native_root_;
  std::set<std::string> buckets_;  // bucket files made and not yet deleted
};

void put_file(const std::string& path, const uint8_t* data, size_t size) {
  FILE* out = fopen(path.c_str(), "wb");
  if (out == nullptr || fwrite(data, 1, size, out) != size || fclose(out) != 0) {
    perror("fuzz_fci: writing the index");
    abort();
  }
}

void key_of(const char* path, uint8_t key[FCI_KEY_SIZE]) {
  unsigned int n = 0;
  EVP_Digest(path, strlen(path), key, &n, EVP_sha1(), nullptr);
}

bool time_passes(uint32_t stored, uint32_t probe) {
  uint64_t s = stored, p = probe;
  return s == p || s == p + FCI_DST_SECONDS || p == s + FCI_DST_SECONDS;
}

// What a scan of every whole record of the body says.
bool scan_finds(const uint8_t* body, size_t records, const char* path, uint32_t time,
                uint64_t size) {
  uint8_t key[FCI_KEY_SIZE];
  key_of(path, key);
  for (size_t i = 0; i < records; ++i) {
    const uint8_t* r = body + i * FCI_RECORD_SIZE;
    if (memcmp(r, key, FCI_KEY_SIZE) == 0 && fci::get_u64le(r + 24) == size &&
        time_passes(fci::get_u32le(r + 20), time)) {
      return true;
    }
  }
  return false;
}

bool sorted(const uint8_t* body, size_t records) {
  for (size_t i = 1; i < records; ++i) {
    if (memcmp(body + (i - 1) * FCI_RECORD_SIZE, body + i * FCI_RECORD_SIZE, FCI_KEY_SIZE) > 0) {
      return false;
    }
  }
  return true;
}

int lookup(Fci* index, const char* path, uint32_t time, uint64_t size) {
  int current = -7;
  if (fci_lookup(index, path, time, size, &current) != 0) return -1;
  if (current != 0 && current != 1) abort();
  return current;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ScratchEnv env;
  (void)env.delete_file("job.fci.ro");
  (void)env.delete_file("job.fci.tmp");
  put_file(env.native("job.fci"), data, size);
  uint32_t stamp = size >= FCI_HEADER_SIZE ? fci::get_u32le(data + 4) : 0;

  const uint8_t* body = data + (size >= FCI_HEADER_SIZE ? FCI_HEADER_SIZE : size);
  size_t records = (size - static_cast<size_t>(body - data)) / FCI_RECORD_SIZE;
  bool in_order = sorted(body, records);

  Fci index;
  index.env = &env;
  int opened = fci_open(&index, kSchedule, stamp);
  if (opened == 0 && index.lead_count == 0) abort();
  for (const Probe& p : kProbes) {
    const uint32_t times[] = {p.time, p.time + FCI_DST_SECONDS, p.time + 1};
    for (uint32_t t : times) {
      int current = lookup(&index, p.path, t, p.size);
      bool there = scan_finds(body, records, p.path, t, p.size);
      // A hit is a record the file holds; a sorted file misses none.
      if (current == 1 && !there) abort();
      if (opened == 0 && in_order && current == 0 && there) abort();
    }
  }
  for (const Probe& p : kProbes) {
    if (fci_add(&index, p.path, p.time, p.size) != 0) abort();
  }
  fci_close(&index, kNextStamp);

  Fci next;
  next.env = &env;
  if (fci_open(&next, kSchedule, kNextStamp) != 0) abort();
  for (const Probe& p : kProbes) {
    if (lookup(&next, p.path, p.time, p.size) != 1) abort();
    if (lookup(&next, p.path, p.time, p.size + 1) != 0) abort();
  }
  fci_close(&next, 0);
  return 0;
}
