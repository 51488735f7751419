// Big-endian field writers and a bounds-checked reader for KFS packet data. Header-only,
// stateless apart from the reader's position; shared by the client and kfs-devserver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kfs_wire {

inline void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
inline void put64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
}
inline uint16_t get16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t get32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline uint64_t get64(const uint8_t* p) {
  return (uint64_t{get32(p)} << 32) | get32(p + 4);
}

// Appends fields to a fixed buffer; once a field does not fit, `ok` stays false and
// nothing more is written.
class Writer {
 public:
  Writer(uint8_t* buffer, size_t capacity) : buf_(buffer), cap_(capacity) {}
  bool room(size_t n) {
    if (!ok_ || cap_ - pos_ < n) ok_ = false;
    return ok_;
  }
  void u8(uint8_t v) {
    if (room(1)) buf_[pos_++] = v;
  }
  void u16(uint16_t v) {
    if (room(2)) put16(buf_ + pos_, v), pos_ += 2;
  }
  void u32(uint32_t v) {
    if (room(4)) put32(buf_ + pos_, v), pos_ += 4;
  }
  void u64(uint64_t v) {
    if (room(8)) put64(buf_ + pos_, v), pos_ += 8;
  }
  void bytes(const void* p, size_t n) {
    if (n != 0 && room(n)) memcpy(buf_ + pos_, p, n), pos_ += n;
  }
  bool ok() const { return ok_; }
  size_t size() const { return pos_; }

 private:
  uint8_t* buf_;
  size_t cap_;
  size_t pos_ = 0;
  bool ok_ = true;
};

// Reads fields from received bytes; a read past the end leaves `ok` false and yields 0.
class Reader {
 public:
  Reader(const uint8_t* data, size_t length) : p_(data), n_(length) {}
  bool take(size_t k) {
    if (!ok_ || n_ - pos_ < k) ok_ = false;
    return ok_;
  }
  uint8_t u8() { return take(1) ? p_[pos_++] : 0; }
  uint16_t u16() {
    if (!take(2)) return 0;
    pos_ += 2;
    return get16(p_ + pos_ - 2);
  }
  uint32_t u32() {
    if (!take(4)) return 0;
    pos_ += 4;
    return get32(p_ + pos_ - 4);
  }
  uint64_t u64() {
    if (!take(8)) return 0;
    pos_ += 8;
    return get64(p_ + pos_ - 8);
  }
  // Points at the next n bytes and skips them; null when they are not all there.
  const uint8_t* bytes(size_t n) {
    if (!take(n)) return nullptr;
    pos_ += n;
    return p_ + pos_ - n;
  }
  // A u8-length text copied into `out` (capacity bytes, NUL-terminated), truncated.
  void text8(char* out, size_t capacity) {
    size_t n = u8();
    const uint8_t* s = bytes(n);
    if (capacity == 0) return;
    size_t keep = (s == nullptr) ? 0 : (n < capacity - 1 ? n : capacity - 1);
    if (keep != 0) memcpy(out, s, keep);
    out[keep] = '\0';
  }
  bool ok() const { return ok_; }
  size_t left() const { return ok_ ? n_ - pos_ : 0; }
  size_t position() const { return pos_; }

 private:
  const uint8_t* p_;
  size_t n_;
  size_t pos_ = 0;
  bool ok_ = true;
};

}  // namespace kfs_wire
