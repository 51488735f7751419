#include "agent/stream/stream.h"

#include <libdeflate.h>
#include <openssl/evp.h>
#include <zlib.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <openssl/crypto.h>

#include "util/memory.h"

// Out of memory ends the process like every other allocation of the agent.
void* Stream::operator new(size_t size) {
  return util_alloc(size);
}
void Stream::operator delete(void* memory) {
  free(memory);
}

int stream_fill(BufferedStream* s) {
  if (s->buffer_fill >= s->buffer_capacity || s->inner_ended) return 0;
  if (!s->inner) return STREAM_ERROR;
  int n = s->inner->read(s->buffer + s->buffer_fill, s->buffer_capacity - s->buffer_fill);
  if (n == STREAM_ERROR || n == STREAM_FATAL) return n;
  if (n == 0) return s->buffer_fill > 0 ? 0 : STREAM_ERROR;
  if (n == STREAM_END) {
    s->inner_ended = 1;
    return 0;
  }
  // A count beyond the room asked for would be a broken inner stage; never trust it.
  if (n > 0) s->buffer_fill += std::min(n, s->buffer_capacity - s->buffer_fill);
  return 0;
}

void stream_consume(BufferedStream* s, int n) {
  if (n <= 0) return;
  if (n >= s->buffer_fill) {
    s->buffer_fill = 0;
    return;
  }
  memmove(s->buffer, s->buffer + n, static_cast<size_t>(s->buffer_fill - n));
  s->buffer_fill -= n;
}

namespace {

// The descriptor is the inner; `inner_ended` is the stage's own end flag.
struct FileReadStream final : Stream {
  Env* env = nullptr;
  int fd = -1;
  int inner_ended = 0;
  int32_t allowed = 0;  // bytes still allowed
  uint64_t* counter = nullptr;
  int seek_failed = 0;
  int destroyed = 0;
  // Positioned reads at `position` leave the descriptor's own position alone, so that
  // several threads can read one descriptor; -1 reads at the descriptor's position.
  int64_t position = -1;

  int read(void* buffer, int length) override {
    if (destroyed || seek_failed) return STREAM_ERROR;
    if (inner_ended) return STREAM_END;
    if (length <= 0) return 0;  // no room is not the end of the file
    int want = std::min(length, allowed);
    ssize_t got = 0;
    if (want > 0 && position >= 0) {
      got = env->read_at(fd, buffer, static_cast<size_t>(want), static_cast<uint64_t>(position));
      if (got > 0) position += got;
    } else if (want > 0) {
      got = env->read(fd, buffer, static_cast<size_t>(want));
    }
    if (got < 0) return STREAM_ERROR;
    allowed -= static_cast<int32_t>(got);
    if (counter) *counter += static_cast<uint64_t>(got);
    if (got == 0) {
      inner_ended = 1;
      return STREAM_END;
    }
    return static_cast<int>(got);
  }

  void destroy() override { destroyed = 1; }
};

// `inner_ended` is the digest-finished flag.
struct ChecksumStream final : Stream {
  StreamPtr inner;
  int inner_ended = 0;
  EVP_MD_CTX* state = nullptr;
  unsigned char* digest = nullptr;

  ~ChecksumStream() override { destroy(); }

  int read(void* buffer, int length) override {
    if (inner_ended) return STREAM_END;
    if (!inner || !state) return STREAM_ERROR;
    int n = inner->read(buffer, length);
    if (digest == nullptr) {  // restarted without a digest to write: bytes pass through
      inner_ended = n == STREAM_END;
      return n;
    }
    if (n == STREAM_END) {
      unsigned char md[EVP_MAX_MD_SIZE];
      unsigned int md_length = 0;
      if (EVP_DigestFinal_ex(state, md, &md_length) != 1 || md_length != STREAM_DIGEST_SIZE)
        return STREAM_ERROR;
      memcpy(digest, md, STREAM_DIGEST_SIZE);
      inner_ended = 1;
      return STREAM_END;
    }
    if (n > 0 && EVP_DigestUpdate(state, buffer, static_cast<size_t>(n)) != 1) return STREAM_ERROR;
    return n;
  }

