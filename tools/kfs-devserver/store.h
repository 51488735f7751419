// The devserver's store: users and their key digests, lock tokens, folders, versioned
// files made of stored blocks, and mail. A write that replaces a file goes through a
// temporary file and a rename, so a killed server leaves either the old or the new state;
// a new object or a file's first version is written under its own name (one directory
// change, not two), and recovery drops it when a crash tore it. Durability is
// grouped: changes are not synced one by one; sync() makes all of them durable at once,
// and a marker file tells a restarted server that a crash may have torn what came after
// the last sync (open() then drops it). Not thread-safe: the server serialises requests
// and syncs.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kfsd {

namespace fs = std::filesystem;

struct Block {
  std::string md5;  // 32 hex digits, or "-" when the client sent none
  // The name of the stored payload under objects/, or for a payload of at most the
  // store's inline limit "=" and its bytes in hex: a file per small block would cost the
  // server more than the block.
  std::string object;
};

struct FileMeta {
  bool exists = false;
  uint32_t mtime = 0;
  uint64_t size = 0;
  uint32_t block_size = 0;
  uint32_t version = 0;
  int64_t committed = 0;  // server time of the commit
  std::string security;   // hex, empty when none
  std::vector<Block> blocks;
};

constexpr uint32_t KIND_FOLDER = 0x10;
constexpr uint32_t KIND_FILE = 0x20;

class Store {
 public:
  // `flushes`: false skips every wait for the disk and keeps the rest (marker, recovery).
  explicit Store(fs::path root, bool flushes = true, size_t inline_max = 0)
      : root_(std::move(root)), flushes_(flushes), inline_max_(inline_max) {}
  const fs::path& root() const { return root_; }

  // Creates the folders; after a crash with unsynced changes, first removes every file
  // a crash can have torn (see recover()) and syncs. Answers how many files that removed,
  // or -1 when the store cannot be used.
  int open();
  // Whether open() found unsynced changes of an earlier process.
  bool recovered() const { return recovered_; }
  // To be called before any change to the store: the first change after a sync makes the
  // marker durable, so that no unsynced change can outlive a crash unseen.
  bool begin_change();
  // Makes every change so far durable (file contents, names, folders) and drops the marker.
  bool sync();
  bool dirty() const { return dirty_; }
  // A checkpoint that lets requests go on while the disk catches up: changes() under the
  // server's lock, flush() without it (it touches no state), then synced(count, …) under
  // the lock again, which drops the marker only when nothing changed since `count`.
  uint64_t changes() const { return changes_; }
  bool flush() const;
  void synced(uint64_t count, std::chrono::steady_clock::time_point flush_start);
  // When the oldest unsynced change was made.
  std::chrono::steady_clock::time_point dirty_since() const { return dirty_since_; }

  fs::path user_dir(uint32_t user) const;
  fs::path tree(uint32_t user) const { return user_dir(user) / "tree"; }
  fs::path objects(uint32_t user) const { return user_dir(user) / "objects"; }

  // Key digest registration: 0 when `digest_hex` is registered now or matches.
  bool check_digest(uint32_t user, const std::string& digest_hex);
  uint32_t lock_token(uint32_t user, const std::string& schedule_file) const;
  bool set_lock_token(uint32_t user, const std::string& schedule_file, uint32_t token);

  // A server path ("/a/b") under the user's tree; false for "." / ".." / reserved names.
  bool resolve(uint32_t user, const std::string& path, fs::path* out) const;

  static bool read_meta(const fs::path& path, FileMeta* meta);
  bool write_meta(const fs::path& path, const FileMeta& meta);
  // Stores a payload under its SHA-256 name, or inline when it is small; answers what the
  // block records (Block::object) or "" on failure.
  std::string put_object(uint32_t user, const std::vector<uint8_t>& payload);
  // The payload a block records, from its object file or inline.
  bool read_payload(uint32_t user, const Block& block, std::vector<uint8_t>* payload) const;
  bool put_mail(const std::string& text);

 private:
  // Removes temporary files, objects whose bytes do not hash to their name, version
  // records that do not parse or name a missing object, and unreadable account and token
  // files. Answers how many files it removed.
  int recover();

  fs::path root_;
  bool flushes_ = true;
  size_t inline_max_ = 0;
  bool dirty_ = false;
  uint64_t changes_ = 0;
  bool recovered_ = false;
  std::chrono::steady_clock::time_point dirty_since_{};
};

// Writes `bytes` to `path` through a temporary file in the same folder, renamed into
// place; with `sync` the bytes are durable before the rename.
bool write_atomic(const fs::path& path, const void* bytes, size_t length, bool sync = true);
// Creates `path`, which must not exist (errno EEXIST when it does), with the bytes. For files
// that recovery checks (objects by their hash, version records by their form and CRCs):
// a crash can tear it. A failed write removes it.
bool write_new(const fs::path& path, const void* bytes, size_t length);
bool reserved_name(const std::string& name);
std::string hex(const uint8_t* bytes, size_t length);

}  // namespace kfsd
