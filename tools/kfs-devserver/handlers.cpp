// The request handlers. They run one at a time under the shared mutex, after the
// dispatch has checked login and lock; planned faults never reach them, apart from a
// lock held by a planned phantom session.
#include <fnmatch.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "protocol/ckfs.h"
#include "protocol/codes.h"
#include "tools/kfs-devserver/session.h"

namespace kfsd {

using namespace kfs_wire;

namespace {

constexpr size_t kReplyRoom = 60000;  // listings stop well inside one packet
constexpr size_t kFindHeader = 7;     // count, remaining, handle
constexpr size_t kLoginReplyRoom = 512;
constexpr size_t kDeleteReplySize = 24;
constexpr size_t kWopenReplySize = 9;
constexpr int kHandleMax = 255;

void release_locks(Shared& sh, uint64_t id) {
  for (auto it = sh.locks.begin(); it != sh.locks.end();) {
    it = (it->second.conn == id) ? sh.locks.erase(it) : std::next(it);
  }
}

bool lock_alive(const LockHolder& holder) {
  return holder.conn != 0 || std::chrono::steady_clock::now() < holder.orphaned_until;
}

template <typename Map>
int free_handle(const Map& map) {
  for (int h = 1; h <= kHandleMax; ++h) {
    if (map.find(static_cast<uint8_t>(h)) == map.end()) return h;
  }
  return 0;
}

std::string text_of(const uint8_t* p, size_t n) {
  return p == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(p), n);
}

// The account and user described by a successful login; `again` stays 0, a planned fault
// sets it.
void write_login_reply(Shared& sh, const Session& s, const std::string& name,
                       std::vector<uint8_t>& out) {
  std::string account = "account-" + std::to_string(s.user);
  std::string user_name = "user-" + std::to_string(s.user);
  out.resize(kLoginReplyRoom);
  Writer w(out.data(), out.size());
  auto text = [&w](const std::string& t) {
    size_t n = std::min<size_t>(t.size(), 255);
    w.u8(static_cast<uint8_t>(n));
    w.bytes(t.data(), n);
  };
  w.u8(0);
  text("kfs-devserver");
  w.u16(0);
  text("");
  w.u16(0);
  w.u32(s.user);
  text(account);
  w.u8(1);
  text(name);
  w.u32(s.user);
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
  w.u32(sh.store.lock_token(s.user, s.schedule_file));
  out.resize(w.size());
}

}  // namespace

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

void orphan_locks(Shared& sh, uint64_t id) {
  for (auto& [user, holder] : sh.locks) {
    if (holder.conn != id) continue;
    holder.conn = 0;
    holder.orphaned_until = std::chrono::steady_clock::now() + kOrphanedLockLife;
  }
}

bool holds_destination(Shared& sh, const Session& s) {
  if (!s.has_destination) return false;
  auto it = sh.locks.find(s.destination);
  return it != sh.locks.end() && it->second.conn == s.id;
}

uint8_t do_login(Call& c) {
  Reader& r = c.r;
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
  if (!c.sh.store.check_digest(user, hex(digest, 20))) return ERR_AUTH_FAILURE;
  Session& s = c.s;
  s.logged_in = true;
  s.user = user;
  s.schedule_file = file;
  s.owner = std::to_string(user) + ":" + file;
  for (auto& [dest, holder] : c.sh.locks) {
    if (holder.conn == 0 && holder.owner == s.owner && lock_alive(holder)) {
      holder.conn = s.id;
      s.has_destination = true;
      s.destination = dest;
    }
  }
  write_login_reply(c.sh, s, name, c.out);
  return 0;
}

uint8_t do_lock(Call& c) {
  Reader& r = c.r;
  Shared& sh = c.sh;
  Session& s = c.s;
  uint8_t flags = r.u8();
  if ((flags & CKFS_LOCK_RELEASE) != 0) {
    uint32_t token = 0;
    bool with_token = (flags & CKFS_LOCK_SEND_TOKEN) != 0;
    if (with_token) token = r.u32();
    if (!r.ok()) return ERR_INVARG;
    release_locks(sh, s.id);
    s.has_destination = false;
    return sh.store.end_run(s.user, s.schedule_file, with_token, token) ? 0 : ERR_IO;
  }
  uint16_t count = r.u16();
  std::vector<uint32_t> users;
  for (int i = 0; i < count; ++i) users.push_back(r.u32());
  if (!r.ok() || users.empty()) return ERR_INVARG;
  for (uint32_t u : users) {
    auto it = sh.locks.find(u);
    if (sh.faults.holds_lock(u)) return ERR_ACCESS;
    if (it == sh.locks.end() || it->second.conn == s.id || !lock_alive(it->second)) continue;
    if (it->second.conn == 0 && it->second.owner == s.owner) continue;
    return ERR_ACCESS;
  }
  if (!sh.store.begin_run(s.user, s.schedule_file)) return ERR_IO;
  for (uint32_t u : users) sh.locks[u] = LockHolder{s.id, s.owner, {}};
  s.has_destination = true;
  s.destination = users.front();
  return 0;
}