  void destroy() override {
    inner.reset();
    EVP_MD_CTX_free(state);
    state = nullptr;
  }

  // Null `out`: no MD5 is wanted of the next block, and none is computed.
  bool restart(unsigned char* out) {
    digest = out;
    inner_ended = 0;
    return state != nullptr &&
           (out == nullptr || EVP_DigestInit_ex(state, EVP_md5(), nullptr) == 1);
  }
};

// Collects the block first. One of more than DEFLATE_SMALL_MAX and at most
// DEFLATE_WHOLE_MAX bytes is compressed whole by libdeflate and handed out from `packed`; any other
// goes to zlib's deflate at level 9, the collected bytes first, then the rest as it streams through
// the stage's buffer.
struct CompressionStream final : BufferedStream {
  z_stream state{};
  int deflating = 0;
  libdeflate_compressor* whole = nullptr;
  unsigned char* collected = nullptr;  // DEFLATE_WHOLE_MAX + 1 bytes
  int collected_fill = 0;
  int collected_at = 0;  // collected bytes already given to zlib
  int collecting = 1;
  unsigned char* packed = nullptr;  // libdeflate's zlib stream of the block
  size_t packed_capacity = 0;
  size_t packed_fill = 0;
  size_t packed_at = 0;
  int packing = 0;

  ~CompressionStream() override { destroy(); }

  int read(void* buffer, int length) override {
    if (finished) return STREAM_END;
    if (!deflating || !whole) return STREAM_ERROR;
    if (length <= 0) return 0;
    if (collecting) {
      int r = collect();
      if (r != 0) return r;
    }
    auto* out = static_cast<unsigned char*>(buffer);
    if (packing) {
      size_t n = std::min(static_cast<size_t>(length), packed_fill - packed_at);
      memcpy(out, packed + packed_at, n);
      packed_at += n;
      finished = packed_at == packed_fill;
      return static_cast<int>(n);
    }
    return stream(out, length);
  }

  // Pulls the inner up to one byte past DEFLATE_WHOLE_MAX, then compresses a block that
  // ended within the bounds whole.
  int collect() {
    while (collected_fill <= DEFLATE_WHOLE_MAX) {
      const int room = DEFLATE_WHOLE_MAX + 1 - collected_fill;
      int n = inner->read(collected + collected_fill, room);
      if (n == STREAM_END) {
        inner_ended = 1;
        break;
      }
      if (n == STREAM_ERROR || n == STREAM_FATAL) return n;
      if (n <= 0) return STREAM_ERROR;  // a stalled inner must not make the stage spin
      collected_fill += std::min(n, room);
    }
    collecting = 0;
    if (inner_ended && collected_fill > DEFLATE_SMALL_MAX) {
      packed_fill = libdeflate_zlib_compress(whole, collected, static_cast<size_t>(collected_fill),
                                             packed, packed_capacity);
      if (packed_fill == 0) return STREAM_ERROR;
      packed_at = 0;
      packing = 1;
    }
    return 0;
  }

  int stream(unsigned char* out, int length) {
    int total = 0;
    while (length > 0) {
      const bool from_collected = collected_at < collected_fill;
      if (from_collected) {
        state.next_in = collected + collected_at;
        state.avail_in = static_cast<uInt>(collected_fill - collected_at);
      } else {
        int r = stream_fill(this);
        if (r != 0) return r;
        state.next_in = this->buffer;
        state.avail_in = static_cast<uInt>(buffer_fill);
      }
      const int offered = static_cast<int>(state.avail_in);
      state.next_out = out;
      state.avail_out = static_cast<uInt>(length);
      int z = deflate(&state, inner_ended ? Z_FINISH : Z_NO_FLUSH);
      const int taken = offered - static_cast<int>(state.avail_in);
      if (from_collected) {
        collected_at += taken;
      } else {
        stream_consume(this, taken);
      }
      int produced = length - static_cast<int>(state.avail_out);
      total += produced;
      out += produced;
      length -= produced;
      if (z == Z_STREAM_END) {
        finished = 1;
        return total;
      }
      if (z == Z_BUF_ERROR || z == Z_STREAM_ERROR) return STREAM_ERROR;
    }
    return total;
  }

