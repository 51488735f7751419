#include "platform/security.h"

#include <windows.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "platform/win32/win_error.h"

// Descriptors here are the system's own (GetFileSecurity), with whatever SIDs the file
// carries. The byte builder speaks the POSIX layer's account SIDs so that both layers
// produce the same bytes for the same facts; the parser accepts any SID.

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
constexpr uint64_t kAuthorityWorld = 1;
constexpr uint64_t kAuthorityCreator = 3;
constexpr uint64_t kAuthorityUnixAccount = 22;
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

  bool operator==(const Sid& o) const {
    return authority == o.authority && count == o.count &&
           memcmp(sub, o.sub, sizeof(uint32_t) * static_cast<size_t>(count)) == 0;
  }
};

size_t sid_size(int count) {
  return 8 + 4 * static_cast<size_t>(count);
}

size_t put_sid(uint8_t* p, uint64_t authority, std::initializer_list<uint32_t> subs) {
  p[0] = 1;
  p[1] = static_cast<uint8_t>(subs.size());
  for (int i = 0; i < 6; ++i) p[2 + i] = static_cast<uint8_t>(authority >> (8 * (5 - i)));
  size_t at = 8;
  for (uint32_t s : subs) {
    put32(p + at, s);
    at += 4;
  }
  return at;
}

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

uint32_t rights_of(uint32_t bits) {
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
  return fail_errno(EINVAL, PLAT_ERROR_INVALID_SECURITY_DESCR);
}

// Checks an ACL's frame and calls `ace(type, flags, mask, sid)` for each allow/deny ACE.
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

// Whether the last component of `path` is a reparse point (a link or a junction).
bool is_reparse_point(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
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

// Facts of a Windows descriptor: uid and gid are the owner's and group's relative ids (the
// last sub-authority); the mode bits come from the ACEs for the owner, the group, the
// creator SIDs and Everyone.
int plat_security_descriptor_parse(const uint8_t* bytes, size_t length, PlatSecurityFacts* facts) {
  if (bytes == nullptr || facts == nullptr) return fail_errno(EINVAL, ERROR_INVALID_PARAMETER);
  if (length < kHeaderSize || bytes[0] != 1) return malformed();
  uint16_t control = get16(bytes + 2);
  if ((control & kSelfRelative) == 0) return malformed();
  size_t owner_at = get32(bytes + 4);
  size_t group_at = get32(bytes + 8);
  size_t sacl_at = get32(bytes + 12);
  size_t dacl_at = get32(bytes + 16);
  PlatSecurityFacts f{};
  Sid owner{}, group{};
  if (owner_at != 0) {
    if (owner_at < kHeaderSize || !read_sid(bytes, owner_at, length, &owner)) return malformed();
    f.has_owner = true;
    f.uid = owner.count > 0 ? owner.sub[owner.count - 1] : 0;
  }
  if (group_at != 0) {
    if (group_at < kHeaderSize || !read_sid(bytes, group_at, length, &group)) return malformed();
    f.has_group = true;
    f.gid = group.count > 0 ? group.sub[group.count - 1] : 0;
  }
  if ((control & kSaclPresent) && sacl_at != 0) {
    if (!walk_acl(bytes, length, sacl_at, [](uint8_t, uint8_t, uint32_t, const Sid&) {})) {
      return malformed();
    }
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
          if (f.has_owner && s == owner) {
            who = 0;
          } else if (f.has_group && s == group) {
            who = 1;
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
  char p[MAX_PATH * 4];
  if (!win32_path(path.data(), path.size(), p, sizeof p)) return -1;
  const SECURITY_INFORMATION what =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD room = capacity > MAXDWORD ? MAXDWORD : static_cast<DWORD>(capacity);
  DWORD needed = 0;
  if (out == nullptr) room = 0;
  if (!GetFileSecurityA(p, what, out, room, &needed)) {
    DWORD code = GetLastError();
    if (code == ERROR_INSUFFICIENT_BUFFER) return fail_errno(ERANGE, code);
    return fail_win32(code);
  }
  DWORD length = GetSecurityDescriptorLength(out);
  if (length > room) return fail_errno(ERANGE, ERROR_INSUFFICIENT_BUFFER);
  return static_cast<long>(length);
}

int plat_set_file_security(std::string_view path, const uint8_t* descriptor, size_t length) {
  PlatSecurityFacts facts;
  if (plat_security_descriptor_parse(descriptor, length, &facts) != 0) return -1;
  char p[MAX_PATH * 4];
  if (!win32_path(path.data(), path.size(), p, sizeof p)) return -1;
  if (GetFileAttributesA(p) == INVALID_FILE_ATTRIBUTES) return fail_win32();
  if (is_reparse_point(p)) return fail_errno(ELOOP, ERROR_CANT_RESOLVE_FILENAME);
  SECURITY_INFORMATION what = 0;
  if (facts.has_owner) what |= OWNER_SECURITY_INFORMATION;
  if (facts.has_group) what |= GROUP_SECURITY_INFORMATION;
  if (facts.has_mode) what |= DACL_SECURITY_INFORMATION;
  if (what == 0) return 0;
  // The system reads the descriptor through its own offsets, all checked above.
  if (!SetFileSecurityA(p, what, const_cast<uint8_t*>(descriptor))) return fail_win32();
  return 0;
}
