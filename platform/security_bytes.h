// The bytes of an NT self-relative security descriptor, shared by the POSIX and Win32
// layers: field helpers, SIDs, the ACL walk. Only platform/*/security.cpp include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "platform/security.h"

namespace plat_sd {

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

inline void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t get32(const uint8_t* p) {
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

inline size_t sid_size(int count) {
  return 8 + 4 * static_cast<size_t>(count);
}

inline size_t put_sid(uint8_t* p, uint64_t authority, std::initializer_list<uint32_t> subs) {
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
inline bool read_sid(const uint8_t* bytes, size_t at, size_t end, Sid* sid) {
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

inline uint32_t rights_of(uint32_t bits) {  // bits: 4 = r, 2 = w, 1 = x
  uint32_t mask = 0;
  if (bits & 4) mask |= PLAT_FILE_GENERIC_READ;
  if (bits & 2) mask |= PLAT_FILE_GENERIC_WRITE;
  if (bits & 1) mask |= PLAT_FILE_GENERIC_EXECUTE;
  return mask;
}

inline uint32_t bits_of(uint32_t mask) {
  uint32_t bits = 0;
  if (mask & (PLAT_FILE_READ_DATA | kGenericRead | kGenericAll)) bits |= 4;
  if (mask & (PLAT_FILE_WRITE_DATA | kGenericWrite | kGenericAll)) bits |= 2;
  if (mask & (PLAT_FILE_EXECUTE | kGenericExecute | kGenericAll)) bits |= 1;
  return bits;
}

// Checks an ACL's frame: [at, at + AclSize) inside the bytes, every ACE inside the ACL.
// Calls `ace(type, flags, mask, sid)` for each allow/deny ACE. False when malformed.
template <typename AceFn>
inline bool walk_acl(const uint8_t* bytes, size_t length, size_t at, AceFn ace) {
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

}  // namespace plat_sd
