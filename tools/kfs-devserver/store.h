// The devserver's store: users and their key digests, lock tokens, folders, versioned
// files made of stored blocks in one SQLite database (STORE/store.db), and mail as files.
// Changes are grouped: the first change after a commit opens a transaction, and sync()
// commits it and makes it durable; a crash loses whole groups, never part of a version.
// Because a crash can take changes the client has seen accepted, each locked run is
// recorded, and a run that a crash interrupted ends without a lock token: the client's
// next run checks its files again. Not thread-safe, apart from flush(): the server
// serialises requests and syncs.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kfsd {

namespace fs = std::filesystem;

struct Block {
  std::string md5;  // 32 hex digits, or "-" when the client sent none
  // The SHA-256 (32 bytes) of a payload kept in the objects table, or empty when the
  // payload is small enough to live in the version itself, in `payload`.
  std::string object;
  std::vector<uint8_t> payload;
};

struct FileMeta {
  bool exists = false;
  uint32_t mtime = 0;
  uint64_t size = 0;
  uint32_t block_size = 0;
  uint32_t version = 0;
  int64_t committed = 0;  // server time of the commit
  std::string security;   // the client's security record, as sent
  std::vector<Block> blocks;
};

constexpr uint32_t KIND_FOLDER = 0x10;
constexpr uint32_t KIND_FILE = 0x20;

// One entry of a folder or of a whole tree. `path` is the folder's path for tree walks.
struct StoredEntry {
  std::string path;  // store path of the entry ("a/b/c")
  std::string name;
  uint32_t kind = 0;
  uint32_t mtime = 0;
  uint64_t size = 0;
  uint32_t version = 0;
};

// What a removal took away: files, folders (the removed one counted) and file bytes.
struct Removed {
  uint32_t files = 0;
  uint32_t folders = 0;
  uint64_t bytes = 0;
};

enum class Made { ok, blocked, failed };  // blocked: a file stands where a folder must be

class Store {
 public:
  // `flushes`: false skips every wait for the disk and keeps the rest.
  explicit Store(fs::path root = "", bool flushes = true, size_t inline_max = 0);
  ~Store();
  Store(Store&&) noexcept;
  Store& operator=(Store&&) noexcept;
  const fs::path& root() const { return root_; }

  // Creates or opens the database; false (reported on stderr) when the store cannot be
  // used, among others when it holds the older layout of a file per object.
  bool open();
  // Opens an existing store to read it, also beside a running server (restore); false
  // when there is none.
  bool open_existing();

  // Commits the group of changes so far, without waiting for the disk.
  bool commit();
  // Makes every change so far durable.
  bool sync();
  // A clean end: runs that hold a lock lose nothing, so their releases may vouch later.
  bool shut();
  bool dirty() const { return dirty_; }
  // A checkpoint that lets requests go on while the disk catches up: commit() and
  // changes() under the server's lock, flush() without it (it touches no state), then synced(count,
  // …) under the lock again, which marks the store clean only when nothing changed since `count`.
  uint64_t changes() const { return changes_; }
  bool flush() const;
  void synced(uint64_t count, std::chrono::steady_clock::time_point flush_start);
  // When the oldest unsynced change was made.
  std::chrono::steady_clock::time_point dirty_since() const { return dirty_since_; }

  // Key digest registration: true when `digest_hex` is registered now or matches.
  bool check_digest(uint32_t user, const std::string& digest_hex);
  uint32_t lock_token(uint32_t user, const std::string& schedule_file) const;
  // A run of the schedule took a lock: recorded, durably, before it stores anything.
  bool begin_run(uint32_t user, const std::string& schedule_file);
  // The run released its lock: everything is made durable, then the token is stored (with
  // `with_token`), unless a crash interrupted the run, which drops the token instead.
  bool end_run(uint32_t user, const std::string& schedule_file, bool with_token, uint32_t token);

  // A server path ("/a/b") as a store path ("a/b", "" for the tree's root); false for
  // "." / ".." / reserved names.
  static bool resolve(const std::string& path, std::string* out);
  // What is at `path`: 0 (nothing), KIND_FOLDER or KIND_FILE; a file's version into `meta`
  // when given. The root is a folder.
  uint32_t lookup(uint32_t user, const std::string& path, FileMeta* meta = nullptr) const;
  // Makes the folder and every missing folder above it.
  Made make_folder(uint32_t user, const std::string& path);
  // Removes a file, or a folder with everything in it.
  bool remove(uint32_t user, const std::string& path, Removed* removed);
  // The entries of a folder, sorted by name.
  bool list(uint32_t user, const std::string& folder, std::vector<StoredEntry>* out) const;
  // Every folder and file of the user's tree, parents before children; `visit` answers
  // false to stop. False when the walk failed.
  bool walk(uint32_t user, const std::function<bool(const StoredEntry&)>& visit) const;

  // Commits `meta` as the file's version, making its folder when missing.
  bool write_meta(uint32_t user, const std::string& path, const FileMeta& meta);
  // Keeps a payload, by its SHA-256 or in the block when it is small; false on failure.
  bool put_object(uint32_t user, const std::vector<uint8_t>& payload, Block* block);
  // The payload a block records.
  bool read_payload(uint32_t user, const Block& block, std::vector<uint8_t>* payload) const;
  bool put_mail(const std::string& text);

 private:
  struct Db;
  // Opens the database; `serve`: creates it and its tables, and marks interrupted runs.
  bool connect(bool serve);
  // Opens the group's transaction when none is; false when the store cannot change.
  bool changed();
  // Answers `ok`; a failure that rolled the group back fails every later commit.
  bool done(bool ok);
  bool ensure_folder(uint32_t user, const std::string& path, Made* made);

  fs::path root_;
  bool flushes_ = true;
  size_t inline_max_ = 0;
  std::unique_ptr<Db> db_;
  bool in_transaction_ = false;
  bool failed_ = false;
  bool dirty_ = false;
  uint64_t changes_ = 0;
  std::chrono::steady_clock::time_point dirty_since_{};
};

// Writes `bytes` to `path` through a temporary file in the same folder, renamed into
// place; with `sync` the bytes are durable before the rename.
bool write_atomic(const fs::path& path, const void* bytes, size_t length, bool sync = true);
bool reserved_name(const std::string& name);
std::string hex(const uint8_t* bytes, size_t length);

}  // namespace kfsd
