// Server side of one KFS connection: the key exchange and framed packets, plus the
// server's RSA key. Used by kfs-devserver and by the tests' scripted peers. One Conn
// belongs to one thread.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/ckfs.h"

namespace kfsd {

struct Packet {
  uint8_t type = 0;
  uint16_t request_number = 0;
  uint8_t status = 0;
  std::vector<uint8_t> data;
};

// Loads the private key from `path`, or generates a 2048-bit key and stores it there
// (owner-only, written through a temporary file and renamed). Null on failure.
EVP_PKEY* load_or_create_key(const std::string& path);
EVP_PKEY* generate_key();
// "-----BEGIN PUBLIC KEY-----" text of the key's public half.
std::string public_key_pem(EVP_PKEY* key);

class Conn {
 public:
  explicit Conn(int fd);
  ~Conn();
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;

  int fd() const { return fd_; }
  // Reads the 4-byte greeting; false when it is missing or wrong.
  bool read_greeting();
  // Sends a 16-bit length and the key text as given (tests send odd sizes).
  bool send_key_text(const std::string& text);
  // Reads the 256-byte sealed handshake request and sets up the cipher with the client's
  // key. Fills the decoded request (type, request number, cipher kind).
  bool read_handshake(EVP_PKEY* key, Packet* request, int* cipher_kind);
  // Replies with `server_half` (normally 32 random bytes) and switches to the agreed key.
  bool send_handshake_reply(const Packet& reply);
  bool rekey_with(const uint8_t server_half[32]);
  // The whole standard exchange.
  bool handshake(EVP_PKEY* key, const std::string& key_text);

  // Reads one framed packet; false on end of stream, a broken frame or a CRC mismatch.
  bool recv(Packet* packet);
  // Whether bytes arrive (or wait, read ahead) within `ms` milliseconds.
  bool wait_readable(int ms);
  // Sends one framed packet; `corrupt_crc` flips the checksum.
  bool send(const Packet& packet, bool corrupt_crc = false);
  bool send_raw(const void* bytes, size_t length);
  void close_now();

  const uint8_t* client_half() const { return client_half_; }

 private:
  int fd_;
  ckfs_cipher* cipher_ = nullptr;
  ckfs_link link_;
  uint8_t client_half_[32] = {};
};

}  // namespace kfsd
