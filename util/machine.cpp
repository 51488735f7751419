#include "util/machine.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "platform/env.h"
#include "platform/machine.h"
#include "util/fdio.h"
#include "util/fs.h"
#include "util/list.h"
#include "util/system.h"

namespace {

constexpr const char* kKeyFile = "etc/varno.ak";

// Where the eight 4-byte pieces of the key lie in the key file, in key order. Fixed for
// ever: another table reads another key from the same file.
constexpr long kKeyPieceOffsets[8] = {1873, 402, 3591, 4092, 77, 2950, 1214, 3327};

// The process-wide key cache.
std::mutex g_key_mutex;
bool g_key_loaded = false;
uint8_t g_key[APPLICATION_KEY_SIZE];

// Copies text into a zeroed field, keeping the field's last byte for the terminator.
void copy_field(MachineInfo* info, size_t offset, size_t room, const char* text) {
  memcpy(info->bytes + offset, text, strnlen(text, room - 1));
}

bool ascii_equal_nocase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    int x = (*a >= 'A' && *a <= 'Z') ? *a + 32 : *a;
    int y = (*b >= 'A' && *b <= 'Z') ? *b + 32 : *b;
    if (x != y) return false;
    if (x == 0) return true;
  }
}

// Reads exactly `length` bytes at `offset`; false on a short read or failure.
bool read_piece(Env* env, int fd, long offset, uint8_t* out, size_t length) {
  if (env->seek(fd, offset) != 0) return false;
  size_t done = 0;
  while (done < length) {
    ssize_t n = env->read(fd, out + done, length - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int gather_machine_info(MachineInfo* info) {
  memset(info->bytes, 0, sizeof(info->bytes));

  uint32_t memory = plat_total_physical_memory();
  for (int i = 0; i < 4; ++i)
    info->bytes[MACHINE_INFO_MEMORY + i] = static_cast<uint8_t>(memory >> (8 * i));

  uint8_t address[8];
  int address_length = plat_first_adapter_address(address, sizeof(address));
  if (address_length > 0) {
    char text[40] = {};
    size_t at = 0;
    for (int i = 0; i < address_length; ++i) {
      at += static_cast<size_t>(
          snprintf(text + at, sizeof(text) - at, i == 0 ? "%02x" : "-%02x", address[i]));
    }
    copy_field(info, MACHINE_INFO_ADAPTER, 40, text);
  }

  if (const char* cpu = getenv("PROCESSOR_IDENTIFIER"))
    copy_field(info, MACHINE_INFO_PROCESSOR, 4096, cpu);

  if (List* volumes = get_volumes()) {
    for (int i = 0, n = list_count(volumes); i < n; ++i) {
      const auto* v = reinterpret_cast<const VolumeRecord*>(list_item(volumes, i));
      if (ascii_equal_nocase(v->root, system_drive_root())) {
        copy_field(info, MACHINE_INFO_VOLUME, 40, v->serial);
        break;
      }
    }
    list_free(volumes);
  }

  std::string profile = plat_hardware_profile_guid();
  copy_field(info, MACHINE_INFO_HW_PROFILE, 40, profile.c_str());

  char product[40];
  if (plat_product_id(product, sizeof(product)) < 0) return -1;
  copy_field(info, MACHINE_INFO_PRODUCT_ID, 40, product);
  return 0;
}

int get_machine_token(uint8_t* token) {
  auto info = std::make_unique<MachineInfo>();
  (void)gather_machine_info(info.get());
  unsigned int length = 0;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx == nullptr || EVP_DigestInit_ex(ctx, EVP_sha1(), nullptr) != 1 ||
      EVP_DigestUpdate(ctx, info->bytes, sizeof(info->bytes)) != 1 ||
      EVP_DigestFinal_ex(ctx, token, &length) != 1) {
    // Without a digest context there is still the one-shot function.
    SHA1(info->bytes, sizeof(info->bytes), token);
  }
  EVP_MD_CTX_free(ctx);
  return 0;
}

int create_application_key_file() {
  uint8_t bytes[APPLICATION_KEY_FILE_SIZE];
  (void)RAND_bytes(bytes, sizeof(bytes));
  // Readable by the owner only: the key protects the schedules and the account keys in
  // them, so no other local account may read it. The file appears complete or not at
  // all, so a process racing to create it never reads half a key.
  int r = plat_env()->publish_new_file(kKeyFile, 0600, bytes, sizeof(bytes));
  OPENSSL_cleanse(bytes, sizeof(bytes));
  return r == 0 ? 0 : -1;
}

int get_application_key(uint8_t* key) {
  if (key == nullptr) {
    errno = EINVAL;
    return -1;
  }
  std::lock_guard<std::mutex> lock(g_key_mutex);
  if (g_key_loaded) {
    memcpy(key, g_key, sizeof(g_key));
    return 0;
  }
  PlatFileStatus status{};
  Env* env = plat_env();
  if (env->file_status(kKeyFile, &status) != 0) {
    if (errno != ENOENT) return -1;
    // Losing a race to create it is fine: the winner's file is complete once it exists.
    if (create_application_key_file() != 0 && errno != EEXIST) return -1;
  }
  EnvFile fd(env, env->open_read(kKeyFile));
  if (!fd.valid()) return -1;
  uint8_t loaded[APPLICATION_KEY_SIZE];
  bool ok = true;
  for (size_t i = 0; i < 8 && ok; ++i)
    ok = read_piece(env, fd.get(), kKeyPieceOffsets[i], loaded + 4 * i, 4);
  fd.reset();
  if (!ok) {
    OPENSSL_cleanse(loaded, sizeof(loaded));
    if (errno == 0) errno = EIO;
    return -1;
  }
  memcpy(g_key, loaded, sizeof(g_key));
  OPENSSL_cleanse(loaded, sizeof(loaded));
  g_key_loaded = true;
  memcpy(key, g_key, sizeof(g_key));
  return 0;
}
