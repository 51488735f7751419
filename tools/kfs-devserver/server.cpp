// Accept loop, per-connection sessions and the request handlers.
#include "tools/kfs-devserver/server.h"

#include <arpa/inet.h>
#include <fnmatch.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <algorithm>
#include <cstdarg>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "protocol/codes.h"
#include "protocol/wire.h"
#include "tools/kfs-devserver/conn.h"
#include "tools/kfs-devserver/store.h"

namespace kfsd {

using namespace kfs_wire;

namespace {

constexpr uint64_t kPhantom = ~uint64_t{0};
constexpr size_t kReplyRoom = 60000;  // listings stop well inside one packet

// A lock outlives a dropped connection for a while, so the same user and schedule can
// reconnect and carry on; another client still finds it taken.
struct LockHolder {
  uint64_t conn = 0;  // 0 once orphaned
  std::string owner;  // login user and schedule file
  std::chrono::steady_clock::time_point orphaned_until;
};
constexpr std::chrono::minutes kOrphanedLockLife{15};

struct Shared {
  Options options;
  Store store{""};
  EVP_PKEY* key = nullptr;
  std::string key_text;
  std::mutex mutex;  // one request at a time across connections
  std::map<uint32_t, LockHolder> locks;  // destination user -> holder
  std::chrono::steady_clock::time_point phantom_until;
  std::atomic<uint64_t> next_conn{1};
  std::atomic<long> requests{0};
  std::atomic<long> queries{0};
  std::atomic<long> replies{0};
  std::atomic<bool> again_pending{false};
  std::atomic<bool> drop_done{false};
  std::mutex out_mutex;
};

struct OpenFile {
  fs::path path;
  FileMeta old;
  FileMeta next;
  uint16_t count = 0;
  uint16_t done = 0;        // blocks finished so far
  long data_messages = 0;   // block data messages received for this open
  bool receiving = false;   // between an accepted query and its block end
  bool broken = false;
  std::vector<uint8_t> payload;
};

struct Entry {
  std::string name;
  uint32_t kind;
  uint32_t mtime;
  uint64_t size;
  uint64_t second;
};

struct Listing {
  std::vector<Entry> entries;
  size_t next = 0;
  bool wide = false;
};

struct Session {
  uint64_t id = 0;
  std::string owner;
  bool logged_in = false;
  uint32_t user = 0;
  std::string schedule_file;
  bool has_destination = false;
  uint32_t destination = 0;
  std::map<uint8_t, OpenFile> files;
  std::map<uint8_t, Listing> listings;
  bool drop_now = false;  // a fault asks to close the connection after this request
  bool mail_open = false;
  uint32_t mail_total = 0;
  std::string mail;
};

void log_line(Shared& shared, const char* format, ...) __attribute__((format(printf, 2, 3)));
void log_line(Shared& shared, const char* format, ...) {
  if (!shared.options.verbose) return;
  std::lock_guard<std::mutex> guard(shared.out_mutex);
  va_list args;
  va_start(args, format);
  vfprintf(stdout, format, args);
  va_end(args);
  fputc('\n', stdout);
  fflush(stdout);
}

bool phantom_holds(Shared& shared, uint32_t user) {
  return shared.options.hold_lock_user == user && shared.options.hold_lock_seconds > 0 &&
         std::chrono::steady_clock::now() < shared.phantom_until;
}

void release_locks(Shared& shared, uint64_t id) {
  for (auto it = shared.locks.begin(); it != shared.locks.end();) {
    it = (it->second.conn == id) ? shared.locks.erase(it) : std::next(it);
  }
}

void orphan_locks(Shared& shared, uint64_t id) {
  for (auto& [user, holder] : shared.locks) {
    if (holder.conn != id) continue;
    holder.conn = 0;
    holder.orphaned_until = std::chrono::steady_clock::now() + kOrphanedLockLife;
  }
}

bool lock_alive(const LockHolder& holder) {
  return holder.conn != 0 || std::chrono::steady_clock::now() < holder.orphaned_until;
}

template <typename Map>
int free_handle(const Map& map) {
  for (int h = 1; h <= 255; ++h) {
    if (map.find(static_cast<uint8_t>(h)) == map.end()) return h;
  }
  return 0;
}

std::string text_of(const uint8_t* p, size_t n) {
  return p == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(p), n);
}

// ---- handlers: each answers the reply status and fills reply data ----

uint8_t do_login(Shared& sh, Session& s, Reader& r, std::vector<uint8_t>& out) {
  uint8_t mode = r.u8();
  uint32_t user = r.u32();
  const uint8_t* digest = r.bytes(20);
  r.bytes(20);  // machine token: accepted as sent
  r.u32();
  uint16_t a = r.u16();
  std::string name = text_of(r.bytes(a), a);
  uint16_t b = r.u16();
  std::string file = text_of(r.bytes(b), b);
  if (!r.ok() || mode != 1) return ERR_INVARG;
  if (sh.options.refuse_login != 0) return static_cast<uint8_t>(sh.options.refuse_login);
  if (!sh.store.check_digest(user, hex(digest, 20))) return ERR_AUTH_FAILURE;
  s.logged_in = true;
  s.user = user;
  s.schedule_file = file;
  s.owner = std::to_string(user) + ":" + file;
  for (auto& [dest, holder] : sh.locks) {
    if (holder.conn == 0 && holder.owner == s.owner && lock_alive(holder)) {
      holder.conn = s.id;
      s.has_destination = true;
      s.destination = dest;
    }
  }
  bool again = sh.again_pending.exchange(false);
  std::string account = "account-" + std::to_string(user);
  std::string user_name = "user-" + std::to_string(user);
  out.resize(512);
  Writer w(out.data(), out.size());
  auto text = [&w](const std::string& t) {
    size_t n = std::min<size_t>(t.size(), 255);
    w.u8(static_cast<uint8_t>(n));
    w.bytes(t.data(), n);
  };
  w.u8(again ? 1 : 0);
  text("kfs-devserver");
  w.u16(0);
  text("");
  w.u16(0);
  w.u32(user);
  text(account);
  w.u8(1);
  text(name);
  w.u32(user);
  text(user_name.substr(0, 20));
  text("");
  w.u8(0);
  w.u16(0);
  text("");
  text("");
  w.u64(0);
  w.u64(0);
  w.u8(0);
  w.u8(0);
  w.u32(sh.store.lock_token(user, file));
  out.resize(w.size());
  return 0;
}

uint8_t do_lock(Shared& sh, Session& s, Reader& r) {
  uint8_t flags = r.u8();
  if ((flags & 1) != 0) {
    uint32_t token = 0;
    bool with_token = (flags & 4) != 0;
    if (with_token) token = r.u32();
    if (!r.ok()) return ERR_INVARG;
    release_locks(sh, s.id);
    s.has_destination = false;
    if (with_token && !sh.store.set_lock_token(s.user, s.schedule_file, token)) return ERR_IO;
    return 0;
  }
  uint16_t count = r.u16();
  std::vector<uint32_t> users;
  for (int i = 0; i < count; ++i) users.push_back(r.u32());
  if (!r.ok() || users.empty()) return ERR_INVARG;
  for (uint32_t u : users) {
    auto it = sh.locks.find(u);
    if (phantom_holds(sh, u)) return ERR_ACCESS;
    if (it == sh.locks.end() || it->second.conn == s.id || !lock_alive(it->second)) continue;
    if (it->second.conn == 0 && it->second.owner == s.owner) continue;
    return ERR_ACCESS;
  }
  for (uint32_t u : users) sh.locks[u] = LockHolder{s.id, s.owner, {}};
  s.has_destination = true;
  s.destination = users.front();
  return 0;
}

// A folder the account may not write, for tests: the lock is granted, the path is not.
bool denied(const Shared& sh, const std::string& path) {
  const std::string& p = sh.options.deny_prefix;
  return !p.empty() && path.compare(0, p.size(), p) == 0 &&
         (path.size() == p.size() || path[p.size()] == '/');
}

bool holds_destination(Shared& sh, const Session& s) {
  if (!s.has_destination) return false;
  auto it = sh.locks.find(s.destination);
  return it != sh.locks.end() && it->second.conn == s.id;
}

uint8_t do_mkdir(Shared& sh, Session& s, Reader& r) {
  r.u8();
  uint16_t n = r.u16();
  std::string path = text_of(r.bytes(n), n);
  fs::path target;
  if (!r.ok() || !sh.store.resolve(s.destination, path, &target)) return ERR_INVARG;
  if (denied(sh, path)) return ERR_ACCESS;
  std::error_code ec;
  if (fs::is_directory(target, ec)) return ERR_EXISTS;
  if (fs::exists(target, ec)) return ERR_NOTDIR;
  fs::create_directories(target, ec);
  return ec ? ERR_NOTDIR : 0;
}

uint8_t do_delete(Shared& sh, Session& s, Reader& r, std::vector<uint8_t>& out) {
  uint8_t flags = r.u8();
  uint16_t n = r.u16();
  std::string path = text_of(r.bytes(n), n);
  out.assign(24, 0);
  fs::path target;
  if (!r.ok() || !sh.store.resolve(s.destination, path, &target)) return ERR_INVARG;
  if (target == sh.store.tree(s.destination)) return ERR_ACCESS;
  std::error_code ec;
  uint32_t files = 0, folders = 0;
  uint64_t bytes = 0;
  if (!fs::exists(target, ec)) return ERR_BADPATH;
  bool folder = fs::is_directory(target, ec);
  if ((flags & 1) == 0 && folder) return ERR_NOTFILE;
  if ((flags & 1) != 0 && !folder) return ERR_NOTDIR;
  if (folder) {
    for (auto it = fs::recursive_directory_iterator(target, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_directory(ec)) {
        ++folders;
      } else if (!reserved_name(it->path().filename().string())) {
        FileMeta m;
        if (Store::read_meta(it->path(), &m)) bytes += m.size;
        ++files;
      }
    }
    ++folders;
  } else {
    FileMeta m;
    if (Store::read_meta(target, &m)) bytes = m.size;
    files = 1;
  }
  fs::remove_all(target, ec);
  if (ec) return ERR_FSACCESS;
  put32(out.data(), files);
  put32(out.data() + 4, folders);
  put64(out.data() + 8, bytes);
  return 0;
}

uint8_t do_find(Shared& sh, Session& s, Reader& r, std::vector<uint8_t>& out) {
  uint8_t handle = r.u8();
  uint8_t flags = r.u8();
  uint8_t pn = r.u8();
  std::string pattern = text_of(r.bytes(pn), pn);
  uint16_t fn = r.u16();
  std::string folder = text_of(r.bytes(fn), fn);
  if (!r.ok()) return ERR_INVARG;
  if (handle == 0) {
    fs::path target;
    if (!sh.store.resolve(s.destination, folder, &target)) return ERR_INVARG;
    std::error_code ec;
    if (!fs::exists(target, ec)) return ERR_BADPATH;
    if (!fs::is_directory(target, ec)) return ERR_NOTDIR;
    int h = free_handle(s.listings);
    if (h == 0) return ERR_FINDMAX;
    Listing listing;
    listing.wide = (flags & 1) != 0;
    for (const auto& item : fs::directory_iterator(target, ec)) {
      std::string name = item.path().filename().string();
      if (reserved_name(name)) continue;
      if (!listing.wide && name.size() > 255) continue;
      if (!pattern.empty() && fnmatch(pattern.c_str(), name.c_str(), 0) != 0) continue;
      Entry e{name, KIND_FOLDER, 0, 0, 0};
      if (!item.is_directory(ec)) {
        FileMeta m;
        if (!Store::read_meta(item.path(), &m)) continue;
        e.kind = KIND_FILE;
        e.mtime = m.mtime;
        e.size = m.size;
        e.second = m.version;
      }
      listing.entries.push_back(e);
    }
    std::sort(listing.entries.begin(), listing.entries.end(),
              [](const Entry& a, const Entry& b) { return a.name < b.name; });
    s.listings[static_cast<uint8_t>(h)] = std::move(listing);
    handle = static_cast<uint8_t>(h);
  }
  auto it = s.listings.find(handle);
  if (it == s.listings.end()) return ERR_INVARG;
  Listing& listing = it->second;
  out.assign(kReplyRoom + 512, 0);
  Writer w(out.data() + 7, kReplyRoom);
  uint16_t count = 0;
  while (listing.next < listing.entries.size() && count < sh.options.page_size) {
    const Entry& e = listing.entries[listing.next];
    size_t need = 21 + (listing.wide ? 2 : 1) + e.name.size();
    if (w.size() + need > kReplyRoom) break;
    w.u8(static_cast<uint8_t>(e.kind));
    w.u32(e.mtime);
    w.u64(e.size);
    w.u64(e.second);
    if (listing.wide) {
      w.u16(static_cast<uint16_t>(e.name.size()));
    } else {
      w.u8(static_cast<uint8_t>(e.name.size()));
    }
    w.bytes(e.name.data(), e.name.size());
    ++listing.next;
    ++count;
  }
  uint32_t remaining = static_cast<uint32_t>(listing.entries.size() - listing.next);
  put16(out.data(), count);
  put32(out.data() + 2, remaining);
  out[6] = handle;
  out.resize(7 + w.size());
  if (remaining == 0) s.listings.erase(it);
  return 0;
}

uint8_t do_wopen(Shared& sh, Session& s, Reader& r, std::vector<uint8_t>& out) {
  r.u8();
  uint32_t mtime = r.u32();
  uint16_t pn = r.u16();
  std::string path = text_of(r.bytes(pn), pn);
  uint64_t size = r.u64();
  uint16_t rn = r.u16();
  const uint8_t* record = r.bytes(rn);
  fs::path target;
  if (!r.ok() || !sh.store.resolve(s.destination, path, &target) ||
      target == sh.store.tree(s.destination)) {
    return ERR_INVARG;
  }
  if (denied(sh, path)) return ERR_ACCESS;
  std::error_code ec;
  if (fs::is_directory(target, ec)) return ERR_NOTFILE;
  fs::create_directories(target.parent_path(), ec);
  if (!fs::is_directory(target.parent_path(), ec)) return ERR_NOTDIR;
  // A client that starts a file over opens it again without closing the first handle.
  for (auto it = s.files.begin(); it != s.files.end();) {
    it = (it->second.path == target) ? s.files.erase(it) : std::next(it);
  }
  OpenFile f;
  f.path = target;
  Store::read_meta(target, &f.old);
  if (f.old.exists && f.old.mtime == mtime && f.old.size == size) return ERR_UP2DATE;
  uint64_t bs = sh.options.block_size;
  while ((size + bs - 1) / bs > 65535) bs *= 2;
  if (bs > 0xffffffffULL) return ERR_INVARG;
  f.count = static_cast<uint16_t>((size + bs - 1) / bs);
  uint16_t checksummed = 0;
  if (f.old.exists && f.old.block_size == bs) {
    while (checksummed < f.count && checksummed < f.old.blocks.size() &&
           f.old.blocks[checksummed].md5 != "-") {
      ++checksummed;
    }
  }
  int h = free_handle(s.files);
  if (h == 0) return ERR_FDMAX;
  f.next.mtime = mtime;
  f.next.size = size;
  f.next.block_size = static_cast<uint32_t>(bs);
  f.next.version = f.old.exists ? f.old.version + 1 : 1;
  f.next.security = rn > 0 ? hex(record, rn) : "";
  s.files[static_cast<uint8_t>(h)] = std::move(f);
  out.resize(9);
  out[0] = static_cast<uint8_t>(h);
  put16(out.data() + 1, checksummed);
  put32(out.data() + 3, static_cast<uint32_t>(bs));
  put16(out.data() + 7, s.files[static_cast<uint8_t>(h)].count);
  return 0;
}

uint8_t do_write(Shared& sh, Session& s, Reader& r, std::vector<uint8_t>& out) {
  uint8_t handle = r.u8();
  uint8_t subtype = r.u8();
  uint16_t n = r.u16();
  const uint8_t* data = r.bytes(n);
  if (!r.ok()) return ERR_INVARG;
  auto it = s.files.find(handle);
  if (it == s.files.end()) return ERR_INVARG;
  OpenFile& f = it->second;
  if (f.broken) return ERR_IO;
  switch (subtype) {
    case 1: {
      if (f.receiving || f.done >= f.count) return ERR_SEQUENCE;
      long nth = ++sh.queries;
      if (sh.options.fail_query != 0 && nth == sh.options.fail_query) return ERR_SCKREAD;
      if (n == 16 && f.done < f.old.blocks.size() && f.old.block_size == f.next.block_size &&
          f.old.blocks[f.done].md5 == hex(data, 16)) {
        f.next.blocks.push_back(f.old.blocks[f.done]);
        ++f.done;
        return ERR_UP2DATE;
      }
      f.receiving = true;
      f.payload.clear();
      out.resize(2);
      put16(out.data(), n);
      return 0;
    }
    case 8: {
      // A compressed, encrypted block hardly grows; anything far beyond is not one.
      if (!f.receiving || f.payload.size() + n > uint64_t{f.next.block_size} * 2 + 65536) {
        f.broken = true;
        return ERR_DATAMAX;
      }
      f.payload.insert(f.payload.end(), data, data + n);
      if (sh.options.drop_data != 0 && ++f.data_messages == sh.options.drop_data) s.drop_now = true;
      return 0;
    }
    case 10: {
      if (!f.receiving || (n != 0 && n != 16)) {
        f.broken = true;
        return ERR_SEQUENCE;
      }
      std::string object = sh.store.put_object(s.destination, f.payload);
      if (object.empty()) {
        f.broken = true;
        return ERR_FSACCESS;
      }
      f.next.blocks.push_back(Block{n == 16 ? hex(data, 16) : "-", object});
      f.receiving = false;
      f.payload.clear();
      ++f.done;
      return 0;
    }
    default:
      return ERR_INVARG;
  }
}

void do_close(Shared& sh, Session& s, Reader& r, const char** outcome) {
  uint8_t handle = r.u8();
  auto it = s.files.find(handle);
  *outcome = "unknown handle";
  if (!r.ok() || it == s.files.end()) return;
  OpenFile& f = it->second;
  if (!f.broken && !f.receiving && f.done == f.count) {
    f.next.committed = static_cast<int64_t>(time(nullptr));
    *outcome = Store::write_meta(f.path, f.next) ? "committed" : "commit failed";
  } else {
    *outcome = "incomplete, dropped";
  }
  (void)sh;
  s.files.erase(it);
}

uint8_t do_email(Shared& sh, Session& s, Reader& r) {
  uint8_t part = r.u8();
  if (part == 0) {
    uint64_t schedule = r.u64();
    uint8_t count = r.u8();
    std::string recipients;
    for (int i = 0; i < count; ++i) {
      uint8_t n = r.u8();
      std::string one = text_of(r.bytes(n), n);
      recipients += (i ? ", " : "") + one;
    }
    uint32_t total = r.u32();
    uint16_t n = r.u16();
    const uint8_t* text = r.bytes(n);
    if (!r.ok() || n > total) return ERR_INVARG;
    s.mail_open = true;
    s.mail_total = total;
    s.mail = "X-Kfs-Schedule-Id: " + std::to_string(schedule) + "\nX-Kfs-Recipients: " +
             recipients + "\n\n";
    s.mail_total += static_cast<uint32_t>(s.mail.size());
    s.mail.append(reinterpret_cast<const char*>(text), n);
  } else if (part == 2) {
    uint16_t n = r.u16();
    const uint8_t* text = r.bytes(n);
    if (!r.ok()) return ERR_INVARG;
    if (!s.mail_open) return ERR_SEQUENCE;
    if (s.mail.size() + n > s.mail_total) {
      s.mail_open = false;
      return ERR_INVARG;
    }
    s.mail.append(reinterpret_cast<const char*>(text), n);
  } else {
    return ERR_INVARG;
  }
  if (s.mail.size() == s.mail_total) {
    s.mail_open = false;
    if (!sh.store.put_mail(s.mail)) return ERR_FSACCESS;
  }
  return 0;
}

// The path a request names, for the verbose log.
std::string describe(const Packet& request) {
  size_t at = 0;
  switch (request.type) {
    case KFS_MKDIR:
    case KFS_DELETE:
      at = 1;
      break;
    case KFS_FILE_WOPEN:
      at = 5;
      break;
    case KFS_FILE_WRITE: {
      // Block messages by kind, so that a log can count what was sent.
      if (request.data.size() < 4) return "";
      uint8_t subtype = request.data[1];
      const char* kind = subtype == 1    ? "query"
                         : subtype == 8  ? "data"
                         : subtype == 10 ? "end"
                                         : "other";
      return std::string(kind) + " " + std::to_string(get16(request.data.data() + 2));
    }
    default:
      return "";
  }
  Reader r(request.data.data(), request.data.size());
  r.bytes(at);
  uint16_t n = r.u16();
  const uint8_t* p = r.bytes(n);
  return p == nullptr ? "" : text_of(p, n);
}

void serve_connection(Shared& sh, int fd) {
  Conn conn(fd);
  Session s;
  s.id = sh.next_conn++;
  if (!conn.handshake(sh.key, sh.key_text)) {
    log_line(sh, "conn %llu handshake failed", static_cast<unsigned long long>(s.id));
    return;
  }
  log_line(sh, "conn %llu handshake", static_cast<unsigned long long>(s.id));
  Packet request;
  while (conn.recv(&request)) {
    Packet reply;
    reply.type = static_cast<uint8_t>(request.type | KFS_RESPONSE_BIT);
    reply.request_number = request.request_number;
    bool answer = true;
    const char* note = "";
    std::string subject;
    {
      std::lock_guard<std::mutex> guard(sh.mutex);
      Reader r(request.data.data(), request.data.size());
      uint8_t status = 0;
      bool need_lock = true;
      switch (request.type) {
        case KFS_SESSION_AUTH:
        case KFS_USER_LOCK:
        case KFS_EMAIL:
          need_lock = false;
          break;
        default:
          break;
      }
      if (request.type != KFS_SESSION_AUTH && !s.logged_in) {
        status = ERR_SEQUENCE;
        answer = !(request.type == KFS_FILE_CLOSE ||
                   (request.type == KFS_FILE_WRITE && request.data.size() > 1 &&
                    (request.data[1] & 8) != 0));
      } else if (need_lock && request.type != KFS_SESSION_AUTH && !holds_destination(sh, s)) {
        status = ERR_ACCESS;
        if (request.type == KFS_FILE_CLOSE) answer = false;
        if (request.type == KFS_FILE_WRITE && request.data.size() > 1 &&
            (request.data[1] & 8) != 0) {
          answer = false;
        }
      } else {
        switch (request.type) {
          case KFS_SESSION_AUTH:
            status = do_login(sh, s, r, reply.data);
            subject = "user " + std::to_string(s.user);
            break;
          case KFS_USER_LOCK:
            status = do_lock(sh, s, r);
            break;
          case KFS_MKDIR:
            status = do_mkdir(sh, s, r);
            break;
          case KFS_DELETE:
            status = do_delete(sh, s, r, reply.data);
            break;
          case KFS_FIND_FILES:
            status = do_find(sh, s, r, reply.data);
            break;
          case KFS_FILE_WOPEN:
            status = do_wopen(sh, s, r, reply.data);
            break;
          case KFS_FILE_WRITE:
            status = do_write(sh, s, r, reply.data);
            answer = request.data.size() < 2 || (request.data[1] & 8) == 0;
            break;
          case KFS_FILE_CLOSE:
            do_close(sh, s, r, &note);
            answer = false;
            break;
          case KFS_EMAIL:
            status = do_email(sh, s, r);
            break;
          default:
            status = ERR_SEQUENCE;
            break;
        }
      }
      if (status != 0 && request.type != KFS_DELETE && request.type != KFS_SESSION_AUTH) {
        reply.data.clear();
      }
      if (request.type == KFS_SESSION_AUTH && status != 0) reply.data.clear();
      if (subject.empty()) subject = describe(request);
      reply.status = status;
    }
    long nth = ++sh.requests;
    log_line(sh, "conn %llu %s %s-> %s%s%s", static_cast<unsigned long long>(s.id),
             kfs_type_name(request.type), subject.empty() ? "" : (subject + " ").c_str(),
             answer ? kfs_error_name(reply.status) : "(no reply)", *note ? " " : "", note);
    if (answer) {
      long reply_nth = ++sh.replies;
      bool corrupt = sh.options.corrupt_crc != 0 && reply_nth == sh.options.corrupt_crc;
      if (!conn.send(reply, corrupt)) break;
    }
    if (s.drop_now || (sh.options.drop_after != 0 && nth >= sh.options.drop_after &&
                       !sh.drop_done.exchange(true))) {
      log_line(sh, "conn %llu dropped", static_cast<unsigned long long>(s.id));
      break;
    }
  }
  std::lock_guard<std::mutex> guard(sh.mutex);
  orphan_locks(sh, s.id);
  log_line(sh, "conn %llu closed", static_cast<unsigned long long>(s.id));
}

}  // namespace