  void destroy() override {
    inner.reset();
    if (deflating) deflateEnd(&state);
    deflating = 0;
    libdeflate_free_compressor(whole);
    whole = nullptr;
    free(collected);
    collected = nullptr;
    free(packed);
    packed = nullptr;
  }

  // deflateReset keeps the window and tables that deflateInit allocated; the buffers and
  // the compressor stay as they are.
  bool restart() {
    inner_ended = 0;
    finished = 0;
    buffer_fill = 0;
    collecting = 1;
    collected_fill = 0;
    collected_at = 0;
    packing = 0;
    packed_fill = 0;
    packed_at = 0;
    return deflating && whole && deflateReset(&state) == Z_OK;
  }
};

struct EncryptionStream final : BufferedStream {
  EVP_CIPHER_CTX* state = nullptr;

  ~EncryptionStream() override { destroy(); }

  int read(void* buffer, int length) override {
    if (finished) return STREAM_END;
    if (!state) return STREAM_ERROR;
    const int room_needed = EVP_CIPHER_CTX_get_block_size(state);  // B
    auto* out = static_cast<unsigned char*>(buffer);
    int total = 0;
    while (length > 0) {
      int r = stream_fill(this);
      if (r != 0) return r;
      if (buffer_fill > 0) {
        // An update may emit up to B - 1 bytes more than it takes.
        int n = std::min(buffer_fill, length - (room_needed - 1));
        if (n <= 0) return total;
        int produced = 0;
        if (EVP_EncryptUpdate(state, out, &produced, this->buffer, n) != 1) return STREAM_ERROR;
        stream_consume(this, n);
        out += produced;
        length -= produced;
        total += produced;
      } else if (inner_ended) {
        if (length < room_needed) return total;  // the caller must come back with room
        int produced = 0;
        if (EVP_EncryptFinal_ex(state, out, &produced) != 1) return STREAM_ERROR;
        finished = 1;
        return total + produced;
      }
    }
    return total;
  }

  void destroy() override {
    inner.reset();
    EVP_CIPHER_CTX_free(state);
    state = nullptr;
  }

  // The same cipher and key with the zero IV again: a fresh CBC message.
  bool restart(const unsigned char* key) {
    static const unsigned char zero_iv[16] = {};
    inner_ended = 0;
    finished = 0;
    buffer_fill = 0;
    return state != nullptr && EVP_EncryptInit_ex(state, nullptr, nullptr, key, zero_iv) == 1;
  }
};

}  // namespace

StreamPtr file_read_stream_new(int fd, int64_t offset, int limit, uint64_t* counter, Env* env) {
  auto* s = new FileReadStream;
  s->env = env;
  s->fd = fd;
  s->allowed = std::max(limit, 0);
  s->counter = counter;
  // Reading from the wrong place would send wrong data as if it were the block.
  s->seek_failed = env->seek(fd, offset) != 0;
  return StreamPtr(s);
}

StreamPtr checksum_stream_new(StreamPtr&& inner, unsigned char* digest) {
  if (!inner || !digest) return nullptr;
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  if (!md) return nullptr;
  if (EVP_DigestInit_ex(md, EVP_md5(), nullptr) != 1) {
    EVP_MD_CTX_free(md);
    return nullptr;
  }
  auto* s = new ChecksumStream;
  s->state = md;
  s->digest = digest;
  s->inner = std::move(inner);
  return StreamPtr(s);
}

