// Plain copies of a user's stored files: each block is AES-256-CBC under the account key
// with a zero IV and PKCS padding around one complete zlib stream of the block's bytes.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <cstdio>

#include "tools/kfs-devserver/server.h"
#include "tools/kfs-devserver/store.h"

namespace kfsd {

namespace {

bool decode_hex_key(const std::string& text, uint8_t key[32]) {
  if (text.size() != 64) return false;
  for (size_t i = 0; i < 32; ++i) {
    int v = 0;
    for (int k = 0; k < 2; ++k) {
      char c = text[2 * i + k];
      int d = (c >= '0' && c <= '9')   ? c - '0'
              : (c >= 'a' && c <= 'f') ? c - 'a' + 10
              : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                       : -1;
      if (d < 0) return false;
      v = v * 16 + d;
    }
    key[i] = static_cast<uint8_t>(v);
  }
  return true;
}

bool decrypt(const uint8_t key[32], const std::vector<uint8_t>& in, std::vector<uint8_t>* out) {
  uint8_t iv[16] = {};
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  out->resize(in.size() + 16);
  int n = 0, m = 0;
  bool ok = ctx != nullptr && EVP_DecryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key, iv) == 1 &&
            EVP_DecryptUpdate(ctx, out->data(), &n, in.data(), static_cast<int>(in.size())) == 1 &&
            EVP_DecryptFinal_ex(ctx, out->data() + n, &m) == 1;
  EVP_CIPHER_CTX_free(ctx);
  out->resize(ok ? static_cast<size_t>(n + m) : 0);
  return ok;
}

// One complete zlib stream, nothing after it.
bool inflate_all(const std::vector<uint8_t>& in, std::vector<uint8_t>* out) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  uint8_t chunk[65536];
  int rc;
  do {
    z.next_out = chunk;
    z.avail_out = sizeof chunk;
    rc = inflate(&z, Z_NO_FLUSH);
    if (rc != Z_OK && rc != Z_STREAM_END) break;
    out->insert(out->end(), chunk, chunk + (sizeof chunk - z.avail_out));
  } while (rc != Z_STREAM_END);
  bool ok = rc == Z_STREAM_END && z.avail_in == 0;
  inflateEnd(&z);
  return ok;
}

// The plain bytes of one stored file: every block decrypted, inflated and checked against
// its MD5, and the total against the recorded size.
bool file_content(const Store& store, uint32_t user, const uint8_t key[32], const FileMeta& meta,
                  std::vector<uint8_t>* content) {
  for (const Block& block : meta.blocks) {
    std::vector<uint8_t> payload;
    std::vector<uint8_t> plain;
    std::vector<uint8_t> data;
    if (!(store.read_payload(user, block, &payload) && decrypt(key, payload, &plain) &&
          inflate_all(plain, &data)))
      return false;
    if (block.md5 != "-") {
      uint8_t digest[16];
      unsigned int n = 0;
      EVP_Digest(data.data(), data.size(), digest, &n, EVP_md5(), nullptr);
      if (hex(digest, 16) != block.md5) return false;
    }
    content->insert(content->end(), data.begin(), data.end());
  }
  return content->size() == meta.size;
}

}  // namespace

int restore(const std::string& store_dir, uint32_t user, const std::string& account_key_hex,
            const std::string& to) {
  uint8_t key[32];
  if (!decode_hex_key(account_key_hex, key)) {
    fprintf(stderr, "kfs-devserver: the account key must be 64 hexadecimal digits\n");
    return 2;
  }
  Store store(store_dir);
  int failures = 0;
  int restored = 0;
  int entries = 0;
  std::error_code ec;
  bool walked = store.open_existing() && store.walk(user, [&](const StoredEntry& e) {
    ++entries;
    // Names were checked when they were stored; checked again, as they make local paths.
    std::string normal;
    if (!Store::resolve(e.path, &normal) || normal != e.path) {
      fprintf(stderr, "kfs-devserver: skipping the stored name %s\n", e.path.c_str());
      ++failures;
      return true;
    }
    const fs::path target = fs::path(to) / e.path;
    if (e.kind == KIND_FOLDER) {
      fs::create_directories(target, ec);
      return true;
    }
    FileMeta meta;
    std::vector<uint8_t> content;
    bool ok = store.lookup(user, e.path, &meta) == KIND_FILE && meta.exists &&
              file_content(store, user, key, meta, &content);
    if (!ok || !write_atomic(target, content.data(), content.size(), false)) {
      fprintf(stderr, "kfs-devserver: cannot restore %s\n", e.path.c_str());
      ++failures;
      return true;
    }
    fs::last_write_time(
        target,
        fs::file_time_type::clock::from_sys(std::chrono::system_clock::from_time_t(meta.mtime)),
        ec);
    ++restored;
    return true;
  });
  OPENSSL_cleanse(key, sizeof key);
  if (!walked) {
    fprintf(stderr, "kfs-devserver: cannot read the store %s\n", store_dir.c_str());
    return 1;
  }
  if (entries == 0) {
    fprintf(stderr, "kfs-devserver: no files stored for user %u\n", user);
    return 1;
  }
  printf("restored %d file(s), %d failure(s)\n", restored, failures);
  return failures == 0 ? 0 : 1;
}

}  // namespace kfsd
