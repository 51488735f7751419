#include "platform/security.h"

#include <windows.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "platform/security_bytes.h"
#include "platform/win32/wide_path.h"
#include "platform/win32/win_error.h"

// Descriptors here are the system's own (GetFileSecurity), with whatever SIDs the file
// carries. The byte builder (platform/security_bytes.cpp) speaks the POSIX layer's account
// SIDs so that both layers produce the same bytes for the same facts; the parser accepts
// any SID.

using namespace plat_sd;

namespace {

int malformed() {
  return fail_errno(EINVAL, PLAT_ERROR_INVALID_SECURITY_DESCR);
}

// Whether the last component of `path` is a reparse point (a link or a junction).
bool is_reparse_point(const wchar_t* path) {
  DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

}  // namespace

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
  WidePath p(path);
  if (!p.ok()) return -1;
  const SECURITY_INFORMATION what =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD room = capacity > MAXDWORD ? MAXDWORD : static_cast<DWORD>(capacity);
  DWORD needed = 0;
  if (out == nullptr) room = 0;
  if (!GetFileSecurityW(p.get(), what, out, room, &needed)) {
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
  WidePath p(path);
  if (!p.ok()) return -1;
  if (GetFileAttributesW(p.get()) == INVALID_FILE_ATTRIBUTES) return fail_win32();
  if (is_reparse_point(p.get())) return fail_errno(ELOOP, ERROR_CANT_RESOLVE_FILENAME);
  SECURITY_INFORMATION what = 0;
  if (facts.has_owner) what |= OWNER_SECURITY_INFORMATION;
  if (facts.has_group) what |= GROUP_SECURITY_INFORMATION;
  if (facts.has_mode) what |= DACL_SECURITY_INFORMATION;
  if (what == 0) return 0;
  // The system reads the descriptor through its own offsets, all checked above.
  if (!SetFileSecurityW(p.get(), what, const_cast<uint8_t*>(descriptor))) return fail_win32();
  return 0;
}
