#include "platform/security.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/path.h"
#include "platform/posix/native_error.h"

namespace {

constexpr uint16_t kSelfRelative = 0x8000;
constexpr uint16_t kDaclPresent = 0x0004;
constexpr uint16_t kSaclPresent = 0x0010;
constexpr size_t kHeaderSize = 20;
constexpr size_t kAclHeaderSize = 8;
constexpr uint8_t kAccessAllowed = 0;
constexpr uint8_t kAccessDenied = 1;
constexpr uint8_t kInheritOnly = 0x08;
constexpr uint32_t kGenericAll = 0x10000000;
constexpr uint32_t kGenericExecute = 0x20000000;
constexpr uint32_t kGenericWrite = 0x40000000;
constexpr uint32_t kGenericRead = 0x80000000;
constexpr int kMaxSubAuthorities = 15;

// Identifier authorities and relative ids of the SIDs this layer speaks.
constexpr uint64_t kAuthorityWorld = 1;         // S-1-1-0 Everyone
constexpr uint64_t kAuthorityCreator = 3;       // S-1-3-0 creator owner, S-1-3-1 group
constexpr uint64_t kAuthorityUnixAccount = 22;  // S-1-22-1-uid, S-1-22-2-gid
constexpr uint32_t kUnixUser = 1;
constexpr uint32_t kUnixGroup = 2;

void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint16_t get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

struct Sid {
  uint64_t authority;
  int count;
  uint32_t sub[kMaxSubAuthorities];
};

size_t sid_size(int count) {
  return 8 + 4 * static_cast<size_t>(count);
}

size_t put_sid(uint8_t* p, uint64_t authority, std::initializer_list<uint32_t> subs) {
  p[0] = 1;
  p[1] = static_cast<uint8_t>(subs.size());
  for (int i = 0; i < 6; ++i)
    p[2 + i] = static_cast<uint8_t>(authority >> (8 * (5 - i)));  // big-endian
  size_t at = 8;
  for (uint32_t s : subs) {
    put32(p + at, s);
    at += 4;
  }
  return at;
}

// Reads a SID at [at, end) of the bytes; false when it does not fit or is not one.
bool read_sid(const uint8_t* bytes, size_t at, size_t end, Sid* sid) {
  if (at > end || end - at < 8) return false;
  const uint8_t* p = bytes + at;
  if (p[0] != 1) return false;
  int count = p[1];
  if (count > kMaxSubAuthorities || sid_size(count) > end - at) return false;
  sid->authority = 0;
  for (int i = 0; i < 6; ++i) sid->authority = (sid->authority << 8) | p[2 + i];
  sid->count = count;
  for (int i = 0; i < count; ++i) sid->sub[i] = get32(p + 8 + 4 * i);
  return true;
}

bool is_unix_sid(const Sid& sid, uint32_t kind, uint32_t* id) {
  if (sid.authority != kAuthorityUnixAccount || sid.count != 2 || sid.sub[0] != kind) return false;
  *id = sid.sub[1];
  return true;
}

uint32_t rights_of(uint32_t bits) {  // bits: 4 = r, 2 = w, 1 = x
  uint32_t mask = 0;
  if (bits & 4) mask |= PLAT_FILE_GENERIC_READ;
  if (bits & 2) mask |= PLAT_FILE_GENERIC_WRITE;
  if (bits & 1) mask |= PLAT_FILE_GENERIC_EXECUTE;
  return mask;
}

uint32_t bits_of(uint32_t mask) {
  uint32_t bits = 0;
  if (mask & (PLAT_FILE_READ_DATA | kGenericRead | kGenericAll)) bits |= 4;
  if (mask & (PLAT_FILE_WRITE_DATA | kGenericWrite | kGenericAll)) bits |= 2;
  if (mask & (PLAT_FILE_EXECUTE | kGenericExecute | kGenericAll)) bits |= 1;
  return bits;
}

int malformed() {
  return fail_with(EINVAL, PLAT_ERROR_INVALID_SECURITY_DESCR);
}

// Checks an ACL's frame: [at, at + AclSize) inside the bytes, every ACE inside the ACL.
// Calls `ace(type, flags, mask, sid)` for each allow/deny ACE. False when malformed.
template <typename AceFn>
bool walk_acl(const uint8_t* bytes, size_t length, size_t at, AceFn ace) {
  if (at < kHeaderSize || at > length || length - at < kAclHeaderSize) return false;
  const uint8_t* acl = bytes + at;
  if (acl[0] != 2 && acl[0] != 4) return false;
  size_t acl_size = get16(acl + 2);
  size_t count = get16(acl + 4);
  if (acl_size < kAclHeaderSize || acl_size > length - at) return false;
  size_t end = at + acl_size;
  size_t pos = at + kAclHeaderSize;
  for (size_t i = 0; i < count; ++i) {
    if (end - pos < 4) return false;
    uint8_t type = bytes[pos];
    uint8_t flags = bytes[pos + 1];
    size_t size = get16(bytes + pos + 2);
    if (size < 4 || size % 4 != 0 || size > end - pos) return false;
    if (type == kAccessAllowed || type == kAccessDenied) {
      Sid sid;
      if (size < 8 || !read_sid(bytes, pos + 8, pos + size, &sid)) return false;
      ace(type, flags, get32(bytes + pos + 4), sid);
    }
    pos += size;
  }
  return true;
}

}  // namespace

