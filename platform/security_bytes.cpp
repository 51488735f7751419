// The descriptor builder: the same bytes for the same facts on both systems.
#include <cstring>

#include "platform/security.h"
#include "platform/security_bytes.h"

using namespace plat_sd;

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
