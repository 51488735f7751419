#include "util/fsa.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/security.h"
#include "util/error.h"
#include "util/memory.h"
#include "util/system.h"

namespace {

void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// errno from the platform's last error; the native errno stays when the error table has
// no entry for it.
void set_errno_from_system() {
  map_system_error();
}

}  // namespace

FsaRecord* get_fsa(Env* env, const char* path) {
  if (path == nullptr || path[0] == '\0') {
    errno = EINVAL;
    return nullptr;
  }
  auto* record = static_cast<FsaRecord*>(util_alloc_zero(sizeof(FsaRecord)));
  long n = env->file_security(path, record->descriptor, sizeof(record->descriptor));
  if (n < 0) {
    set_errno_from_system();
    int saved = errno;
    free(record);
    errno = saved;
    return nullptr;
  }
  record->kind = FSA_DESCRIPTOR;
  record->value = static_cast<uint32_t>(n);
  return record;
}

long fsa_serialized_size(const FsaRecord* record) {
  if (record == nullptr) return -1;
  if (os_platform() == 1) return static_cast<long>(FSA_HEADER_SIZE);
  // A record claiming more than its room is sized by its room, never beyond it.
  size_t n = record->value <= FSA_DESCRIPTOR_ROOM ? record->value : FSA_DESCRIPTOR_ROOM;
  return static_cast<long>(FSA_HEADER_SIZE + n);
}

int fsa_serialize(const FsaRecord* record, void* output) {
  if (record == nullptr || output == nullptr) {
    errno = EINVAL;
    return -1;
  }
  auto* out = static_cast<uint8_t*>(output);
  out[0] = static_cast<uint8_t>(record->kind);
  if (os_platform() == 1) {
    put32(out + 1, record->value);
    return 0;
  }
  uint32_t n = record->value <= FSA_DESCRIPTOR_ROOM ? record->value
                                                    : static_cast<uint32_t>(FSA_DESCRIPTOR_ROOM);
  put32(out + 1, n);
  memcpy(out + FSA_HEADER_SIZE, record->descriptor, n);
  return 0;
}

int fsa_deserialize(const void* bytes, size_t length, FsaRecord* record) {
  if (bytes == nullptr || record == nullptr || length < FSA_HEADER_SIZE) {
    errno = EINVAL;
    return -1;
  }
  const auto* in = static_cast<const uint8_t*>(bytes);
  uint32_t kind = in[0];
  uint32_t value = get32(in + 1);
  bool nt = os_platform() != 1;
  if (nt && kind == FSA_DESCRIPTOR) {
    if (value > FSA_DESCRIPTOR_ROOM || value > length - FSA_HEADER_SIZE) {
      errno = EINVAL;
      return -1;
    }
    PlatSecurityFacts facts;
    if (plat_security_descriptor_parse(in + FSA_HEADER_SIZE, value, &facts) != 0) {
      errno = EINVAL;
      return -1;
    }
    record->kind = kind;
    record->value = value;
    memcpy(record->descriptor, in + FSA_HEADER_SIZE, value);
    return 0;
  }
  if (!nt && kind == FSA_ATTRIBUTES) {
    record->kind = kind;
    record->value = value;
  }
  return 0;
}

int set_fsa(Env* env, const char* path, const FsaRecord* record) {
  if (path == nullptr || path[0] == '\0' || record == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (record->kind != FSA_DESCRIPTOR || record->value > FSA_DESCRIPTOR_ROOM) {
    errno = EINVAL;
    return -1;
  }
  if (env->set_file_security(path, record->descriptor, record->value) != 0) {
    set_errno_from_system();
    return -1;
  }
  return 0;
}
