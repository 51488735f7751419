#include "tools/kfs-devserver/store.h"

#include <fcntl.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <zlib.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>

namespace kfsd {

namespace {

constexpr const char* kTempPrefix = ".kfsd-";
// Present from the first change after a sync until the next sync completes.
constexpr const char* kMarker = "unsynced";
constexpr size_t kObjectNameLength = 64;  // SHA-256 in hex
constexpr size_t kMd5Length = 32;
std::atomic<uint64_t> g_temp_counter{0};

bool fsync_path(const fs::path& path, int flags) {
  int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0;
  return (close(fd) == 0) && ok;
}

bool is_hex(const std::string& text, size_t length) {
  return text.size() == length && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::string read_all(const fs::path& path, bool* ok) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  *ok = !in.bad();
  return bytes;
}

std::string sha256_hex(const void* bytes, size_t length) {
  uint8_t digest[32];
  unsigned int n = 0;
  if (EVP_Digest(bytes, length, digest, &n, EVP_sha256(), nullptr) != 1) return "";
  return hex(digest, n);
}

// An inline payload: "=", the CRC-32 of the bytes (8 hex digits), ":", the bytes in hex.
// The CRC catches a record torn inside the payload; a file per block has its name for that.
constexpr char kInlineMark = '=';

uint32_t payload_crc(const uint8_t* bytes, size_t length) {
  return static_cast<uint32_t>(crc32(crc32(0L, Z_NULL, 0), bytes, static_cast<uInt>(length)));
}

std::string inline_object(const std::vector<uint8_t>& payload) {
  uint8_t crc[4];
  uint32_t sum = payload_crc(payload.data(), payload.size());
  for (int i = 0; i < 4; ++i) crc[i] = static_cast<uint8_t>(sum >> (24 - 8 * i));
  return kInlineMark + hex(crc, 4) + ":" + hex(payload.data(), payload.size());
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool unhex(const char* text, size_t length, std::vector<uint8_t>* out) {
  if (length % 2 != 0) return false;
  out->resize(length / 2);
  for (size_t i = 0; i < length; i += 2) {
    int high = hex_digit(text[i]);
    int low = hex_digit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    (*out)[i / 2] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}

// The bytes of an inline payload, when it is whole.
bool inline_payload(const std::string& object, std::vector<uint8_t>* payload) {
  std::vector<uint8_t> crc;
  if (object.size() < 10 || object[0] != kInlineMark || object[9] != ':' ||
      !unhex(object.data() + 1, 8, &crc) ||
      !unhex(object.data() + 10, object.size() - 10, payload)) {
    return false;
  }
  uint32_t expected = static_cast<uint32_t>(crc[0]) << 24 | crc[1] << 16 | crc[2] << 8 | crc[3];
  return payload_crc(payload->data(), payload->size()) == expected;
}

bool object_intact(const fs::path& path) {
  bool ok = false;
  std::string bytes = read_all(path, &ok);
  return ok && sha256_hex(bytes.data(), bytes.size()) == path.filename().string();
}

// A whole "WORD VALUE\n" text whose value passes `valid`.
template <typename Valid>
bool small_text_intact(const fs::path& path, const char* word, Valid valid) {
  bool ok = false;
  std::string text = read_all(path, &ok);
  if (!ok || text.empty() || text.back() != '\n') return false;
  text.pop_back();
  if (*word != '\0') {
    std::string prefix = std::string(word) + " ";
    if (text.rfind(prefix, 0) != 0) return false;
    text.erase(0, prefix.size());
  }
  return valid(text);
}

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

namespace {

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

// Creates `path` for writing, and its folder only when the first try finds none: the
// folder is nearly always there already (the open of the file made it).
int create_file(const fs::path& path, int flags) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0600);
  if (fd >= 0 || errno != ENOENT) return fd;
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0600);
}

}  // namespace

bool write_atomic(const fs::path& path, const void* bytes, size_t length, bool sync) {
  fs::path temp = path.parent_path() / (std::string(kTempPrefix) + std::to_string(getpid()) + "-" +
                                        std::to_string(g_temp_counter.fetch_add(1)));
  int fd = create_file(temp, O_TRUNC);
  if (fd < 0) return false;
  bool ok = write_and_close(fd, bytes, length, sync) && rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) unlink(temp.c_str());
  return ok;
}