uint8_t do_mkdir(Call& c) {
  Reader& r = c.r;
  r.u8();
  uint16_t n = r.u16();
  std::string path = text_of(r.bytes(n), n);
  std::string target;
  if (!r.ok() || !Store::resolve(path, &target)) return ERR_INVARG;
  const uint32_t kind = c.sh.store.lookup(c.s.destination, target);
  if (kind == KIND_FOLDER) return ERR_EXISTS;
  if (kind == KIND_FILE) return ERR_NOTDIR;
  const Made made = c.sh.store.make_folder(c.s.destination, target);
  return made == Made::ok ? 0 : made == Made::blocked ? ERR_NOTDIR : ERR_FSACCESS;
}

uint8_t do_delete(Call& c) {
  Reader& r = c.r;
  uint8_t flags = r.u8();
  uint16_t n = r.u16();
  std::string path = text_of(r.bytes(n), n);
  c.out.assign(kDeleteReplySize, 0);
  std::string target;
  if (!r.ok() || !Store::resolve(path, &target)) return ERR_INVARG;
  if (target.empty()) return ERR_ACCESS;
  const uint32_t kind = c.sh.store.lookup(c.s.destination, target);
  if (kind == 0) return ERR_BADPATH;
  bool folder = kind == KIND_FOLDER;
  if ((flags & 1) == 0 && folder) return ERR_NOTFILE;
  if ((flags & 1) != 0 && !folder) return ERR_NOTDIR;
  Removed removed;
  if (!c.sh.store.remove(c.s.destination, target, &removed)) return ERR_FSACCESS;
  put32(c.out.data(), removed.files);
  put32(c.out.data() + 4, removed.folders);
  put64(c.out.data() + 8, removed.bytes);
  return 0;
}

namespace {

// Reads the folder into a new listing; answers its handle, or 0 with `status` set.
int open_listing(Call& c, const std::string& folder, const std::string& pattern, bool wide,
                 uint8_t* status) {
  std::string target;
  *status = ERR_INVARG;
  if (!Store::resolve(folder, &target)) return 0;
  const uint32_t kind = c.sh.store.lookup(c.s.destination, target);
  *status = kind == 0 ? ERR_BADPATH : kind != KIND_FOLDER ? ERR_NOTDIR : 0;
  if (*status != 0) return 0;
  int h = free_handle(c.s.listings);
  *status = ERR_FINDMAX;
  if (h == 0) return 0;
  Listing listing;
  listing.wide = wide;
  *status = ERR_FSACCESS;
  if (!c.sh.store.list(c.s.destination, target, &listing.entries)) return 0;
  // Sorted by name already, as the store keeps them.
  std::erase_if(listing.entries, [&](const StoredEntry& e) {
    return (!wide && e.name.size() > 255) ||
           (!pattern.empty() && fnmatch(pattern.c_str(), e.name.c_str(), 0) != 0);
  });
  c.s.listings[static_cast<uint8_t>(h)] = std::move(listing);
  *status = 0;
  return h;
}

// Fills the next page of the listing into the reply.
void write_page(Call& c, uint8_t handle, Listing& listing) {
  c.out.assign(kReplyRoom + 512, 0);
  Writer w(c.out.data() + kFindHeader, kReplyRoom);
  uint16_t count = 0;
  while (listing.next < listing.entries.size() && count < c.sh.options.page_size) {
    const StoredEntry& e = listing.entries[listing.next];
    size_t need = 21 + (listing.wide ? 2 : 1) + e.name.size();
    if (w.size() + need > kReplyRoom) break;
    w.u8(static_cast<uint8_t>(e.kind));
    w.u32(e.mtime);
    w.u64(e.size);
    w.u64(e.kind == KIND_FILE ? e.version : 0);
    if (listing.wide) {
      w.u16(static_cast<uint16_t>(e.name.size()));
    } else {
      w.u8(static_cast<uint8_t>(e.name.size()));
    }
    w.bytes(e.name.data(), e.name.size());
    ++listing.next;
    ++count;
  }
  put16(c.out.data(), count);
  put32(c.out.data() + 2, static_cast<uint32_t>(listing.entries.size() - listing.next));
  c.out[6] = handle;
  c.out.resize(kFindHeader + w.size());
}

}  // namespace

