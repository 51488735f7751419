// The devserver's store: users and their key digests, lock tokens, folders, versioned
// files made of stored blocks, and mail. Every write goes through a temporary file and a
// rename, so a killed server leaves either the old or the new state. Not thread-safe:
// the server serialises requests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kfsd {

namespace fs = std::filesystem;

struct Block {
  std::string md5;     // 32 hex digits, or "-" when the client sent none
  std::string object;  // name of the stored payload under objects/
};

struct FileMeta {
  bool exists = false;
  uint32_t mtime = 0;
  uint64_t size = 0;
  uint32_t block_size = 0;
  uint32_t version = 0;
  int64_t committed = 0;       // server time of the commit
  std::string security;        // hex, empty when none
  std::vector<Block> blocks;
};

constexpr uint32_t KIND_FOLDER = 0x10;
constexpr uint32_t KIND_FILE = 0x20;

class Store {
 public:
  explicit Store(fs::path root) : root_(std::move(root)) {}
  const fs::path& root() const { return root_; }

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
  static bool write_meta(const fs::path& path, const FileMeta& meta);
  // Stores a payload under its SHA-256 name; answers the name or "" on failure.
  std::string put_object(uint32_t user, const std::vector<uint8_t>& payload);
  bool put_mail(const std::string& text);

 private:
  fs::path root_;
};

// Writes `bytes` to `path` through a temporary file in the same folder, synced and renamed.
bool write_atomic(const fs::path& path, const void* bytes, size_t length);
bool reserved_name(const std::string& name);
std::string hex(const uint8_t* bytes, size_t length);

}  // namespace kfsd