size_t plat_security_descriptor_build(uint32_t uid, uint32_t gid, uint32_t mode, uint8_t* out,
                                      size_t capacity) {
  const size_t owner_at = kHeaderSize;
  const size_t group_at = owner_at + sid_size(2);
  const size_t dacl_at = group_at + sid_size(2);
  const size_t acl_size = kAclHeaderSize + 2 * (8 + sid_size(2)) + (8 + sid_size(1));
  const size_t total = dacl_at + acl_size;
  if (out == nullptr || capacity < total) return total;
  memset(out, 0, total);
  out[0] = 1;
  put16(out + 2, kSelfRelative | kDaclPresent);
  put32(out + 4, static_cast<uint32_t>(owner_at));
  put32(out + 8, static_cast<uint32_t>(group_at));
  put32(out + 12, 0);
  put32(out + 16, static_cast<uint32_t>(dacl_at));
  put_sid(out + owner_at, kAuthorityUnixAccount, {kUnixUser, uid});
  put_sid(out + group_at, kAuthorityUnixAccount, {kUnixGroup, gid});
  uint8_t* acl = out + dacl_at;
  acl[0] = 2;
  put16(acl + 2, static_cast<uint16_t>(acl_size));
  put16(acl + 4, 3);
  size_t at = kAclHeaderSize;
  auto ace = [&](uint32_t mask, uint64_t authority, std::initializer_list<uint32_t> subs) {
    uint8_t* p = acl + at;
    p[0] = kAccessAllowed;
    p[1] = 0;
    put32(p + 4, mask);
    size_t size = 8 + put_sid(p + 8, authority, subs);
    put16(p + 2, static_cast<uint16_t>(size));
    at += size;
  };
  ace(rights_of((mode >> 6) & 7), kAuthorityUnixAccount, {kUnixUser, uid});
  ace(rights_of((mode >> 3) & 7), kAuthorityUnixAccount, {kUnixGroup, gid});
  ace(rights_of(mode & 7), kAuthorityWorld, {0});
  return total;
}

