// Pieces of the client shared between its own source files (not for other modules).
#pragma once

#include <openssl/evp.h>

#include "protocol/ckfs.h"

struct ckfs_cipher {
  uint8_t frame[CKFS_FRAME_BUFFER];
  const EVP_CIPHER* cipher;
  uint8_t key[32];
  uint8_t iv[16];
  EVP_CIPHER_CTX* decrypt;
  EVP_CIPHER_CTX* encrypt;
};

void ckfs_packet_header(const ckfs_packet& packet, uint8_t header[CKFS_HEADER_SIZE]);
// Whether the server's next bytes begin within the session's reply time-out (or were read
// ahead already).
bool ckfs_reply_begins(ckfs_session* session);
