// Cipher contexts, RSA public keys, the random generator and initMT, over libcrypto.
// Cipher and random failures show only as fewer bytes written; RSA failures answer -1.
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "bridge/bridge.h"
#include "bridge/locks.h"
#include "com_varno_Native.h"
#include "platform/env.h"

namespace {

constexpr int kCipherAes256Cbc = 3;

constexpr char kTextKeyIvNull[] = "key/iv cannot be null";
constexpr char kTextInOutNull[] = "in/out cannot be null";
constexpr char kTextPathNull[] = "path is null";
constexpr char kFileNotFoundException[] = "java/io/FileNotFoundException";
constexpr char kTextNoKeyFile[] = "public key path does not exist";
constexpr char kIOException[] = "java/io/IOException";
constexpr char kTextBadKeyFile[] = "error reading public key file";

struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};

// Bytes an update or final may write beyond its input: one block for a block cipher,
// nothing for the pass-through.
int spare_room(const EVP_CIPHER_CTX* ctx) {
  const int block = EVP_CIPHER_CTX_get_block_size(ctx);
  return block > 1 ? block : 0;
}

// The first PEM block named "PUBLIC KEY" (a SubjectPublicKeyInfo) that holds an RSA key.
// OpenSSL 3's generic PEM reader would also take other names and key types; the client's
// key files are this one form. Encrypted blocks are never decrypted, so nothing prompts.
EVP_PKEY* read_rsa_public_key(FILE* file) {
  for (;;) {
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* data = nullptr;
    long length = 0;
    if (PEM_read(file, &name, &header, &data, &length) != 1) return nullptr;
    const bool wanted = strcmp(name, PEM_STRING_PUBLIC) == 0;
    EVP_PKEY* key = nullptr;
    if (wanted) {
      const unsigned char* p = data;
      key = d2i_PUBKEY(nullptr, &p, length);
    }
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(data);
    if (!wanted) continue;
    if (key != nullptr && !EVP_PKEY_is_a(key, "RSA")) {
      EVP_PKEY_free(key);
      key = nullptr;
    }
    return key;
  }
}

}  // namespace

extern "C" JNIEXPORT jlong JNICALL Java_com_varno_Native_CIPHERcreate(JNIEnv*, jclass) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();  // opaque in OpenSSL 3: allocated by it
  if (ctx == nullptr) {
    // Exhaustion ends the process, as the utility allocator does.
    fputs("virtual memory exhausted\n", stderr);
    fflush(stderr);
    exit(1);
  }
  return handle_from_pointer(ctx);
}

extern "C" JNIEXPORT void JNICALL Java_com_varno_Native_CIPHERinit(JNIEnv* env, jclass,
                                                                   jlong handle, jint type,
                                                                   jbyteArray key, jbyteArray iv,
                                                                   jint direction) {
  auto* ctx = handle_to_pointer<EVP_CIPHER_CTX>(handle);
  if (ctx == nullptr) return;
  const EVP_CIPHER* cipher = type == kCipherAes256Cbc ? EVP_aes_256_cbc() : EVP_enc_null();
  JniCritical key_bytes(env, key, false);
  JniCritical iv_bytes(env, iv, false);
  if (key_bytes.is_null() || iv_bytes.is_null()) {
    jni_throw(env, kNullPointerException, kTextKeyIvNull);
    return;
  }
  // OpenSSL reads a full key and IV whatever the arrays hold.
  if (key_bytes.length() < EVP_CIPHER_get_key_length(cipher) ||
      iv_bytes.length() < EVP_CIPHER_get_iv_length(cipher)) {
    jni_throw(env, kIndexOutOfBoundsException, kTextOutOfRange);
    return;
  }
  uint8_t* k = key_bytes.pin();
  uint8_t* v = iv_bytes.pin();
  if (k == nullptr || v == nullptr) return;
  (void)EVP_CipherInit_ex(ctx, cipher, nullptr, k, v, direction);
}

extern "C" JNIEXPORT jint JNICALL Java_com_varno_Native_CIPHERupdate(JNIEnv* env, jclass,
                                                                     jlong handle, jbyteArray out,
                                                                     jint out_offset, jbyteArray in,
                                                                     jint in_offset,
                                                                     jint in_length) {
  auto* ctx = handle_to_pointer<EVP_CIPHER_CTX>(handle);
  if (ctx == nullptr || EVP_CIPHER_CTX_get0_cipher(ctx) == nullptr) return 0;
  JniCritical out_bytes(env, out, true);
  JniCritical in_bytes(env, in, false);
  if (out_bytes.is_null() || in_bytes.is_null()) {
    jni_throw(env, kNullPointerException, kTextInOutNull);
    return 0;
  }
  if (!jni_range_fits(in_bytes.length(), in_offset, in_length) ||
      !jni_range_fits(out_bytes.length(), out_offset,
                      static_cast<int64_t>(in_length) + spare_room(ctx))) {
    jni_throw(env, kIndexOutOfBoundsException, kTextOutOfRange);
    return 0;
  }
  uint8_t* o = out_bytes.pin();
  uint8_t* i = in_bytes.pin();
  if (o == nullptr || i == nullptr) return 0;
  int written = 0;
  if (EVP_CipherUpdate(ctx, o + out_offset, &written, i + in_offset, in_length) != 1) {
    written = 0;
  }
  return written;
}

