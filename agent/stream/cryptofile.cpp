#include "agent/stream/cryptofile.h"

#include <openssl/crypto.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/env.h"
#include "util/machine.h"

namespace {

// Everything that held plain text or cipher state goes; the record is left idle.
void release(CryptoFile* cf) {
  EVP_CIPHER_CTX_free(cf->cipher);  // wipes the key schedule
  cf->cipher = nullptr;
  OPENSSL_cleanse(cf->block, sizeof cf->block);
  OPENSSL_cleanse(cf->plain, sizeof cf->plain);
  OPENSSL_cleanse(cf->cipher_in, sizeof cf->cipher_in);
  cf->block_fill = 0;
  cf->plain_avail = 0;
  cf->plain_pos = 0;
  cf->eof = 1;
}

void put(CryptoFile* cf, const unsigned char* bytes, int length) {
  if (length <= 0) return;
  auto n = static_cast<size_t>(length);
  bool written = cf->env != nullptr ? plat_write_all(cf->env, cf->fd, bytes, n) == length
                                    : fwrite(bytes, 1, n, cf->file) == n;
  if (!written) cf->failed = 1;
}

void encrypt_block(CryptoFile* cf) {
  unsigned char out[CRYPTOFILE_PLAIN_SIZE];
  int produced = 0;
  if (EVP_EncryptUpdate(cf->cipher, out, &produced, cf->block, cf->block_fill) != 1)
    cf->failed = 1;
  else
    put(cf, out, produced);
  cf->block_fill = 0;
}

// Decrypts the next piece of the file into `plain`; at the end of the file, the last
// block. A step that fails ends the text where it stands and marks the record failed.
void decrypt_more(CryptoFile* cf) {
  cf->plain_pos = 0;
  cf->plain_avail = 0;
  size_t got = fread(cf->cipher_in, 1, sizeof cf->cipher_in, cf->file);
  int produced = 0;
  if (got > 0) {
    if (EVP_DecryptUpdate(cf->cipher, cf->plain, &produced, cf->cipher_in, static_cast<int>(got)) !=
        1) {
      produced = 0;
      cf->eof = 1;
      cf->failed = 1;
    }
  } else {
    cf->eof = 1;
    if (ferror(cf->file) != 0) {
      cf->failed = 1;
    } else if (EVP_DecryptFinal_ex(cf->cipher, cf->plain, &produced) != 1) {
      produced = 0;
      cf->failed = 1;
    }
  }
  cf->plain_avail = std::clamp(produced, 0, CRYPTOFILE_PLAIN_SIZE);
}

// Clears the record and starts the cipher; the caller then names where the bytes go.
int start(CryptoFile* cf, bool has_target, int encrypt, const unsigned char* key) {
  if (!cf) {
    errno = EINVAL;
    return -1;
  }
  release(cf);
  cf->file = nullptr;
  cf->env = nullptr;
  cf->fd = -1;
  cf->encrypt = 0;
  cf->failed = 0;
  cf->eof = 0;
  if (!has_target || !key) {
    errno = EINVAL;
    return -1;
  }
  cf->cipher = EVP_CIPHER_CTX_new();
  if (!cf->cipher) {
    errno = ENOMEM;
    return -1;
  }
  static const unsigned char zero_iv[16] = {};
  if (EVP_CipherInit_ex(cf->cipher, EVP_aes_256_cbc(), nullptr, key, zero_iv, encrypt ? 1 : 0) !=
      1) {
    release(cf);
    errno = EINVAL;
    return -1;
  }
  cf->encrypt = encrypt ? 1 : 0;
  return 0;
}

}  // namespace

CryptoFile::~CryptoFile() {
  release(this);
}

int cryptofile_init(CryptoFile* cf, FILE* file, int encrypt, const unsigned char* key) {
  if (start(cf, file != nullptr, encrypt, key) != 0) return -1;
  cf->file = file;
  return 0;
}

int cryptofile_init_writer(CryptoFile* cf, Env* env, int fd, const unsigned char* key) {
  if (start(cf, env != nullptr && fd >= 0, 1, key) != 0) return -1;
  cf->env = env;
  cf->fd = fd;
  return 0;
}

char* cryptofile_gets(CryptoFile* cf, char* buffer, int size) {
  if (!cf || !buffer || cf->encrypt || !cf->cipher || size < 2) return nullptr;
  int room = size - 1;
  int copied = 0;
  for (;;) {
    while (cf->plain_pos < cf->plain_avail) {
      const unsigned char* start = cf->plain + cf->plain_pos;
      int avail = cf->plain_avail - cf->plain_pos;
      const void* newline = memchr(start, '\n', static_cast<size_t>(avail));
      int line = newline ? static_cast<int>(static_cast<const unsigned char*>(newline) - start) + 1
                         : avail;
      int n = std::min(line, room);
      memcpy(buffer + copied, start, static_cast<size_t>(n));
      copied += n;
      room -= n;
      buffer[copied] = '\0';
      cf->plain_pos += n;
      if (start[n - 1] == '\n' || room == 0) return buffer;
    }
    if (cf->eof) return copied > 0 ? buffer : nullptr;
    decrypt_more(cf);
  }
}

void cryptofile_write(CryptoFile* cf, const void* data, size_t length) {
  if (!cf || !cf->encrypt || !cf->cipher || cf->failed || !data) return;
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (length > 0) {
    size_t n = std::min(length, static_cast<size_t>(CRYPTOFILE_BLOCK_SIZE - cf->block_fill));
    memcpy(cf->block + cf->block_fill, bytes, n);
    cf->block_fill += static_cast<int>(n);
    bytes += n;
    length -= n;
    if (cf->block_fill == CRYPTOFILE_BLOCK_SIZE) {
      encrypt_block(cf);
      if (cf->failed) return;
    }
  }
}

int cryptofile_finish(CryptoFile* cf) {
  if (!cf) return -1;
  if (cf->cipher && cf->encrypt && !cf->failed) {
    if (cf->block_fill > 0) encrypt_block(cf);
    unsigned char out[16];
    int produced = 0;
    if (!cf->failed) {
      if (EVP_EncryptFinal_ex(cf->cipher, out, &produced) != 1)
        cf->failed = 1;
      else
        put(cf, out, produced);
    }
    if (!cf->failed && cf->file != nullptr && fflush(cf->file) != 0) cf->failed = 1;
  }
  release(cf);
  return cf->failed ? -1 : 1;
}

namespace {

// Runs `init` with the machine's application key, which is wiped afterwards.
template <typename Init>
int with_application_key(Init init) {
  unsigned char key[32];
  if (get_application_key(key) != 0) return -1;
  int rc = init(key);
  OPENSSL_cleanse(key, sizeof key);
  return rc;
}

}  // namespace

int cryptofile_init_application(CryptoFile* cf, FILE* file, int encrypt) {
  return with_application_key(
      [&](const unsigned char* key) { return cryptofile_init(cf, file, encrypt, key); });
}

int cryptofile_init_application_writer(CryptoFile* cf, Env* env, int fd) {
  return with_application_key(
      [&](const unsigned char* key) { return cryptofile_init_writer(cf, env, fd, key); });
}