uint8_t do_find(Call& c) {
  Reader& r = c.r;
  uint8_t handle = r.u8();
  uint8_t flags = r.u8();
  uint8_t pn = r.u8();
  std::string pattern = text_of(r.bytes(pn), pn);
  uint16_t fn = r.u16();
  std::string folder = text_of(r.bytes(fn), fn);
  if (!r.ok()) return ERR_INVARG;
  if (handle == 0) {
    uint8_t status = 0;
    handle = static_cast<uint8_t>(open_listing(c, folder, pattern, (flags & 1) != 0, &status));
    if (status != 0) return status;
  }
  auto it = c.s.listings.find(handle);
  if (it == c.s.listings.end()) return ERR_INVARG;
  write_page(c, handle, it->second);
  if (it->second.next == it->second.entries.size()) c.s.listings.erase(it);
  return 0;
}

namespace {

// Leading stored blocks the client may skip by checksum.
uint16_t checksummed_blocks(const OpenFile& f, uint64_t block_size) {
  uint16_t n = 0;
  if (!f.old.exists || f.old.block_size != block_size) return 0;
  while (n < f.count && n < f.old.blocks.size() && f.old.blocks[n].md5 != "-") ++n;
  return n;
}

// Whether a file can be opened at `target` (a folder of that name cannot be), and its
// stored version when there is one; makes its folder when missing.
uint8_t open_target(Call& c, const std::string& target, FileMeta* old) {
  const uint32_t kind = c.sh.store.lookup(c.s.destination, target, old);
  if (kind == KIND_FOLDER) return ERR_NOTFILE;
  if (kind == KIND_FILE) return 0;
  const size_t slash = target.rfind('/');
  const Made made = c.sh.store.make_folder(
      c.s.destination, slash == std::string::npos ? std::string() : target.substr(0, slash));
  return made == Made::ok ? 0 : made == Made::blocked ? ERR_NOTDIR : ERR_FSACCESS;
}

}  // namespace

uint8_t do_wopen(Call& c) {
  Reader& r = c.r;
  Session& s = c.s;
  r.u8();
  uint32_t mtime = r.u32();
  uint16_t pn = r.u16();
  std::string path = text_of(r.bytes(pn), pn);
  uint64_t size = r.u64();
  uint16_t rn = r.u16();
  const uint8_t* record = r.bytes(rn);
  std::string target;
  if (!r.ok() || !Store::resolve(path, &target) || target.empty()) return ERR_INVARG;
  OpenFile f;
  uint8_t code = open_target(c, target, &f.old);
  if (code != 0) return code;
  // A client that starts a file over opens it again without closing the first handle.
  for (auto it = s.files.begin(); it != s.files.end();) {
    it = (it->second.path == target) ? s.files.erase(it) : std::next(it);
  }
  f.path = target;
  if (f.old.exists && f.old.mtime == mtime && f.old.size == size) return ERR_UP2DATE;
  uint64_t bs = c.sh.options.block_size;
  while ((size + bs - 1) / bs > 65535) bs *= 2;
  if (bs > 0xffffffffULL) return ERR_INVARG;
  f.count = static_cast<uint16_t>((size + bs - 1) / bs);
  uint16_t checksummed = checksummed_blocks(f, bs);
  int h = free_handle(s.files);
  if (h == 0) return ERR_FDMAX;
  f.next = FileMeta{false,
                    mtime,
                    size,
                    static_cast<uint32_t>(bs),
                    f.old.exists ? f.old.version + 1 : 1,
                    0,
                    text_of(record, rn),
                    {}};
  uint16_t count = f.count;
  s.files[static_cast<uint8_t>(h)] = std::move(f);
  c.out.resize(kWopenReplySize);
  c.out[0] = static_cast<uint8_t>(h);
  put16(c.out.data() + 1, checksummed);
  put32(c.out.data() + 3, static_cast<uint32_t>(bs));
  put16(c.out.data() + 7, count);
  return 0;
}

