#include "tools/kfs-devserver/conn.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "protocol/wire.h"

namespace kfsd {

using namespace kfs_wire;

EVP_PKEY* generate_key() {
  return EVP_RSA_gen(2048);
}

EVP_PKEY* load_or_create_key(const std::string& path) {
  if (FILE* f = fopen(path.c_str(), "re")) {
    EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    fclose(f);
    return key;
  }
  EVP_PKEY* key = generate_key();
  if (key == nullptr) return nullptr;
  std::string temp = path + ".tmp";
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  FILE* f = fd >= 0 ? fdopen(fd, "w") : nullptr;
  if (f == nullptr) {
    if (fd >= 0) close(fd);
    EVP_PKEY_free(key);
    return nullptr;
  }
  bool ok = PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  ok = (fflush(f) == 0) && ok && fsync(fileno(f)) == 0;
  ok = (fclose(f) == 0) && ok && rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    unlink(temp.c_str());
    EVP_PKEY_free(key);
    return nullptr;
  }
  return key;
}

std::string public_key_pem(EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  std::string text;
  if (bio != nullptr && PEM_write_bio_PUBKEY(bio, key) == 1) {
    char* p = nullptr;
    long n = BIO_get_mem_data(bio, &p);
    text.assign(p, static_cast<size_t>(n));
  }
  BIO_free(bio);
  return text;
}

Conn::Conn(int fd) : fd_(fd) {}

Conn::~Conn() {
  close_now();
  ckfs_cipher_free(cipher_);
  OPENSSL_cleanse(client_half_, sizeof client_half_);
}

void Conn::close_now() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool Conn::read_greeting() {
  uint8_t g[4];
  return ckfs_recv_all(fd_, g, 4) == 4 && g[0] == 1 && g[1] == '0' && g[2] == '2' && g[3] == 2;
}

bool Conn::send_key_text(const std::string& text) {
  if (text.size() > 0xffff) return false;
  uint8_t n[2];
  put16(n, static_cast<uint16_t>(text.size()));
  return send_raw(n, 2) && send_raw(text.data(), text.size());
}

bool Conn::read_handshake(EVP_PKEY* key, Packet* request, int* cipher_kind) {
  uint8_t sealed[CKFS_RSA_BLOCK];
  if (ckfs_recv_all(fd_, sealed, sizeof sealed) != CKFS_RSA_BLOCK) return false;
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
  uint8_t plain[CKFS_RSA_BLOCK];
  size_t n = sizeof plain;
  bool ok = ctx != nullptr && EVP_PKEY_decrypt_init(ctx) == 1 &&
            EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_OAEP_PADDING) == 1 &&
            EVP_PKEY_decrypt(ctx, plain, &n, sealed, sizeof sealed) == 1;
  EVP_PKEY_CTX_free(ctx);
  if (!ok || n != 40 || get16(plain) != 34 || plain[7] != 32) return false;
  request->type = plain[2];
  request->request_number = get16(plain + 3);
  request->status = plain[5];
  request->data.assign(plain + 6, plain + 40);
  *cipher_kind = plain[6];
  memcpy(client_half_, plain + 8, 32);
  OPENSSL_cleanse(plain, sizeof plain);
  ckfs_cipher_free(cipher_);
  cipher_ = ckfs_cipher_new(*cipher_kind, client_half_);
  return cipher_ != nullptr;
}

bool Conn::send_handshake_reply(const Packet& reply) {
  return send(reply);
}

bool Conn::rekey_with(const uint8_t server_half[32]) {
  uint8_t key[32];
  for (int i = 0; i < 32; ++i) key[i] = client_half_[i] ^ server_half[i];
  bool ok = ckfs_cipher_rekey(cipher_, key) == 0;
  OPENSSL_cleanse(key, sizeof key);
  return ok;
}

bool Conn::handshake(EVP_PKEY* key, const std::string& key_text) {
  Packet request;
  int kind = 0;
  if (!read_greeting() || !send_key_text(key_text) || !read_handshake(key, &request, &kind)) {
    return false;
  }
  if (request.type != KFS_SESSION_HANDSHAKE) return false;
  Packet reply;
  reply.type = KFS_SESSION_HANDSHAKE | KFS_RESPONSE_BIT;
  reply.data.resize(32);
  if (RAND_bytes(reply.data.data(), 32) != 1) return false;
  bool ok = send(reply) && rekey_with(reply.data.data());
  OPENSSL_cleanse(reply.data.data(), 32);
  return ok;
}

bool Conn::recv(Packet* packet) {
  if (cipher_ == nullptr) return false;
  uint8_t head[CKFS_FRAME_HEADER_SIZE];
  if (ckfs_link_recv(&link_, fd_, head, sizeof head) != static_cast<int>(sizeof head)) {
    return false;
  }
  int e = ckfs_frame_length(head);
  if (e > CKFS_FRAME_BUFFER) return false;
  uint8_t* frame = ckfs_cipher_frame(cipher_);
  if (ckfs_link_recv(&link_, fd_, frame, e) != e) return false;
  int plain = ckfs_frame_decrypt(cipher_, e, ckfs_frame_crc(head));
  if (plain < 0) return false;
  uint16_t n = get16(frame);
  if (n > plain - CKFS_HEADER_SIZE) return false;
  packet->type = frame[2];
  packet->request_number = get16(frame + 3);
  packet->status = frame[5];
  packet->data.assign(frame + CKFS_HEADER_SIZE, frame + CKFS_HEADER_SIZE + n);
  return true;
}

bool Conn::wait_readable(int ms) {
  if (ckfs_link_has_received(&link_)) return true;
  pollfd p{fd_, POLLIN, 0};
  return poll(&p, 1, ms) != 0;
}

bool Conn::send(const Packet& packet, bool corrupt_crc) {
  if (cipher_ == nullptr || packet.data.size() > static_cast<size_t>(CKFS_DATA_MAX)) {
    return false;
  }
  uint8_t header[CKFS_HEADER_SIZE];
  put16(header, static_cast<uint16_t>(packet.data.size()));
  header[2] = packet.type;
  put16(header + 3, packet.request_number);
  header[5] = packet.status;
  // Encoded into a separate buffer: the cipher's own frame buffer may hold a request.
  std::vector<uint8_t> frame(CKFS_FRAME_BUFFER);
  int total = ckfs_frame_encode(cipher_, header, packet.data.data(),
                                static_cast<int>(packet.data.size()), frame.data());
  if (total < 0) return false;
  if (corrupt_crc) frame[5] ^= 0x5a;
  return send_raw(frame.data(), static_cast<size_t>(total));
}

bool Conn::send_raw(const void* bytes, size_t length) {
  return ckfs_send_all(fd_, bytes, static_cast<int>(length)) == static_cast<int>(length);
}

}  // namespace kfsd
