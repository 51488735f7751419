// Little-endian field coding for the index's byte formats. Fields are always encoded and
// decoded one by one, never by copying a structure, so the layout is the same on any host.
#pragma once

#include <cstdint>

namespace fci {

inline void put_u32le(uint8_t* out, uint32_t v) {
  out[0] = static_cast<uint8_t>(v);
  out[1] = static_cast<uint8_t>(v >> 8);
  out[2] = static_cast<uint8_t>(v >> 16);
  out[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t get_u32le(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
         static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

// 64-bit values are stored as their low word then their high word.
inline void put_u64le(uint8_t* out, uint64_t v) {
  put_u32le(out, static_cast<uint32_t>(v));
  put_u32le(out + 4, static_cast<uint32_t>(v >> 32));
}

inline uint64_t get_u64le(const uint8_t* in) {
  return static_cast<uint64_t>(get_u32le(in)) | static_cast<uint64_t>(get_u32le(in + 4)) << 32;
}

}  // namespace fci
