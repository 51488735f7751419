#include "tools/kfs-devserver/store.h"

#include <fcntl.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

namespace kfsd {

namespace {
constexpr const char* kTempPrefix = ".kfsd-";
std::atomic<uint64_t> g_temp_counter{0};
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

bool write_atomic(const fs::path& path, const void* bytes, size_t length) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  fs::path temp = path.parent_path() /
                  (std::string(kTempPrefix) + std::to_string(getpid()) + "-" +
                   std::to_string(g_temp_counter.fetch_add(1)));
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const auto* p = static_cast<const uint8_t*>(bytes);
  size_t done = 0;
  bool ok = true;
  while (ok && done < length) {
    ssize_t n = write(fd, p + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && fsync(fd) == 0;
  ok = (close(fd) == 0) && ok;
  ok = ok && rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) unlink(temp.c_str());
  return ok;
}

fs::path Store::user_dir(uint32_t user) const { return root_ / "users" / std::to_string(user); }

bool Store::check_digest(uint32_t user, const std::string& digest_hex) {
  fs::path account = user_dir(user) / "account";
  std::ifstream in(account);
  if (in) {
    std::string word, value;
    in >> word >> value;
    return word == "digest" && value == digest_hex;
  }
  std::string text = "digest " + digest_hex + "\n";
  return write_atomic(account, text.data(), text.size());
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
  return write_atomic(user_dir(user) / "tokens" / ("s" + hex(name, n)), text.data(),
                      text.size());
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
  out << "KFSD-FILE 1\nmtime " << m.mtime << "\nsize " << m.size << "\nblock_size "
      << m.block_size << "\nversion " << m.version << "\ncommitted " << m.committed
      << "\nsecurity " << (m.security.empty() ? "-" : m.security) << "\nblocks "
      << m.blocks.size() << "\n";
  for (const Block& b : m.blocks) out << b.md5 << " " << b.object << "\n";
  std::string text = out.str();
  return write_atomic(path, text.data(), text.size());
}

std::string Store::put_object(uint32_t user, const std::vector<uint8_t>& payload) {
  uint8_t digest[32];
  unsigned int n = 0;
  if (EVP_Digest(payload.data(), payload.size(), digest, &n, EVP_sha256(), nullptr) != 1) {
    return "";
  }
  std::string name = hex(digest, n);
  fs::path path = objects(user) / name;
  std::error_code ec;
  if (fs::exists(path, ec)) return name;
  return write_atomic(path, payload.data(), payload.size()) ? name : "";
}

bool Store::put_mail(const std::string& text) {
  uint8_t random[4];
  RAND_bytes(random, sizeof random);
  std::string name = std::to_string(time(nullptr)) + "-" + hex(random, sizeof random) + ".eml";
  return write_atomic(root_ / "mail" / name, text.data(), text.size());
}

}  // namespace kfsd