bool write_new(const fs::path& path, const void* bytes, size_t length) {
  int fd = create_file(path, O_EXCL);
  if (fd < 0) return false;
  const bool ok = write_and_close(fd, bytes, length, false);
  if (!ok) {
    int saved = errno;
    unlink(path.c_str());
    errno = saved == EEXIST ? EIO : saved;  // EEXIST means the name was taken, and only that
  }
  return ok;
}

fs::path Store::user_dir(uint32_t user) const {
  return root_ / "users" / std::to_string(user);
}

int Store::open() {
  std::error_code ec;
  fs::create_directories(root_ / "users", ec);
  fs::create_directories(root_ / "mail", ec);
  if (!fs::is_directory(root_ / "users", ec) || !fs::is_directory(root_ / "mail", ec)) return -1;
  if (!fs::exists(root_ / kMarker, ec)) return 0;
  int removed = recover();
  recovered_ = true;
  dirty_ = true;
  return sync() ? removed : -1;
}

bool Store::begin_change() {
  ++changes_;
  if (dirty_) return true;
  fs::path marker = root_ / kMarker;
  int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  bool ok = !flushes_ || fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  if (!ok || (flushes_ && !fsync_path(root_, O_RDONLY | O_DIRECTORY))) return false;
  dirty_ = true;
  dirty_since_ = std::chrono::steady_clock::now();
  return true;
}

// One syncfs flushes every file, name and folder of the group in one journal commit,
// where a sync per file paid a commit each.
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
  // Not synced itself: a crash that keeps the marker only costs a needless check.
  unlink((root_ / kMarker).c_str());
  dirty_ = false;
}

bool Store::sync() {
  if (!dirty_) return true;
  auto start = std::chrono::steady_clock::now();
  if (!flush()) return false;
  synced(changes_, start);
  return true;
}

int Store::recover() {
  std::error_code ec;
  std::vector<fs::path> doomed;
  for (auto it = fs::recursive_directory_iterator(root_, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->path().filename().string().rfind(kTempPrefix, 0) == 0) doomed.push_back(it->path());
  }
  auto remove_doomed = [&doomed] {
    int n = 0;
    std::error_code e;
    for (const fs::path& p : doomed) n += fs::remove(p, e) ? 1 : 0;
    doomed.clear();
    return n;
  };
  int removed = remove_doomed();
  for (const auto& user : fs::directory_iterator(root_ / "users", ec)) {
    fs::path account = user.path() / "account";
    if (fs::exists(account, ec) &&
        !small_text_intact(account, "digest", [](const std::string& v) { return is_hex(v, 40); })) {
      doomed.push_back(account);
    }
    for (const auto& token : fs::directory_iterator(user.path() / "tokens", ec)) {
      auto number = [](const std::string& v) {
        return !v.empty() && v.size() <= 10 &&
               v.find_first_not_of("0123456789") == std::string::npos;
      };
      if (!small_text_intact(token.path(), "", number)) doomed.push_back(token.path());
    }
    // Objects first, so that a version naming a removed object goes too.
    for (const auto& object : fs::directory_iterator(user.path() / "objects", ec)) {
      if (!object_intact(object.path())) doomed.push_back(object.path());
    }
    removed += remove_doomed();
    fs::path objects = user.path() / "objects";
    for (auto it = fs::recursive_directory_iterator(user.path() / "tree", ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec)) continue;
      FileMeta meta;
      bool ok = read_meta(it->path(), &meta);
      for (size_t i = 0; ok && i < meta.blocks.size(); ++i) {
        const Block& b = meta.blocks[i];
        std::vector<uint8_t> bytes;
        ok = (b.md5 == "-" || is_hex(b.md5, kMd5Length)) && !b.object.empty() &&
             (b.object[0] == kInlineMark
                  ? inline_payload(b.object, &bytes)
                  : is_hex(b.object, kObjectNameLength) && fs::exists(objects / b.object, ec));
      }
      if (!ok) doomed.push_back(it->path());
    }
    removed += remove_doomed();
  }
  return removed;
}

bool Store::check_digest(uint32_t user, const std::string& digest_hex) {
  fs::path account = user_dir(user) / "account";
  std::ifstream in(account);
  if (in) {
    std::string word, value;
    in >> word >> value;
    return word == "digest" && value == digest_hex;
  }
  std::string text = "digest " + digest_hex + "\n";
  return begin_change() && write_atomic(account, text.data(), text.size(), false);
}

