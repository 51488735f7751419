// File security as NT self-relative security descriptors. Here a descriptor is made from
// a file's owner, group and permission bits: owner SID S-1-22-1-uid, group SID
// S-1-22-2-gid, and a DACL of allow ACEs for the owner, the group and Everyone (S-1-1-0)
// whose rights follow the rwx bits. The bytes are real descriptors, so Windows tools can
// read them. Descriptors that come from outside are parsed with every length checked
// against the bytes actually given; anything malformed is refused. Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Access rights of the ACEs: what each permission bit grants.
enum : uint32_t {
  PLAT_FILE_READ_DATA = 0x0001,
  PLAT_FILE_WRITE_DATA = 0x0002,
  PLAT_FILE_EXECUTE = 0x0020,
  PLAT_FILE_GENERIC_READ = 0x00120089,
  PLAT_FILE_GENERIC_WRITE = 0x00120116,
  PLAT_FILE_GENERIC_EXECUTE = 0x001200A0,
};

// Windows error for a descriptor that does not parse (ERROR_INVALID_SECURITY_DESCR).
constexpr uint32_t PLAT_ERROR_INVALID_SECURITY_DESCR = 1338;
// ERROR_INSUFFICIENT_BUFFER: the descriptor does not fit the caller's room.
constexpr uint32_t PLAT_ERROR_INSUFFICIENT_BUFFER = 122;

// What a descriptor says in POSIX terms. A part that is absent leaves the file's own.
struct PlatSecurityFacts {
  bool has_owner;
  uint32_t uid;
  bool has_group;
  uint32_t gid;
  bool has_mode;
  uint32_t mode;  // rwx bits for owner, group, others (0777 at most)
};

// Builds the descriptor for (uid, gid, mode) into `out`. Answers its length; when that is
// more than `capacity` nothing is written.
[[nodiscard]] size_t plat_security_descriptor_build(uint32_t uid, uint32_t gid, uint32_t mode,
                                                    uint8_t* out, size_t capacity);

// Parses `length` bytes as a self-relative descriptor. 0, or -1 with EINVAL (last error
// INVALID_SECURITY_DESCR) for anything malformed, truncated, or naming an owner or group
// that has no POSIX account form.
[[nodiscard]] int plat_security_descriptor_parse(const uint8_t* bytes, size_t length,
                                                 PlatSecurityFacts* facts);

// The descriptor of the file a path names (owner, group and DACL). Answers its length, or
// -1 on failure; a descriptor longer than `capacity` is a failure with errno ERANGE (last
// error INSUFFICIENT_BUFFER), and nothing is written.
[[nodiscard]] long plat_get_file_security(std::string_view path, uint8_t* out, size_t capacity);

// Applies a descriptor's owner, group and permission bits to a file (chown, chmod). The
// path's last component is not followed when it is a symbolic link: that is refused with
// ELOOP. 0, or -1 with errno.
[[nodiscard]] int plat_set_file_security(std::string_view path, const uint8_t* descriptor,
                                         size_t length);