int serve(const Options& options) {
  signal(SIGPIPE, SIG_IGN);
  static Shared shared;  // lives as long as the process: connection threads are detached
  shared.options = options;
  shared.store = Store(options.store);
  std::error_code ec;
  fs::create_directories(fs::path(options.store) / "users", ec);
  fs::create_directories(fs::path(options.store) / "mail", ec);
  shared.key = load_or_create_key((fs::path(options.store) / "server_key.pem").string());
  if (shared.key == nullptr) {
    fprintf(stderr, "kfs-devserver: cannot read or create the server key in %s\n",
            options.store.c_str());
    return 1;
  }
  shared.key_text = public_key_pem(shared.key);
  shared.again_pending = options.again_first_login;
  shared.phantom_until =
      std::chrono::steady_clock::now() + std::chrono::seconds(options.hold_lock_seconds);

  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(options.listen_port));
  if (inet_pton(AF_INET, options.listen_host.c_str(), &address.sin_addr) != 1 ||
      bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 16) != 0) {
    fprintf(stderr, "kfs-devserver: cannot listen on %s:%d: %s\n", options.listen_host.c_str(),
            options.listen_port, strerror(errno));
    return 1;
  }
  socklen_t length = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  printf("listening %s:%u\n", options.listen_host.c_str(), ntohs(address.sin_port));
  fflush(stdout);
  for (;;) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::thread([fd] { serve_connection(shared, fd); }).detach();
  }
}

}  // namespace kfsd