uint32_t Store::lock_token(uint32_t user, const std::string& schedule_file) const {
  uint8_t name[256];
  size_t n = schedule_file.size() < sizeof name ? schedule_file.size() : sizeof name;
  memcpy(name, schedule_file.data(), n);
  std::ifstream in(user_dir(user) / "tokens" / ("s" + hex(name, n)));
  unsigned long value = 0;
  if (in >> value) return static_cast<uint32_t>(value);
  return 0;
}

bool Store::set_lock_token(uint32_t user, const std::string& schedule_file, uint32_t token) {
  uint8_t name[256];
  size_t n = schedule_file.size() < sizeof name ? schedule_file.size() : sizeof name;
  memcpy(name, schedule_file.data(), n);
  std::string text = std::to_string(token) + "\n";
  return begin_change() && write_atomic(user_dir(user) / "tokens" / ("s" + hex(name, n)),
                                        text.data(), text.size(), false);
}

bool Store::resolve(uint32_t user, const std::string& path, fs::path* out) const {
  fs::path result = tree(user);
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(start, end - start);
    if (!part.empty()) {
      if (reserved_name(part)) return false;
      result /= part;
    }
    start = end + 1;
  }
  *out = result;
  return true;
}

bool Store::read_meta(const fs::path& path, FileMeta* meta) {
  std::ifstream in(path);
  std::string magic;
  int format = 0;
  if (!(in >> magic >> format) || magic != "KFSD-FILE" || format != 1) return false;
  FileMeta m;
  std::string key;
  size_t count = 0;
  long long committed = 0;
  unsigned long long size = 0;
  unsigned long mtime = 0, bs = 0, version = 0;
  in >> key >> mtime >> key >> size >> key >> bs >> key >> version >> key >> committed >> key >>
      m.security >> key >> count;
  if (!in || count > 65535) return false;
  if (m.security == "-") m.security.clear();
  m.mtime = static_cast<uint32_t>(mtime);
  m.size = size;
  m.block_size = static_cast<uint32_t>(bs);
  m.version = static_cast<uint32_t>(version);
  m.committed = committed;
  for (size_t i = 0; i < count; ++i) {
    Block b;
    if (!(in >> b.md5 >> b.object)) return false;
    m.blocks.push_back(b);
  }
  m.exists = true;
  *meta = m;
  return true;
}

bool Store::write_meta(const fs::path& path, const FileMeta& m) {
  std::ostringstream out;
  out << "KFSD-FILE 1\nmtime " << m.mtime << "\nsize " << m.size << "\nblock_size " << m.block_size
      << "\nversion " << m.version << "\ncommitted " << m.committed << "\nsecurity "
      << (m.security.empty() ? "-" : m.security) << "\nblocks " << m.blocks.size() << "\n";
  for (const Block& b : m.blocks) out << b.md5 << " " << b.object << "\n";
  std::string text = out.str();
  if (!begin_change()) return false;
  // A file's first version has nothing to keep if a crash tears it: recovery drops it.
  return write_new(path, text.data(), text.size()) ||
         (errno == EEXIST && write_atomic(path, text.data(), text.size(), false));
}

std::string Store::put_object(uint32_t user, const std::vector<uint8_t>& payload) {
  if (payload.size() <= inline_max_) return inline_object(payload);
  std::string name = sha256_hex(payload.data(), payload.size());
  if (name.empty()) return "";
  fs::path path = objects(user) / name;
  std::error_code ec;
  if (fs::exists(path, ec)) return name;
  return begin_change() && write_new(path, payload.data(), payload.size()) ? name : "";
}

bool Store::read_payload(uint32_t user, const Block& block, std::vector<uint8_t>* payload) const {
  if (block.object.empty()) return false;
  if (block.object[0] == kInlineMark) return inline_payload(block.object, payload);
  if (!is_hex(block.object, kObjectNameLength)) return false;
  std::ifstream in(objects(user) / block.object, std::ios::binary);
  payload->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return in.good() || in.eof();
}

bool Store::put_mail(const std::string& text) {
  uint8_t random[4];
  RAND_bytes(random, sizeof random);
  std::string name = std::to_string(time(nullptr)) + "-" + hex(random, sizeof random) + ".eml";
  return begin_change() && write_atomic(root_ / "mail" / name, text.data(), text.size(), false);
}

}  // namespace kfsd
