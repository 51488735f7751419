// The encrypted text file: line reading and block-buffered writing of a text stored as one
// AES-256-CBC ciphertext (PKCS padding, zero IV, no header) under a 32-byte key. Schedule
// files and the mail queue use it; their plain text is their own business. Byte format:
// FORMAT.md.
//
// Ownership: the caller opens and closes the FILE (binary mode) or the Env descriptor and
// must keep it open until cryptofile_finish. The record owns its cipher context; its destructor
// releases it when cryptofile_finish was never called. A record works in one direction, once.
//
// The reader treats the file as outside input: overlong lines come back in pieces, NUL
// bytes are copied like any other byte, and a damaged or truncated file (or a wrong key)
// ends the text early. cryptofile_finish then answers -1: a file cut at a block boundary
// still yields plausible lines, so the content alone cannot tell.
//
// Thread safety: a record belongs to one thread.
#pragma once

#include <openssl/evp.h>
#include <cstddef>
#include <cstdio>

class Env;

// Plain text handled per cipher update: 63 AES blocks, so one update's output fits in
// CRYPTOFILE_PLAIN_SIZE.
constexpr int CRYPTOFILE_BLOCK_SIZE = 1008;
constexpr int CRYPTOFILE_PLAIN_SIZE = CRYPTOFILE_BLOCK_SIZE + 16;
constexpr int CRYPTOFILE_KEY_SIZE = 32;

struct CryptoFile {
  FILE* file = nullptr;  // not owned
  Env* env = nullptr;    // a writer over a descriptor instead of a FILE
  int fd = -1;           // not owned
  EVP_CIPHER_CTX* cipher = nullptr;
  int encrypt = 0;  // non-zero: writer
  int failed = 0;   // a cipher step, a read or a write failed
  // Writer: plain text waiting for a full block.
  unsigned char block[CRYPTOFILE_BLOCK_SIZE];
  int block_fill = 0;
  // Reader: ciphertext read, plain text decrypted from it, and how far it has been handed out.
  unsigned char cipher_in[CRYPTOFILE_BLOCK_SIZE];
  unsigned char plain[CRYPTOFILE_PLAIN_SIZE];
  int plain_avail = 0;
  int plain_pos = 0;
  int eof = 0;

  CryptoFile() = default;
  CryptoFile(const CryptoFile&) = delete;
  CryptoFile& operator=(const CryptoFile&) = delete;
  ~CryptoFile();
};

// Clears the record and sets it up on `file`: encrypting (writer) when `encrypt` is
// non-zero, else decrypting (reader), under `key` (32 bytes, the application key; the
// record keeps no copy of it). Answers 0, or -1 with errno when file or key is null or the
// cipher cannot start (callers then report "Unable to initialize crypto on file;
// aborting.\n" or their own text).
[[nodiscard]] int cryptofile_init(CryptoFile* cf, FILE* file, int encrypt,
                                  const unsigned char* key);

// cryptofile_init under the installation's application key (etc/varno.ak), as schedules
// and mail queues are kept. -1 also when the key cannot be had.
[[nodiscard]] int cryptofile_init_application(CryptoFile* cf, FILE* file, int encrypt);

// A writer over the Env descriptor `fd` (not owned), for files whose writes a test must be
// able to fail. Answers as cryptofile_init.
[[nodiscard]] int cryptofile_init_writer(CryptoFile* cf, Env* env, int fd,
                                         const unsigned char* key);
// cryptofile_init_writer under the application key.
[[nodiscard]] int cryptofile_init_application_writer(CryptoFile* cf, Env* env, int fd);

// Reads one line like fgets: plain text up to and including the next "\n", at most size - 1
// bytes, NUL-terminated; a longer line comes back in pieces, a last line without "\n"
// without one. Answers `buffer`, or null for a writer, for size below 2, and at the end of
// the text when nothing was copied.
char* cryptofile_gets(CryptoFile* cf, char* buffer, int size);

// Appends plain text (writer only; a reader ignores it). A failure to write is kept and
// reported by cryptofile_finish.
void cryptofile_write(CryptoFile* cf, const void* data, size_t length);

// Writer: encrypts and writes what is buffered and the final padded block, then flushes
// the FILE (it stays open; a descriptor is written unbuffered). Both modes: releases the cipher
// context and wipes the plain text buffers. Answers 1, or -1 when a writer's cipher step or write
// failed (the file is then incomplete), or when a reader met a damaged end: the final
// decryption step failed (cut short, changed, or another key) or the file could not be read.
// A whole file written by a writer always ends well. A second call answers as the first and
// does nothing more.
[[nodiscard]] int cryptofile_finish(CryptoFile* cf);
