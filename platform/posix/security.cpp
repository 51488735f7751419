#include "platform/security.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/path.h"
#include "platform/posix/native_error.h"
#include "platform/security_bytes.h"

using namespace plat_sd;

namespace {

bool is_unix_sid(const Sid& sid, uint32_t kind, uint32_t* id) {
  if (sid.authority != kAuthorityUnixAccount || sid.count != 2 || sid.sub[0] != kind) return false;
  *id = sid.sub[1];
  return true;
}

int malformed() {
  return fail_with(EINVAL, PLAT_ERROR_INVALID_SECURITY_DESCR);
}

}  // namespace

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
