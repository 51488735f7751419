// Helpers shared by the transfer chain and encrypted text file tests: deterministic data,
// hex, and the outside tools (openssl, Python's zlib, md5sum) used as format checks.
#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "tests/support/test_support.h"

namespace stream_test {

// Key bytes 00 01 02 ... 1f.
inline const unsigned char* test_key() {
  static unsigned char key[32];
  for (int i = 0; i < 32; i++) key[i] = static_cast<unsigned char>(i);
  return key;
}

inline std::string hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

inline std::string unhex(const std::string& text) {
  std::string out;
  for (size_t i = 0; i + 1 < text.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
  return out;
}

// NIST SP 800-38A F.2.5 (CBC-AES256.Encrypt). Our IV is zero, so the first plain block is
// xor-ed with the published IV; the published ciphertext is then the first 64 bytes out,
// and a fifth block holds the padding.
struct AesCbcVector {
  std::string key;
  std::string plain;
  std::string cipher_hex;
};
inline AesCbcVector sp800_38a_cbc_aes256() {
  AesCbcVector v;
  std::string iv = unhex("000102030405060708090a0b0c0d0e0f");
  v.plain = unhex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  for (int i = 0; i < 16; i++) v.plain[i] = static_cast<char>(v.plain[i] ^ iv[i]);
  v.key = unhex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
  v.cipher_hex =
      "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
      "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b";
  return v;
}

inline std::string key_hex(const unsigned char* key) {
  return hex(std::string(reinterpret_cast<const char*>(key), 32));
}

// Text-like lines and random bytes in turns, the same for a given seed and size.
inline std::string mixed_corpus(size_t size, uint32_t seed) {
  static const char* words[] = {"backup", "schedule", "server", "block",  "the",  "of",
                                "file",   "varno",    "agent",  "report", "C:\\", "data",
                                "index",  "stream",   "key",    "=",      "0x1f", "and"};
  std::mt19937 rng(seed);
  std::string out;
  out.reserve(size);
  while (out.size() < size) {
    if (rng() % 3 != 0) {
      for (int i = 0; i < 400 && out.size() < size; i++) {
        out += words[rng() % (sizeof words / sizeof words[0])];
        out.push_back(rng() % 9 == 0 ? '\n' : ' ');
      }
    } else {
      for (int i = 0; i < 3000 && out.size() < size; i++) out.push_back(static_cast<char>(rng()));
    }
  }
  out.resize(size);
  return out;
}

// `openssl enc -d` of `in` into `out` with the key and a zero IV; the tool's exit status.
inline int openssl_decrypt(const std::string& in, const std::string& out,
                           const unsigned char* key) {
  return testing_support::run_command("openssl enc -d -aes-256-cbc -K " + key_hex(key) +
                                      " -iv 00000000000000000000000000000000 -in '" + in +
                                      "' -out '" + out + "' 2>/dev/null");
}

inline int openssl_encrypt(const std::string& in, const std::string& out,
                           const unsigned char* key) {
  return testing_support::run_command("openssl enc -e -aes-256-cbc -K " + key_hex(key) +
                                      " -iv 00000000000000000000000000000000 -in '" + in +
                                      "' -out '" + out + "' 2>/dev/null");
}

// Python's zlib inflates `in` into `out`; fails unless `in` is exactly one complete zlib
// stream with nothing after it.
inline int python_inflate(const std::string& in, const std::string& out) {
  return testing_support::run_command(
      "python3 -c \"import sys, zlib\n"
      "d = zlib.decompressobj()\n"
      "o = d.decompress(open(sys.argv[1], 'rb').read())\n"
      "sys.exit(3) if not d.eof or d.unused_data else open(sys.argv[2], 'wb').write(o)\" '" +
      in + "' '" + out + "'");
}

// md5sum's hex digest of a file.
inline std::string md5sum(const std::string& path, const std::string& scratch) {
  testing_support::run_command("md5sum < '" + path + "' | cut -c1-32 > '" + scratch + "'");
  std::string text = testing_support::read_file(scratch);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace stream_test