namespace {

uint8_t block_query(Call& c, OpenFile& f, const uint8_t* data, uint16_t n) {
  if (f.receiving || f.done >= f.count) return ERR_SEQUENCE;
  if (n == 16 && f.done < f.old.blocks.size() && f.old.block_size == f.next.block_size &&
      f.old.blocks[f.done].md5 == hex(data, 16)) {
    f.next.blocks.push_back(f.old.blocks[f.done]);
    ++f.done;
    return ERR_UP2DATE;
  }
  f.receiving = true;
  f.payload.clear();
  c.out.resize(2);
  put16(c.out.data(), n);
  return 0;
}

uint8_t block_data(OpenFile& f, const uint8_t* data, uint16_t n) {
  // A compressed, encrypted block hardly grows; anything far beyond is not one.
  if (!f.receiving || f.payload.size() + n > uint64_t{f.next.block_size} * 2 + 65536) {
    f.broken = true;
    return ERR_DATAMAX;
  }
  f.payload.insert(f.payload.end(), data, data + n);
  return 0;
}

uint8_t block_end(Call& c, OpenFile& f, const uint8_t* data, uint16_t n) {
  if (!f.receiving || (n != 0 && n != 16)) {
    f.broken = true;
    return ERR_SEQUENCE;
  }
  Block block;
  if (!c.sh.store.put_object(c.s.destination, f.payload, &block)) {
    f.broken = true;
    return ERR_FSACCESS;
  }
  block.md5 = n == 16 ? hex(data, 16) : "-";
  f.next.blocks.push_back(std::move(block));
  f.receiving = false;
  f.payload.clear();
  ++f.done;
  return 0;
}

}  // namespace

uint8_t do_write(Call& c) {
  Reader& r = c.r;
  uint8_t handle = r.u8();
  uint8_t subtype = r.u8();
  uint16_t n = r.u16();
  const uint8_t* data = r.bytes(n);
  if (!r.ok()) return ERR_INVARG;
  auto it = c.s.files.find(handle);
  if (it == c.s.files.end()) return ERR_INVARG;
  OpenFile& f = it->second;
  if (f.broken) return ERR_IO;
  switch (subtype) {
    case CKFS_WRITE_QUERY:
      return block_query(c, f, data, n);
    case CKFS_WRITE_DATA:
      return block_data(f, data, n);
    case CKFS_WRITE_END:
      return block_end(c, f, data, n);
    default:
      return ERR_INVARG;
  }
}

uint8_t do_close(Call& c) {
  uint8_t handle = c.r.u8();
  auto it = c.s.files.find(handle);
  c.note = "unknown handle";
  if (!c.r.ok() || it == c.s.files.end()) return 0;
  OpenFile& f = it->second;
  if (!f.broken && !f.receiving && f.done == f.count) {
    f.next.committed = static_cast<int64_t>(time(nullptr));
    c.note = c.sh.store.write_meta(c.s.destination, f.path, f.next) ? "committed" : "commit failed";
  } else {
    c.note = "incomplete, dropped";
  }
  c.s.files.erase(it);
  return 0;
}

namespace {

// The first part names the schedule and the recipients and announces the total size.
uint8_t mail_start(Call& c) {
  Reader& r = c.r;
  Session& s = c.s;
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
  s.mail = "X-Kfs-Schedule-Id: " + std::to_string(schedule) + "\nX-Kfs-Recipients: " + recipients +
           "\n\n";
  s.mail_total += static_cast<uint32_t>(s.mail.size());
  s.mail.append(reinterpret_cast<const char*>(text), n);
  return 0;
}

uint8_t mail_more(Call& c) {
  Session& s = c.s;
  uint16_t n = c.r.u16();
  const uint8_t* text = c.r.bytes(n);
  if (!c.r.ok()) return ERR_INVARG;
  if (!s.mail_open) return ERR_SEQUENCE;
  if (s.mail.size() + n > s.mail_total) {
    s.mail_open = false;
    return ERR_INVARG;
  }
  s.mail.append(reinterpret_cast<const char*>(text), n);
  return 0;
}

}  // namespace

uint8_t do_email(Call& c) {
  uint8_t part = c.r.u8();
  uint8_t status = part == 0 ? mail_start(c) : part == 2 ? mail_more(c) : uint8_t{ERR_INVARG};
  if (status != 0) return status;
  if (c.s.mail.size() == c.s.mail_total) {
    c.s.mail_open = false;
    if (!c.sh.store.put_mail(c.s.mail)) return ERR_FSACCESS;
  }
  return 0;
}

}  // namespace kfsd