int plat_security_descriptor_parse(const uint8_t* bytes, size_t length, PlatSecurityFacts* facts) {
  if (bytes == nullptr || facts == nullptr) return fail_with(EINVAL);
  if (length < kHeaderSize || bytes[0] != 1) return malformed();
  uint16_t control = get16(bytes + 2);
  if ((control & kSelfRelative) == 0) return malformed();
  size_t owner_at = get32(bytes + 4);
  size_t group_at = get32(bytes + 8);
  size_t sacl_at = get32(bytes + 12);
  size_t dacl_at = get32(bytes + 16);
  PlatSecurityFacts f{};
  Sid sid;
  if (owner_at != 0) {
    if (owner_at < kHeaderSize || !read_sid(bytes, owner_at, length, &sid)) return malformed();
    if (!is_unix_sid(sid, kUnixUser, &f.uid)) return malformed();
    f.has_owner = true;
  }
  if (group_at != 0) {
    if (group_at < kHeaderSize || !read_sid(bytes, group_at, length, &sid)) return malformed();
    if (!is_unix_sid(sid, kUnixGroup, &f.gid)) return malformed();
    f.has_group = true;
  }
  if ((control & kSaclPresent) && sacl_at != 0) {
    if (!walk_acl(bytes, length, sacl_at, [](uint8_t, uint8_t, uint32_t, const Sid&) {}))
      return malformed();
  }
  if (control & kDaclPresent) {
    // A null DACL grants everyone everything; no file gets that from outside bytes.
    if (dacl_at == 0) return malformed();
    uint32_t allow[3] = {0, 0, 0};
    uint32_t deny[3] = {0, 0, 0};
    bool ok = walk_acl(
        bytes, length, dacl_at, [&](uint8_t type, uint8_t flags, uint32_t mask, const Sid& s) {
          if (flags & kInheritOnly) return;
          int who = -1;
          uint32_t id = 0;
          if (is_unix_sid(s, kUnixUser, &id)) {
            if (f.has_owner && id == f.uid) who = 0;
          } else if (is_unix_sid(s, kUnixGroup, &id)) {
            if (f.has_group && id == f.gid) who = 1;
          } else if (s.authority == kAuthorityCreator && s.count == 1 && s.sub[0] <= 1) {
            who = static_cast<int>(s.sub[0]);
          } else if (s.authority == kAuthorityWorld && s.count == 1 && s.sub[0] == 0) {
            who = 2;
          }
          if (who < 0) return;
          (type == kAccessAllowed ? allow : deny)[who] |= bits_of(mask);
        });
    if (!ok) return malformed();
    f.has_mode = true;
    f.mode = ((allow[0] & ~deny[0]) << 6) | ((allow[1] & ~deny[1]) << 3) | (allow[2] & ~deny[2]);
  }
  *facts = f;
  return 0;
}

long plat_get_file_security(std::string_view path, uint8_t* out, size_t capacity) {
  std::string native;
  if (plat_native_path(path, &native) != 0) return -1;
  struct stat st {};
  if (stat(native.c_str(), &st) != 0) return fail_with(errno);
  size_t n = plat_security_descriptor_build(st.st_uid, st.st_gid, st.st_mode & 0777, out, capacity);
  if (n > capacity || out == nullptr) return fail_with(ERANGE, PLAT_ERROR_INSUFFICIENT_BUFFER);
  return static_cast<long>(n);
}

int plat_set_file_security(std::string_view path, const uint8_t* descriptor, size_t length) {
  PlatSecurityFacts facts;
  if (plat_security_descriptor_parse(descriptor, length, &facts) != 0) return -1;
  std::string native;
  if (plat_native_path(path, &native) != 0) return -1;
  struct stat st {};
  if (lstat(native.c_str(), &st) != 0) return fail_with(errno);
  if (S_ISLNK(st.st_mode)) return fail_with(ELOOP);
  if (facts.has_owner || facts.has_group) {
    uid_t uid = facts.has_owner ? static_cast<uid_t>(facts.uid) : static_cast<uid_t>(-1);
    gid_t gid = facts.has_group ? static_cast<gid_t>(facts.gid) : static_cast<gid_t>(-1);
    if (fchownat(AT_FDCWD, native.c_str(), uid, gid, AT_SYMLINK_NOFOLLOW) != 0)
      return fail_with(errno);
  }
  if (facts.has_mode) {
    // Set-id bits are never carried over: the descriptor does not hold them, and keeping
    // them on a file that just changed hands would grant its new owner's rights.
    mode_t mode = static_cast<mode_t>(facts.mode & 0777) | (st.st_mode & S_ISVTX);
    if (chmod(native.c_str(), mode) != 0) return fail_with(errno);
  }
  return 0;
}
