#include "tools/kfs-devserver/store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace kfsd {

namespace {

constexpr const char* kTempPrefix = ".kfsd-";
constexpr const char* kDatabase = "store.db";
constexpr int kSchemaVersion = 1;
constexpr size_t kMd5Bytes = 16;
constexpr size_t kHashBytes = 32;  // SHA-256
constexpr uint8_t kHasMd5 = 1;
constexpr uint8_t kInline = 2;
constexpr int kBusyMs = 10000;  // a restore reading beside the server
std::atomic<uint64_t> g_temp_counter{0};

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS accounts(user INTEGER PRIMARY KEY, digest TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS tokens(user INTEGER NOT NULL, schedule BLOB NOT NULL,"
    " token INTEGER NOT NULL, PRIMARY KEY(user, schedule));"
    "CREATE TABLE IF NOT EXISTS entries(user INTEGER NOT NULL, folder BLOB NOT NULL,"
    " name BLOB NOT NULL, kind INTEGER NOT NULL, mtime INTEGER NOT NULL DEFAULT 0,"
    " size INTEGER NOT NULL DEFAULT 0, block_size INTEGER NOT NULL DEFAULT 0,"
    " version INTEGER NOT NULL DEFAULT 0, committed INTEGER NOT NULL DEFAULT 0,"
    " security BLOB, blocks BLOB, PRIMARY KEY(user, folder, name));"
    "CREATE TABLE IF NOT EXISTS objects(user INTEGER NOT NULL, hash BLOB NOT NULL,"
    " payload BLOB NOT NULL, PRIMARY KEY(user, hash));"
    "CREATE TABLE IF NOT EXISTS runs(user INTEGER NOT NULL, schedule BLOB NOT NULL,"
    " interrupted INTEGER NOT NULL DEFAULT 0, PRIMARY KEY(user, schedule));";

// The statements, in the order of Db::stmt's slots.
enum Slot {
  kGetDigest,
  kPutDigest,
  kGetToken,
  kPutToken,
  kLookup,
  kAddFolder,
  kPutFile,
  kDelete,
  kCountBelow,
  kDeleteBelow,
  kList,
  kWalk,
  kPutObject,
  kGetObject,
  kBeginRun,
  kRunInterrupted,
  kEndRun,
  kDropToken,
  kShutRuns,
  kBegin,
  kCommit,
  kSlots
};

constexpr const char* kStatements[kSlots] = {
    "SELECT digest FROM accounts WHERE user=?1",
    "INSERT INTO accounts(user, digest) VALUES(?1, ?2)",
    "SELECT token FROM tokens WHERE user=?1 AND schedule=?2",
    "INSERT OR REPLACE INTO tokens(user, schedule, token) VALUES(?1, ?2, ?3)",
    "SELECT kind, mtime, size, block_size, version, committed, security, blocks FROM entries"
    " WHERE user=?1 AND folder=?2 AND name=?3",
    "INSERT INTO entries(user, folder, name, kind) VALUES(?1, ?2, ?3, 16)",
    // A folder of the name stays a folder: the update then changes nothing.
    "INSERT INTO entries(user, folder, name, kind, mtime, size, block_size, version, committed,"
    " security, blocks) VALUES(?1, ?2, ?3, 32, ?4, ?5, ?6, ?7, ?8, ?9, ?10)"
    " ON CONFLICT(user, folder, name) DO UPDATE SET mtime=excluded.mtime, size=excluded.size,"
    " block_size=excluded.block_size, version=excluded.version, committed=excluded.committed,"
    " security=excluded.security, blocks=excluded.blocks WHERE kind=32",
    "DELETE FROM entries WHERE user=?1 AND folder=?2 AND name=?3",
    // Everything below folder ?2: its own entries and those of every folder from ?3, ?2
    // and "/", up to ?4, ?2 and "0", the byte after "/".
    "SELECT kind, count(*), total(size) FROM entries WHERE user=?1 AND"
    " (folder=?2 OR (folder>=?3 AND folder<?4)) GROUP BY kind",
    "DELETE FROM entries WHERE user=?1 AND (folder=?2 OR (folder>=?3 AND folder<?4))",
    "SELECT name, kind, mtime, size, version FROM entries WHERE user=?1 AND folder=?2"
    " ORDER BY name",
    "SELECT folder, name, kind, mtime, size, version FROM entries WHERE user=?1"
    " ORDER BY folder, name",
    "INSERT OR IGNORE INTO objects(user, hash, payload) VALUES(?1, ?2, ?3)",
    "SELECT payload FROM objects WHERE user=?1 AND hash=?2",
    "INSERT OR IGNORE INTO runs(user, schedule) VALUES(?1, ?2)",
    "SELECT interrupted FROM runs WHERE user=?1 AND schedule=?2",
    "DELETE FROM runs WHERE user=?1 AND schedule=?2",
    "DELETE FROM tokens WHERE user=?1 AND schedule=?2",
    "DELETE FROM runs WHERE interrupted=0",
    "BEGIN IMMEDIATE",
    "COMMIT",
};

std::string sha256(const void* bytes, size_t length) {
  uint8_t digest[kHashBytes];
  unsigned int n = 0;
  if (EVP_Digest(bytes, length, digest, &n, EVP_sha256(), nullptr) != 1 || n != kHashBytes)
    return "";
  return std::string(reinterpret_cast<const char*>(digest), n);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// `text` of exactly 2 * `n` lower-case hex digits into `out`.
bool unhex(const std::string& text, size_t n, uint8_t* out) {
  if (text.size() != 2 * n) return false;
  for (size_t i = 0; i < n; ++i) {
    int high = hex_digit(text[2 * i]);
    int low = hex_digit(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    out[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}

// The block list of a version; the grammar is in FORMAT.md.
bool encode_blocks(const std::vector<Block>& blocks, std::string* out) {
  out->clear();
  for (const Block& b : blocks) {
    uint8_t md5[kMd5Bytes];
    const bool has_md5 = b.md5 != "-";
    if (has_md5 && !unhex(b.md5, kMd5Bytes, md5)) return false;
    const bool inline_payload = b.object.empty();
    if (!inline_payload && b.object.size() != kHashBytes) return false;
    if (b.payload.size() > UINT32_MAX) return false;
    out->push_back(static_cast<char>((has_md5 ? kHasMd5 : 0) | (inline_payload ? kInline : 0)));
    if (has_md5) out->append(reinterpret_cast<const char*>(md5), kMd5Bytes);
    if (inline_payload) {
      const auto n = static_cast<uint32_t>(b.payload.size());
      for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>(n >> (8 * i)));
      out->append(reinterpret_cast<const char*>(b.payload.data()), b.payload.size());
    } else {
      out->append(b.object);
    }
  }
  return true;
}

bool decode_blocks(const uint8_t* p, size_t length, std::vector<Block>* out) {
  out->clear();
  size_t at = 0;
  auto take = [&](size_t n) -> const uint8_t* {
    if (length - at < n) return nullptr;
    at += n;
    return p + at - n;
  };
  while (at < length) {
    const uint8_t flags = p[at++];
    if ((flags & ~(kHasMd5 | kInline)) != 0) return false;
    Block b;
    b.md5 = "-";
    if ((flags & kHasMd5) != 0) {
      const uint8_t* md5 = take(kMd5Bytes);
      if (md5 == nullptr) return false;
      b.md5 = hex(md5, kMd5Bytes);
    }
    if ((flags & kInline) != 0) {
      const uint8_t* n = take(4);
      if (n == nullptr) return false;
      const uint32_t size = n[0] | n[1] << 8 | n[2] << 16 | static_cast<uint32_t>(n[3]) << 24;
      const uint8_t* bytes = take(size);
      if (bytes == nullptr) return false;
      b.payload.assign(bytes, bytes + size);
    } else {
      const uint8_t* hash = take(kHashBytes);
      if (hash == nullptr) return false;
      b.object.assign(reinterpret_cast<const char*>(hash), kHashBytes);
    }
    out->push_back(std::move(b));
  }
  return true;
}

// The folder part and the name part of a store path ("" and the path for a top entry).
void split(const std::string& path, std::string* folder, std::string* name) {
  const size_t slash = path.rfind('/');
  *folder = slash == std::string::npos ? "" : path.substr(0, slash);
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// Writes all `length` bytes to `fd`, then closes it; false on any failure.
bool write_and_close(int fd, const void* bytes, size_t length, bool sync) {
  const auto* p = static_cast<const uint8_t*>(bytes);
  size_t done = 0;
  bool ok = true;
  while (ok && done < length) {
    ssize_t n = write(fd, p + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && (!sync || fsync(fd) == 0);
  return (close(fd) == 0) && ok;
}

// Creates `path` for writing, and its folder only when the first try finds none.
int create_file(const fs::path& path, int flags) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0600);
  if (fd >= 0 || errno != ENOENT) return fd;
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0600);
}

}  // namespace

// The connection and its prepared statements. A statement is reset when its use ends.
struct Store::Db {
  sqlite3* handle = nullptr;
  sqlite3_stmt* stmt[kSlots] = {};
  // A folder known to exist (user and path), until the next removal.
  uint32_t known_user = 0;
  std::string known_folder;
  bool knows = false;

  ~Db() {
    for (sqlite3_stmt* s : stmt) sqlite3_finalize(s);
    sqlite3_close(handle);
  }

  void fail(const char* what) const {
    fprintf(stderr, "kfs-devserver: store: %s: %s\n", what, sqlite3_errmsg(handle));
  }
};

namespace {

// One use of a prepared statement: binds, steps, and resets it when done.
class Use {
 public:
  explicit Use(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~Use() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;
  Use& i(int at, int64_t v) {
    ok_ = ok_ && sqlite3_bind_int64(stmt_, at, v) == SQLITE_OK;
    return *this;
  }
  Use& b(int at, const void* bytes, size_t n) {
    // A zero-length blob, not NULL, for empty bytes.
    static const char kNone = 0;
    ok_ = ok_ &&
          sqlite3_bind_blob64(stmt_, at, n == 0 ? &kNone : bytes, n, SQLITE_STATIC) == SQLITE_OK;
    return *this;
  }
  Use& b(int at, const std::string& s) { return b(at, s.data(), s.size()); }
  Use& t(int at, const std::string& s) {
    ok_ = ok_ && sqlite3_bind_text64(stmt_, at, s.data(), s.size(), SQLITE_STATIC, SQLITE_UTF8) ==
                     SQLITE_OK;
    return *this;
  }
  // SQLITE_ROW, SQLITE_DONE or an error.
  int step() { return ok_ ? sqlite3_step(stmt_) : SQLITE_MISUSE; }
  bool done() { return step() == SQLITE_DONE; }
  int64_t col(int at) const { return sqlite3_column_int64(stmt_, at); }
  // total() answers a float, exact up to 2^53.
  double real(int at) const { return sqlite3_column_double(stmt_, at); }
  std::string bytes(int at) const {
    const void* p = sqlite3_column_blob(stmt_, at);
    const int n = sqlite3_column_bytes(stmt_, at);
    return p == nullptr ? std::string() : std::string(static_cast<const char*>(p), n);
  }
  const uint8_t* raw(int at, size_t* n) const {
    const void* p = sqlite3_column_blob(stmt_, at);
    *n = static_cast<size_t>(sqlite3_column_bytes(stmt_, at));
    return static_cast<const uint8_t*>(p);
  }

 private:
  sqlite3_stmt* stmt_;
  bool ok_ = true;
};

}  // namespace

std::string hex(const uint8_t* bytes, size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

bool reserved_name(const std::string& name) {
  return name.empty() || name == "." || name == ".." || name.rfind(kTempPrefix, 0) == 0 ||
         name.find('\0') != std::string::npos || name.size() > 255;
}

bool write_atomic(const fs::path& path, const void* bytes, size_t length, bool sync) {
  fs::path temp = path.parent_path() / (std::string(kTempPrefix) + std::to_string(getpid()) + "-" +
                                        std::to_string(g_temp_counter.fetch_add(1)));
  int fd = create_file(temp, O_TRUNC);
  if (fd < 0) return false;
  bool ok = write_and_close(fd, bytes, length, sync) && rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) unlink(temp.c_str());
  return ok;
}

Store::Store(fs::path root, bool flushes, size_t inline_max)
    : root_(std::move(root)), flushes_(flushes), inline_max_(inline_max) {}
Store::~Store() = default;
Store::Store(Store&&) noexcept = default;
Store& Store::operator=(Store&&) noexcept = default;

bool Store::open() {
  std::error_code ec;
  fs::create_directories(root_ / "mail", ec);
  if (!fs::is_directory(root_ / "mail", ec)) {
    fprintf(stderr, "kfs-devserver: cannot make %s\n", (root_ / "mail").c_str());
    return false;
  }
  if (fs::exists(root_ / "users", ec) && !fs::exists(root_ / kDatabase, ec)) {
    fprintf(stderr,
            "kfs-devserver: %s holds the older layout of a file per object; restore it with the "
            "kfs-devserver that wrote it\n",
            root_.c_str());
    return false;
  }
  // A report whose rename a crash prevented is not a report.
  for (const auto& e : fs::directory_iterator(root_ / "mail", ec)) {
    if (e.path().filename().string().rfind(kTempPrefix, 0) == 0) fs::remove(e.path(), ec);
  }
  return connect(true);
}

bool Store::open_existing() {
  return connect(false);
}

bool Store::connect(bool serve) {
  auto db = std::make_unique<Db>();
  const fs::path path = root_ / kDatabase;
  std::error_code ec;
  if (!fs::is_directory(root_ / "mail", ec) || (!serve && !fs::exists(path, ec))) {
    fprintf(stderr, "kfs-devserver: %s is no store\n", root_.c_str());
    return false;
  }
  if (sqlite3_open_v2(
          path.c_str(), &db->handle,
          SQLITE_OPEN_READWRITE | (serve ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_NOMUTEX,
          nullptr) != SQLITE_OK) {
    db->fail(path.c_str());
    return false;
  }
  sqlite3_busy_timeout(db->handle, kBusyMs);
  // WAL: a commit appends to the log; NORMAL syncs only at the log's checkpoints, where a
  // crash could otherwise lose more than the latest commits, and flush() makes commits
  // durable. Without flushes nothing waits for the disk. A reader beside the server
  // changes nothing.
  std::string setup = "PRAGMA journal_mode=WAL;";
  if (serve) {
    setup += flushes_ ? "PRAGMA synchronous=NORMAL;" : "PRAGMA synchronous=OFF;";
    // A group of many small files makes a large log; it need not stay that large.
    setup += "PRAGMA journal_size_limit=4194304;";
    setup += kSchema;
    setup += "PRAGMA user_version=" + std::to_string(kSchemaVersion) + ";";
    // A run still recorded was going on when the last process ended without shut(): a
    // crash may have taken some of what it sent.
    setup += "UPDATE runs SET interrupted=1;";
  }
  if (sqlite3_exec(db->handle, setup.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
    db->fail(path.c_str());
    return false;
  }
  for (int i = 0; i < kSlots; ++i) {
    if (sqlite3_prepare_v3(db->handle, kStatements[i], -1, SQLITE_PREPARE_PERSISTENT, &db->stmt[i],
                           nullptr) != SQLITE_OK) {
      db->fail(kStatements[i]);
      return false;
    }
  }
  db_ = std::move(db);
  return true;
}

bool Store::changed() {
  if (failed_) return false;
  if (!in_transaction_) {
    if (!Use(db_->stmt[kBegin]).done()) {
      db_->fail("begin");
      return false;
    }
    in_transaction_ = true;
  }
  ++changes_;
  if (!dirty_) {
    dirty_ = true;
    dirty_since_ = std::chrono::steady_clock::now();
  }
  return true;
}

bool Store::done(bool ok) {
  // Some failures roll the whole transaction back: the group's earlier changes are gone,
  // and no later sync may vouch for them.
  if (!ok && in_transaction_ && sqlite3_get_autocommit(db_->handle) != 0) {
    db_->fail("transaction rolled back");
    in_transaction_ = false;
    failed_ = true;
  }
  return ok;
}

bool Store::commit() {
  if (failed_) return false;
  if (!in_transaction_) return true;
  const bool ok = Use(db_->stmt[kCommit]).done();
  if (!ok) db_->fail("commit");
  // A failed commit leaves the transaction open only for SQLITE_BUSY, which one writer
  // never meets: whatever happened, the group is not known to be stored.
  in_transaction_ = sqlite3_get_autocommit(db_->handle) == 0;
  failed_ = failed_ || !ok;
  return ok;
}

// One syncfs flushes the database, its log and the mail in one journal commit.
bool Store::flush() const {
  if (!flushes_) return true;
  int fd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = syncfs(fd) == 0;
  close(fd);
  return ok;
}

void Store::synced(uint64_t count, std::chrono::steady_clock::time_point flush_start) {
  if (!dirty_) return;
  if (count != changes_) {
    // Later changes may have missed the flush; they are no older than its start.
    dirty_since_ = flush_start;
    return;
  }
  dirty_ = false;
}

bool Store::sync() {
  if (!commit()) return false;
  if (!dirty_) return true;
  auto start = std::chrono::steady_clock::now();
  if (!flush()) return false;
  synced(changes_, start);
  return true;
}

bool Store::shut() {
  if (!commit()) return false;
  // Runs that hold a lock now lose nothing: their next release may vouch for them.
  if (!changed() || !Use(db_->stmt[kShutRuns]).done()) return false;
  return sync();
}

bool Store::begin_run(uint32_t user, const std::string& schedule_file) {
  if (!changed()) return false;
  if (!done(Use(db_->stmt[kBeginRun]).i(1, user).b(2, schedule_file).done())) return false;
  // Durable before anything of the run is stored, so that a crash finds it.
  return sqlite3_changes(db_->handle) == 0 || sync();
}

bool Store::end_run(uint32_t user, const std::string& schedule_file, bool with_token,
                    uint32_t token) {
  // What the client sent is durable before the token that vouches for it: a crash between
  // the two syncs leaves the old token, and the client checks its files again.
  if (!sync() || !changed()) return false;
  bool interrupted = false;
  {
    Use get(db_->stmt[kRunInterrupted]);
    get.i(1, user).b(2, schedule_file);
    interrupted = get.step() == SQLITE_ROW && get.col(0) != 0;
  }
  bool ok = true;
  if (interrupted) {
    // A crash took part of the run: no token may call the client's index current.
    ok = Use(db_->stmt[kDropToken]).i(1, user).b(2, schedule_file).done();
  } else if (with_token) {
    ok = Use(db_->stmt[kPutToken]).i(1, user).b(2, schedule_file).i(3, token).done();
  }
  ok = ok && Use(db_->stmt[kEndRun]).i(1, user).b(2, schedule_file).done();
  return done(ok) && sync();
}

bool Store::check_digest(uint32_t user, const std::string& digest_hex) {
  {
    Use get(db_->stmt[kGetDigest]);
    get.i(1, user);
    const int rc = get.step();
    if (rc == SQLITE_ROW) return get.bytes(0) == digest_hex;
    if (rc != SQLITE_DONE) return false;
  }
  return changed() && done(Use(db_->stmt[kPutDigest]).i(1, user).t(2, digest_hex).done());
}

uint32_t Store::lock_token(uint32_t user, const std::string& schedule_file) const {
  Use get(db_->stmt[kGetToken]);
  get.i(1, user).b(2, schedule_file);
  return get.step() == SQLITE_ROW ? static_cast<uint32_t>(get.col(0)) : 0;
}

bool Store::resolve(const std::string& path, std::string* out) {
  std::string result;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (!part.empty()) {
      if (reserved_name(part)) return false;
      if (!result.empty()) result += '/';
      result += part;
    }
    start = end + 1;
  }
  *out = result;
  return true;
}

uint32_t Store::lookup(uint32_t user, const std::string& path, FileMeta* meta) const {
  if (path.empty()) return KIND_FOLDER;
  std::string folder, name;
  split(path, &folder, &name);
  Use get(db_->stmt[kLookup]);
  get.i(1, user).b(2, folder).b(3, name);
  if (get.step() != SQLITE_ROW) return 0;
  const auto kind = static_cast<uint32_t>(get.col(0));
  if (kind != KIND_FILE || meta == nullptr) return kind;
  FileMeta m;
  m.mtime = static_cast<uint32_t>(get.col(1));
  m.size = static_cast<uint64_t>(get.col(2));
  m.block_size = static_cast<uint32_t>(get.col(3));
  m.version = static_cast<uint32_t>(get.col(4));
  m.committed = get.col(5);
  m.security = get.bytes(6);
  size_t n = 0;
  const uint8_t* blocks = get.raw(7, &n);
  if (n > 0 && (blocks == nullptr || !decode_blocks(blocks, n, &m.blocks))) {
    fprintf(stderr, "kfs-devserver: store: the blocks of %s do not parse\n", path.c_str());
    return kind;  // a file, with no version to build on
  }
  m.exists = true;
  *meta = std::move(m);
  return kind;
}

// Within the caller's transaction.
bool Store::ensure_folder(uint32_t user, const std::string& path, Made* made) {
  *made = Made::ok;
  if (path.empty() || (db_->knows && db_->known_user == user && db_->known_folder == path))
    return true;
  size_t end = 0;
  while (end != std::string::npos) {
    end = path.find('/', end + 1);
    const std::string prefix = path.substr(0, end);
    const uint32_t kind = lookup(user, prefix);
    if (kind == KIND_FILE) {
      *made = Made::blocked;
      return false;
    }
    if (kind == 0) {
      std::string folder, name;
      split(prefix, &folder, &name);
      if (!done(Use(db_->stmt[kAddFolder]).i(1, user).b(2, folder).b(3, name).done())) {
        *made = Made::failed;
        return false;
      }
    }
  }
  db_->knows = true;
  db_->known_user = user;
  db_->known_folder = path;
  return true;
}

Made Store::make_folder(uint32_t user, const std::string& path) {
  // Files come folder by folder: the folder of the last file is nearly always there.
  if (path.empty() || (db_->knows && db_->known_user == user && db_->known_folder == path))
    return Made::ok;
  if (!changed()) return Made::failed;
  Made made = Made::ok;
  (void)ensure_folder(user, path, &made);
  return made;
}

bool Store::remove(uint32_t user, const std::string& path, Removed* removed) {
  FileMeta meta;
  const uint32_t kind = lookup(user, path, &meta);
  if (kind == 0 || path.empty()) return false;
  if (!changed()) return false;
  db_->knows = false;
  *removed = Removed{};
  if (kind == KIND_FOLDER) {
    const std::string from = path + '/';
    const std::string to = path + '0';
    int rc;
    {
      Use count(db_->stmt[kCountBelow]);
      count.i(1, user).b(2, path).b(3, from).b(4, to);
      while ((rc = count.step()) == SQLITE_ROW) {
        const auto n = static_cast<uint32_t>(count.col(1));
        if (count.col(0) == KIND_FOLDER) {
          removed->folders += n;
        } else {
          removed->files += n;
          removed->bytes += static_cast<uint64_t>(count.real(2));
        }
      }
    }
    if (rc != SQLITE_DONE ||
        !done(Use(db_->stmt[kDeleteBelow]).i(1, user).b(2, path).b(3, from).b(4, to).done()))
      return false;
    ++removed->folders;
  } else {
    removed->files = 1;
    removed->bytes = meta.size;
  }
  std::string folder, name;
  split(path, &folder, &name);
  return done(Use(db_->stmt[kDelete]).i(1, user).b(2, folder).b(3, name).done());
}

bool Store::list(uint32_t user, const std::string& folder, std::vector<StoredEntry>* out) const {
  out->clear();
  Use get(db_->stmt[kList]);
  get.i(1, user).b(2, folder);
  int rc;
  while ((rc = get.step()) == SQLITE_ROW) {
    out->push_back(StoredEntry{folder, get.bytes(0), static_cast<uint32_t>(get.col(1)),
                               static_cast<uint32_t>(get.col(2)), static_cast<uint64_t>(get.col(3)),
                               static_cast<uint32_t>(get.col(4))});
  }
  return rc == SQLITE_DONE;
}

bool Store::walk(uint32_t user, const std::function<bool(const StoredEntry&)>& visit) const {
  Use get(db_->stmt[kWalk]);
  get.i(1, user);
  int rc;
  while ((rc = get.step()) == SQLITE_ROW) {
    const std::string folder = get.bytes(0);
    const std::string name = get.bytes(1);
    StoredEntry e{folder.empty() ? name : folder + "/" + name, name,
                  static_cast<uint32_t>(get.col(2)),           static_cast<uint32_t>(get.col(3)),
                  static_cast<uint64_t>(get.col(4)),           static_cast<uint32_t>(get.col(5))};
    if (!visit(e)) return true;
  }
  return rc == SQLITE_DONE;
}

bool Store::write_meta(uint32_t user, const std::string& path, const FileMeta& m) {
  std::string blocks;
  if (path.empty() || !encode_blocks(m.blocks, &blocks)) return false;
  std::string folder, name;
  split(path, &folder, &name);
  Made made = Made::ok;
  if (!changed() || !ensure_folder(user, folder, &made)) return false;
  Use put(db_->stmt[kPutFile]);
  put.i(1, user).b(2, folder).b(3, name).i(4, m.mtime).i(5, static_cast<int64_t>(m.size));
  put.i(6, m.block_size).i(7, m.version).i(8, m.committed).b(9, m.security).b(10, blocks);
  // No change means a folder holds the name.
  return done(put.done()) && sqlite3_changes(db_->handle) == 1;
}

bool Store::put_object(uint32_t user, const std::vector<uint8_t>& payload, Block* block) {
  block->object.clear();
  block->payload.clear();
  if (payload.size() <= inline_max_) {
    block->payload = payload;
    return true;
  }
  std::string hash = sha256(payload.data(), payload.size());
  if (hash.empty()) return false;
  if (!changed() || !done(Use(db_->stmt[kPutObject])
                              .i(1, user)
                              .b(2, hash)
                              .b(3, payload.data(), payload.size())
                              .done()))
    return false;
  block->object = std::move(hash);
  return true;
}

bool Store::read_payload(uint32_t user, const Block& block, std::vector<uint8_t>* payload) const {
  if (block.object.empty()) {
    *payload = block.payload;
    return true;
  }
  Use get(db_->stmt[kGetObject]);
  get.i(1, user).b(2, block.object);
  if (get.step() != SQLITE_ROW) return false;
  size_t n = 0;
  const uint8_t* p = get.raw(0, &n);
  payload->assign(p, p + (p == nullptr ? 0 : n));
  return true;
}

bool Store::put_mail(const std::string& text) {
  uint8_t random[4];
  if (RAND_bytes(random, sizeof random) != 1) return false;
  std::string name = std::to_string(time(nullptr)) + "-" + hex(random, sizeof random) + ".eml";
  if (!changed()) return false;
  // Reports are few: each is made durable before its name, so none is ever torn.
  return write_atomic(root_ / "mail" / name, text.data(), text.size(), flushes_);
}

}  // namespace kfsd