extern "C" JNIEXPORT jint JNICALL Java_com_varno_Native_CIPHERfinal(JNIEnv* env, jclass,
                                                                    jlong handle, jbyteArray out,
                                                                    jint out_offset) {
  auto* ctx = handle_to_pointer<EVP_CIPHER_CTX>(handle);
  if (ctx == nullptr || EVP_CIPHER_CTX_get0_cipher(ctx) == nullptr) return 0;
  JniCritical out_bytes(env, out, true);
  if (out_bytes.is_null()) {
    jni_throw(env, kNullPointerException, kTextInOutNull);
    return 0;
  }
  if (!jni_range_fits(out_bytes.length(), out_offset, spare_room(ctx))) {
    jni_throw(env, kIndexOutOfBoundsException, kTextOutOfRange);
    return 0;
  }
  uint8_t* o = out_bytes.pin();
  if (o == nullptr) return 0;
  // Wrong padding when decrypting answers 0; the context stays usable for CIPHERinit.
  int written = 0;
  if (EVP_CipherFinal_ex(ctx, o + out_offset, &written) != 1) {
    written = 0;
    ERR_clear_error();
  }
  return written;
}

extern "C" JNIEXPORT void JNICALL Java_com_varno_Native_CIPHERfree(JNIEnv*, jclass, jlong handle) {
  EVP_CIPHER_CTX_free(handle_to_pointer<EVP_CIPHER_CTX>(handle));  // cleans up, then frees
}

extern "C" JNIEXPORT jlong JNICALL Java_com_varno_Native_RSAPUBLICKEYcreate(JNIEnv* env, jclass,
                                                                            jstring pem_path) {
  JniUtf path(env, pem_path);
  if (path.is_null()) {
    jni_throw(env, kNullPointerException, kTextPathNull);
    return -1;
  }
  if (path.failed()) {
    jni_throw(env, kOutOfMemoryError, kTextMemoryExhausted);
    return -1;
  }
  FILE* file = plat_env()->open_stream(path.c_str(), "r");
  if (file == nullptr) {
    jni_throw(env, kFileNotFoundException, kTextNoKeyFile);
    return -1;
  }
  EVP_PKEY* key = read_rsa_public_key(file);
  fclose(file);
  if (key == nullptr) {
    ERR_clear_error();
    jni_throw(env, kIOException, kTextBadKeyFile);
    return -1;
  }
  return handle_from_pointer(key);
}

extern "C" JNIEXPORT jint JNICALL
Java_com_varno_Native_RSAPUBLICKEYencrypt(JNIEnv* env, jclass, jlong handle, jbyteArray out,
                                          jint out_offset, jbyteArray in, jint in_length) {
  JniCritical out_bytes(env, out, true);
  JniCritical in_bytes(env, in, false);
  if (out_bytes.is_null() || in_bytes.is_null()) {
    jni_throw(env, kNullPointerException, kTextInOutNull);
    return -1;
  }
  auto* key = handle_to_pointer<EVP_PKEY>(handle);
  if (handle == -1 || key == nullptr) return -1;
  const int modulus_size = EVP_PKEY_get_size(key);
  if (!jni_range_fits(in_bytes.length(), 0, in_length) ||
      !jni_range_fits(out_bytes.length(), out_offset, modulus_size)) {
    return -1;
  }
  // A context per call: the key itself is only read, as RSA_public_encrypt did.
  std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new(key, nullptr));
  if (ctx == nullptr || EVP_PKEY_encrypt_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) != 1) {
    ERR_clear_error();
    return -1;
  }
  uint8_t* o = out_bytes.pin();
  uint8_t* i = in_bytes.pin();
  if (o == nullptr || i == nullptr) return -1;
  size_t written = static_cast<size_t>(modulus_size);
  if (EVP_PKEY_encrypt(ctx.get(), o + out_offset, &written, i, static_cast<size_t>(in_length)) !=
      1) {
    ERR_clear_error();
    return -1;
  }
  return static_cast<jint>(written);
}

extern "C" JNIEXPORT void JNICALL Java_com_varno_Native_RSAPUBLICKEYfree(JNIEnv*, jclass,
                                                                         jlong handle) {
  // -1 is "no key"; no address a 64-bit process hands out is negative.
  if (handle < 0) return;
  EVP_PKEY_free(handle_to_pointer<EVP_PKEY>(handle));
}

extern "C" JNIEXPORT void JNICALL Java_com_varno_Native_RANDseed(JNIEnv* env, jclass,
                                                                 jbyteArray seed) {
  JniCritical seed_bytes(env, seed, false);
  uint8_t* s = seed_bytes.pin();
  if (s != nullptr) RAND_seed(s, seed_bytes.length());
}

extern "C" JNIEXPORT jbyteArray JNICALL Java_com_varno_Native_RANDget(JNIEnv* env, jclass,
                                                                      jint count) {
  if (count < 0) return nullptr;
  JniLocal<jbyteArray> result(env, env->NewByteArray(count));
  if (!result) return nullptr;
  if (count == 0) return result.release();
  bool filled = false;
  {
    JniCritical bytes(env, result.get(), true);
    uint8_t* b = bytes.pin();
    if (b == nullptr) return nullptr;
    filled = RAND_bytes(b, count) == 1;
  }
  // Zeros must never pass for random bytes: a generator that cannot deliver answers null.
  if (!filled) {
    ERR_clear_error();
    return nullptr;
  }
  return result.release();
}

extern "C" JNIEXPORT void JNICALL Java_com_varno_Native_initMT(JNIEnv* env, jclass) {
  bridge_locks_init(env);
}