StreamPtr compression_stream_new(StreamPtr&& inner) {
  if (!inner) return nullptr;
  std::unique_ptr<CompressionStream> s(new CompressionStream);
  if (deflateInit(&s->state, Z_BEST_COMPRESSION) != Z_OK) return nullptr;
  s->deflating = 1;
  s->whole = libdeflate_alloc_compressor(DEFLATE_WHOLE_LEVEL);
  if (!s->whole) return nullptr;
  s->packed_capacity = libdeflate_zlib_compress_bound(s->whole, DEFLATE_WHOLE_MAX);
  s->collected = static_cast<unsigned char*>(malloc(DEFLATE_WHOLE_MAX + 1));
  s->packed = static_cast<unsigned char*>(malloc(s->packed_capacity));
  if (!s->collected || !s->packed) return nullptr;
  s->inner = std::move(inner);
  return StreamPtr(s.release());
}

StreamPtr encryption_stream_new(StreamPtr&& inner, const unsigned char* key) {
  if (!inner || !key) return nullptr;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (!ctx) return nullptr;
  static const unsigned char zero_iv[16] = {};
  if (EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key, zero_iv) != 1) {
    EVP_CIPHER_CTX_free(ctx);
    return nullptr;
  }
  auto* s = new EncryptionStream;
  s->state = ctx;
  s->inner = std::move(inner);
  return StreamPtr(s);
}

struct BlockChain::Stages {
  FileReadStream* file = nullptr;
  ChecksumStream* checksum = nullptr;
  CompressionStream* compression = nullptr;
  EncryptionStream* encryption = nullptr;
  StreamPtr outer;  // owns the four
  unsigned char key[STREAM_KEY_SIZE];
  unsigned char first_digest[STREAM_DIGEST_SIZE];  // until the first restart names one
};

BlockChain::BlockChain() : stages_(new Stages) {}

BlockChain::~BlockChain() {
  OPENSSL_cleanse(stages_->key, sizeof stages_->key);
}

std::unique_ptr<BlockChain> BlockChain::create(const unsigned char* key, StreamStage* failed) {
  auto fail = [failed](StreamStage stage) {
    if (failed != nullptr) *failed = stage;
    return nullptr;
  };
  if (key == nullptr) return fail(StreamStage::kEncryption);
  std::unique_ptr<BlockChain> chain(new BlockChain);
  Stages& s = *chain->stages_;
  memcpy(s.key, key, sizeof s.key);
  auto* file = new FileReadStream;
  StreamPtr inner(file);
  file->env = plat_env();
  unsigned char* digest = s.first_digest;
  StreamPtr checked = checksum_stream_new(std::move(inner), digest);
  if (!checked) return fail(StreamStage::kFileRead);
  auto* checksum = static_cast<ChecksumStream*>(checked.get());
  StreamPtr compressed = compression_stream_new(std::move(checked));
  if (!compressed) return fail(StreamStage::kCompression);
  auto* compression = static_cast<CompressionStream*>(compressed.get());
  StreamPtr encrypted = encryption_stream_new(std::move(compressed), s.key);
  if (!encrypted) return fail(StreamStage::kEncryption);
  s.file = file;
  s.checksum = checksum;
  s.compression = compression;
  s.encryption = static_cast<EncryptionStream*>(encrypted.get());
  s.outer = std::move(encrypted);
  return chain;
}

bool BlockChain::restart(Env* env, int fd, int64_t offset, int limit, uint64_t* counter,
                         unsigned char* digest) {
  Stages& s = *stages_;
  FileReadStream* f = s.file;
  f->env = env;
  f->fd = fd;
  f->inner_ended = 0;
  f->allowed = std::max(limit, 0);
  f->counter = counter;
  f->seek_failed = offset < 0;
  f->position = std::max<int64_t>(offset, 0);
  return s.checksum->restart(digest) && s.compression->restart() && s.encryption->restart(s.key);
}

int BlockChain::read(void* buffer, int length) {
  return stages_->outer->read(buffer, length);
}
