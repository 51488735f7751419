// The frame reader: an announced length and CRC, then bytes to decrypt and parse, under
// both the AES and the null cipher.
#include <cstdint>
#include <cstring>
#include <memory>

#include "protocol/ckfs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const uint8_t key[32] = {7};
  if (size < CKFS_FRAME_HEADER_SIZE + 1) return 0;
  int kind = (data[0] & 1) ? 3 : 1;
  const uint8_t* head = data + 1;
  const uint8_t* body = head + CKFS_FRAME_HEADER_SIZE;
  size_t body_size = size - 1 - CKFS_FRAME_HEADER_SIZE;
  int e = ckfs_frame_length(head);
  if (e > CKFS_FRAME_BUFFER || static_cast<size_t>(e) > body_size) return 0;
  ckfs_cipher* cipher = ckfs_cipher_new(kind, key);
  memcpy(ckfs_cipher_frame(cipher), body, static_cast<size_t>(e));
  int plain = ckfs_frame_decrypt(cipher, e, ckfs_frame_crc(head));
  static auto packet = std::make_unique<ckfs_packet>();
  if (plain >= 0) (void)ckfs_packet_parse(ckfs_cipher_frame(cipher), plain, packet.get());
  // The parser also sees raw bytes directly, whatever the CRC.
  (void)ckfs_packet_parse(body, static_cast<int>(body_size > 70000 ? 70000 : body_size),
                          packet.get());
  ckfs_cipher_free(cipher);
  return 0;
}
