// The transfer chain: a pull chain of stages that turns one block of a local file into the
// bytes sent to the server. From the inside out: file read, optional MD5 checksum, deflate
// compression, AES-256-CBC encryption. The consumer pulls from the outermost stage and each
// stage pulls from the one inside it. Byte format: FORMAT.md.
//
// Ownership: every stage except the file read stage owns its inner stage; destroying the
// outermost stage releases the whole chain. The file read stage never owns its descriptor.
// All memory (stage records, buffers, compressor and cipher state) is taken at
// construction: nothing is allocated while a chain streams.
//
// Thread safety: a chain belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/env.h"

// Results of Stream::read besides a byte count (> 0) or 0 ("nothing this time").
constexpr int STREAM_END = -1;    // end of stream; every later call answers it again
constexpr int STREAM_ERROR = -2;  // read, compression or cipher failure
constexpr int STREAM_FATAL = -3;  // abort the whole backup; no stage here makes it, every
                                  // stage passes it through unchanged

// Buffer of each buffering stage (compression, encryption).
constexpr int STREAM_BUFFER_SIZE = 8192;
// Blocks the compression stage compresses whole with libdeflate (more than
// DEFLATE_SMALL_MAX bytes, at most DEFLATE_WHOLE_MAX), and at which level: up to 4 KiB zlib
// 9 packs real files tighter, and above the bound zlib streams in fixed memory.
constexpr int DEFLATE_SMALL_MAX = 4096;
constexpr int DEFLATE_WHOLE_MAX = 1 << 20;
constexpr int DEFLATE_WHOLE_LEVEL = 9;
// Bytes of the MD5 written by the checksum stage, and of the encryption key.
constexpr int STREAM_DIGEST_SIZE = 16;
constexpr int STREAM_KEY_SIZE = 32;

// One stage. Records come from the shared allocator (out of memory ends the process), so
// they are made only by the constructors below or by test stages deriving from this.
class Stream {
 public:
  Stream() = default;
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  // Runs destroy() when the stage still holds anything.
  virtual ~Stream() = default;

  // Places at most `length` bytes into `buffer`. Answers the count, 0, or one of the
  // STREAM_ codes. A length of 0 or less never ends a stream: it answers 0 (STREAM_END
  // once the stage has ended).
  [[nodiscard]] virtual int read(void* buffer, int length) = 0;

  // Releases the stage's own resources and, except for the file read stage, the inner
  // chain; the record itself stays for its owner to free. Later calls do nothing, and a
  // read after it answers STREAM_ERROR.
  virtual void destroy() = 0;

  static void* operator new(size_t size);
  static void operator delete(void* memory);
};

using StreamPtr = std::unique_ptr<Stream>;

// A stage that keeps a fixed buffer of what it pulled from its inner stage.
struct BufferedStream : Stream {
  StreamPtr inner;      // owned
  int inner_ended = 0;  // the inner stage answered STREAM_END
  int finished = 0;     // this stage's output is complete
  int buffer_capacity = STREAM_BUFFER_SIZE;
  int buffer_fill = 0;
  unsigned char buffer[STREAM_BUFFER_SIZE];
};

// Tops the buffer up from the inner stage. Answers 0, or the inner's STREAM_ERROR or
// STREAM_FATAL unchanged, or STREAM_ERROR when a not-ended inner gave nothing while the
// buffer is empty (so no stage spins on a stalled inner).
[[nodiscard]] int stream_fill(BufferedStream* stream);

// Drops the first n buffered bytes.
void stream_consume(BufferedStream* stream, int n);

// Reads from `fd` starting `offset` bytes from the start, at most `limit` bytes in all,
// through `env`, and adds every byte read to *counter when counter is not null. The
// descriptor stays the caller's and must outlive the stage. A descriptor that cannot be
// positioned makes every read answer STREAM_ERROR.
StreamPtr file_read_stream_new(int fd, int64_t offset, int limit, uint64_t* counter,
                               Env* env = plat_env());

// The constructors below take the inner stage only when they succeed: on null, `inner` is
// left with the caller, who releases what it has built.

// Passes the inner's bytes through unchanged and writes their MD5 to `digest` (16 bytes,
// caller's) when the inner reports STREAM_END; never earlier, never twice. Null when
// inner or digest is null.
StreamPtr checksum_stream_new(StreamPtr&& inner, unsigned char* digest);

// A zlib stream (deflate, window of 32 KiB, zlib header and Adler-32 trailer) of the whole
// inner output, never larger than zlib's deflate at level 9 makes it (by measurement: make
// bench prints both). The stage collects the block: one of more than DEFLATE_SMALL_MAX
// and at most DEFLATE_WHOLE_MAX bytes is compressed in one call by libdeflate at
// DEFLATE_WHOLE_LEVEL; a smaller one (where libdeflate packs worse) and a larger one go through
// zlib's deflate at level 9 as they stream. Memory, all taken here: DEFLATE_WHOLE_MAX + 1 bytes
// collected, libdeflate's bound of the packed block (DEFLATE_WHOLE_MAX + 5 KiB), libdeflate's
// level-9 compressor (650 KiB), zlib's level-9 state (270 KiB) and the stage buffer: about 3 MiB.
// Null when inner is null or a compressor or buffer cannot be had.
StreamPtr compression_stream_new(StreamPtr&& inner);

// AES-256-CBC with PKCS padding under the 32-byte `key` and a zero IV. The consumer's
// buffer must offer at least 16 bytes for the stage to finish; with less it answers 0.
// Null when inner or key is null or the cipher cannot start.
StreamPtr encryption_stream_new(StreamPtr&& inner, const unsigned char* key);

// A stage that could not be set up (the checksum stage counts as the file read stage).
enum class StreamStage : uint8_t { kNone, kFileRead, kCompression, kEncryption };

// The four stages made once and restarted for every block, so that one thread keeps one
// deflate state, one cipher context and one MD5 context for all the blocks it encodes
// instead of allocating them per block. Its output is byte for byte that of the chain the
// constructors above build (with the checksum stage). The file is read with positioned
// reads, so threads may share a descriptor. Belongs to one thread at a time.
class BlockChain {
 public:
  // Null when deflate or the cipher cannot start; *failed (when given) then names the
  // stage. The key is copied (and wiped at the end).
  static std::unique_ptr<BlockChain> create(const unsigned char* key,
                                            StreamStage* failed = nullptr);
  ~BlockChain();
  BlockChain(const BlockChain&) = delete;
  BlockChain& operator=(const BlockChain&) = delete;

  // Points the chain at `limit` bytes at `offset` of `fd`; the MD5 of what it reads goes
  // to `digest` (16 bytes, or null for none) at the end of the block. A negative offset
  // makes every read answer STREAM_ERROR. False when a stage cannot restart: the chain is
  // then unusable.
  [[nodiscard]] bool restart(Env* env, int fd, int64_t offset, int limit, uint64_t* counter,
                             unsigned char* digest);
  // As Stream::read of the outermost stage.
  [[nodiscard]] int read(void* buffer, int length);

 private:
  BlockChain();
  struct Stages;
  std::unique_ptr<Stages> stages_;
};
