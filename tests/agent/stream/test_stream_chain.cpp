#include <gtest/gtest.h>

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>
#include <zlib.h>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "agent/stream/stream.h"
#include "platform/env.h"
#include "tests/support/stream_test_util.h"
#include "tests/support/test_support.h"

using namespace stream_test;
using testing_support::read_file;
using testing_support::ScopedCwd;
using testing_support::TempDir;
using testing_support::write_file;

namespace {

using Slicer = std::function<int()>;

Slicer whole() {
  return [] { return 65466; };
}
Slicer bytewise() {
  return [] { return 1; };
}
Slicer random_slices(uint32_t seed, int largest) {
  auto rng = std::make_shared<std::mt19937>(seed);
  return [rng, largest] { return 1 + static_cast<int>((*rng)() % static_cast<uint32_t>(largest)); };
}

// Innermost test stage: serves `data` in slices, then STREAM_END.
struct MemoryStream final : Stream {
  std::string data;
  size_t pos = 0;
  Slicer slice;
  int read(void* buffer, int length) override {
    if (length <= 0) return 0;
    if (pos == data.size()) return STREAM_END;
    size_t n =
        std::min({static_cast<size_t>(length), static_cast<size_t>(slice()), data.size() - pos});
    memcpy(buffer, data.data() + pos, n);
    pos += n;
    return static_cast<int>(n);
  }
  void destroy() override {}
};

StreamPtr memory_stream(const std::string& data, Slicer slice) {
  auto* s = new MemoryStream;
  s->data = data;
  s->slice = std::move(slice);
  return StreamPtr(s);
}

// Test stage answering a fixed script of results (a positive one with that many 'x'
// bytes), then STREAM_END; counts its calls.
struct ScriptStream final : Stream {
  std::vector<int> script;
  size_t next = 0;
  int calls = 0;
  int* destroyed = nullptr;
  int read(void* buffer, int length) override {
    calls++;
    if (next == script.size()) return STREAM_END;
    int r = script[next++];
    if (r > 0) {
      r = std::min(r, length);
      memset(buffer, 'x', static_cast<size_t>(r));
    }
    return r;
  }
  void destroy() override {
    if (destroyed) (*destroyed)++;
  }
  ~ScriptStream() override { destroy(); }
};

StreamPtr script_stream(std::vector<int> script, int* destroyed = nullptr) {
  auto* s = new ScriptStream;
  s->script = std::move(script);
  s->destroyed = destroyed;
  return StreamPtr(s);
}

struct Pulled {
  std::string bytes;
  int last = 0;  // the negative result that ended the pull
};

// Pulls until a negative result, with room chosen by `room`, and checks that no call
// writes beyond the room it was given or claims more than it.
Pulled pull(Stream* s, Slicer room) {
  Pulled p;
  constexpr unsigned char kGuard = 0xA5;
  std::vector<unsigned char> buffer;
  for (long calls = 0; calls < 20000000; calls++) {
    int length = room();
    buffer.assign(static_cast<size_t>(length) + 64, kGuard);
    int r = s->read(buffer.data(), length);
    for (size_t i = static_cast<size_t>(length); i < buffer.size(); i++) {
      if (buffer[i] != kGuard) {
        ADD_FAILURE() << "wrote past the room of " << length << " bytes";
        p.last = 1;
        return p;
      }
    }
    if (r < 0) {
      p.last = r;
      return p;
    }
    EXPECT_LE(r, length);
    p.bytes.append(reinterpret_cast<const char*>(buffer.data()), static_cast<size_t>(r));
  }
  ADD_FAILURE() << "the stream never ended";
  return p;
}

// checksum (when digest given) + compression + encryption over `inner`.
StreamPtr wrap(StreamPtr inner, unsigned char* digest) {
  if (digest) {
    StreamPtr c = checksum_stream_new(std::move(inner), digest);
    EXPECT_TRUE(c);
    inner = std::move(c);
  }
  StreamPtr z = compression_stream_new(std::move(inner));
  EXPECT_TRUE(z);
  StreamPtr e = encryption_stream_new(std::move(z), test_key());
  EXPECT_TRUE(e);
  return e;
}

class ChainTest : public ::testing::Test {
 protected:
  void SetUp() override { cwd_ = std::make_unique<ScopedCwd>(dir_.path()); }

  // The whole chain over a real file block, pulled 65466 bytes at a time.
  Pulled file_chain(const std::string& contents, int64_t offset, int limit, unsigned char* digest,
                    uint64_t* counter = nullptr) {
    write_file(dir_.file("source.bin"), contents);
    int fd = plat_env()->open_read("source.bin");
    EXPECT_GE(fd, 0);
    StreamPtr chain = wrap(file_read_stream_new(fd, offset, limit, counter), digest);
    Pulled p = pull(chain.get(), whole());
    chain.reset();
    plat_env()->close_file(fd);
    return p;
  }

  // Decrypts with openssl and inflates with Python; the plain block, or "<failed>".
  std::string outside_plain(const std::string& chain_output) {
    write_file(dir_.file("out.bin"), chain_output);
    if (openssl_decrypt(dir_.file("out.bin"), dir_.file("dec.bin"), test_key()) != 0)
      return "<openssl failed>";
    if (python_inflate(dir_.file("dec.bin"), dir_.file("inf.bin")) != 0) return "<zlib failed>";
    return read_file(dir_.file("inf.bin"));
  }

  TempDir dir_;
  std::unique_ptr<ScopedCwd> cwd_;
};

// --- outside checks --------------------------------------------------------------------

TEST_F(ChainTest, OutputDecryptsWithOpensslAndInflatesWithPythonAndDigestIsMd5sum) {
  std::string file = mixed_corpus(400000, 7);
  const int64_t offset = 70001;
  const int limit = 200000;
  unsigned char digest[16];
  memset(digest, 0, sizeof digest);
  uint64_t counter = 5;
  Pulled p = file_chain(file, offset, limit, digest, &counter);
  ASSERT_EQ(p.last, STREAM_END);
  EXPECT_EQ(p.bytes.size() % 16, 0u);
  std::string block = file.substr(offset, limit);
  EXPECT_TRUE(outside_plain(p.bytes) == block);
  EXPECT_EQ(counter, 5u + limit);
  write_file(dir_.file("block.bin"), block);
  EXPECT_EQ(hex(std::string(reinterpret_cast<char*>(digest), 16)),
            md5sum(dir_.file("block.bin"), dir_.file("md5.txt")));
}

TEST_F(ChainTest, LastBlockStopsAtTheEndOfTheFile) {
  std::string file = mixed_corpus(10000, 3);
  unsigned char digest[16];
  uint64_t counter = 0;
  Pulled p = file_chain(file, 9000, 65536, digest, &counter);
  ASSERT_EQ(p.last, STREAM_END);
  EXPECT_TRUE(outside_plain(p.bytes) == file.substr(9000));
  EXPECT_EQ(counter, 1000u);
}

TEST_F(ChainTest, EmptyBlockIsOneEmptyZlibStreamInOneAesBlockWithMd5OfNothing) {
  for (auto [offset, limit] : {std::pair<int64_t, int>{0, 0}, {5, 100}, {50, 10}}) {
    unsigned char digest[16];
    memset(digest, 0xEE, sizeof digest);
    Pulled p = file_chain("12345", offset, limit, digest);
    ASSERT_EQ(p.last, STREAM_END);
    ASSERT_EQ(p.bytes.size(), 16u) << offset;
    EXPECT_EQ(outside_plain(p.bytes), "");
    write_file(dir_.file("dec.bin"), "");
    EXPECT_EQ(hex(std::string(reinterpret_cast<char*>(digest), 16)),
              "d41d8cd98f00b204e9800998ecf8427e");
  }
  // The deflate-9 empty stream: header 78 da, an empty final block, Adler-32 of nothing.
  StreamPtr z = compression_stream_new(memory_stream("", whole()));
  EXPECT_EQ(hex(pull(z.get(), whole()).bytes), "78da030000000001");
}

// --- block sizes and real files --------------------------------------------------------

unsigned char* bytes_of(std::string& s) {
  return reinterpret_cast<unsigned char*>(s.data());
}

// Chain output decrypted by OpenSSL in this process (the zlib stream), or "<...>".
std::string decrypt_in_process(std::string sealed) {
  static const unsigned char zero_iv[16] = {};
  std::string stream(sealed.size() + 16, '\0');
  int a = 0;
  int b = 0;
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  bool ok = EVP_DecryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, test_key(), zero_iv) == 1 &&
            EVP_DecryptUpdate(ctx, bytes_of(stream), &a, bytes_of(sealed),
                              static_cast<int>(sealed.size())) == 1 &&
            EVP_DecryptFinal_ex(ctx, bytes_of(stream) + a, &b) == 1;
  EVP_CIPHER_CTX_free(ctx);
  if (!ok) return "<cipher failed>";
  stream.resize(static_cast<size_t>(a + b));
  return stream;
}

// Stock zlib's inflate (15-bit window: a header asking for more is refused) of exactly
// one zlib stream; the plain bytes or "<inflate failed>".
std::string inflate_in_process(std::string stream) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return "<inflate failed>";
  z.next_in = bytes_of(stream);
  z.avail_in = static_cast<uInt>(stream.size());
  std::string plain;
  std::vector<unsigned char> piece(65536);
  int r = Z_OK;
  while (r == Z_OK) {
    z.next_out = piece.data();
    z.avail_out = static_cast<uInt>(piece.size());
    r = inflate(&z, Z_NO_FLUSH);
    plain.append(reinterpret_cast<char*>(piece.data()), piece.size() - z.avail_out);
  }
  const bool whole = r == Z_STREAM_END && z.avail_in == 0;
  inflateEnd(&z);
  return whole ? plain : "<inflate failed>";
}

std::string zlib9(std::string block) {
  uLongf n = compressBound(static_cast<uLong>(block.size()));
  std::string out(n, '\0');
  if (compress2(bytes_of(out), &n, bytes_of(block), static_cast<uLong>(block.size()), 9) != Z_OK)
    return "<zlib failed>";
  out.resize(n);
  return out;
}

std::string whole_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return in ? std::string(std::istreambuf_iterator<char>(in), {}) : std::string();
}

// Blocks around every size where the compression stage changes its way, and real files of
// the system: each inflates with stock zlib here, with Python after openssl, and with
// Java's Inflater after javax.crypto. Up to DEFLATE_SMALL_MAX bytes and beyond
// DEFLATE_WHOLE_MAX (kfs-devserver's block size) the stream is zlib 9's own; between, it is
// libdeflate's, which differs from zlib's for these blocks.
TEST_F(ChainTest, EveryBlockSizeOpensWithZlibPythonAndJava) {
  struct Case {
    std::string name;
    std::string block;
  };
  std::vector<Case> cases;
  for (int size : {0, 1, 15, DEFLATE_SMALL_MAX - 1, DEFLATE_SMALL_MAX, DEFLATE_SMALL_MAX + 1, 16383,
                   16384, 16385, DEFLATE_WHOLE_MAX - 1, DEFLATE_WHOLE_MAX, DEFLATE_WHOLE_MAX + 1,
                   3 * DEFLATE_WHOLE_MAX + 7}) {
    cases.push_back({std::to_string(size), mixed_corpus(static_cast<size_t>(size), 29)});
  }
  // Text (tiny and larger) and machine code, where they are (not under Wine).
  for (const char* path : {"/usr/share/common-licenses/BSD", "/usr/share/common-licenses/GPL-3",
                           "/usr/include/zlib.h", "/usr/lib/x86_64-linux-gnu/libz.so.1"}) {
    std::string contents = whole_file(path);
    if (!contents.empty()) cases.push_back({path, contents.substr(0, DEFLATE_WHOLE_MAX)});
  }
  std::string java =
      "java " VARNO_SOURCE_DIR "/tests/agent/stream/InflateCheck.java " + key_hex(test_key());
  for (size_t i = 0; i < cases.size(); i++) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    Pulled p = file_chain(c.block, 0, static_cast<int>(c.block.size()), nullptr);
    ASSERT_EQ(p.last, STREAM_END);
    const std::string stream = decrypt_in_process(p.bytes);
    EXPECT_TRUE(inflate_in_process(stream) == c.block);
    const bool whole = c.block.size() > static_cast<size_t>(DEFLATE_SMALL_MAX) &&
                       c.block.size() <= static_cast<size_t>(DEFLATE_WHOLE_MAX);
    EXPECT_EQ(stream == zlib9(c.block), !whole);
#ifndef _WIN32
    EXPECT_TRUE(outside_plain(p.bytes) == c.block);
    const std::string sealed = dir_.file("sealed" + std::to_string(i));
    const std::string plain = dir_.file("plain" + std::to_string(i));
    write_file(sealed, p.bytes);
    write_file(plain, c.block);
    java += " '" + sealed + "' '" + plain + "'";
#endif
  }
#ifndef _WIN32
  EXPECT_EQ(testing_support::run_command(java), 0);
#endif
}

// --- pinned bytes ----------------------------------------------------------------------

// Key 00..1f, zero IV, "hello hello hello\n": deflate-9 then AES-256-CBC. Produced once by
// python3 zlib.compress(data, 9) | openssl enc, independently of this code.
TEST_F(ChainTest, OutputBytesArePinned) {
  StreamPtr chain = wrap(memory_stream("hello hello hello\n", whole()), nullptr);
  EXPECT_EQ(hex(pull(chain.get(), whole()).bytes),
            "6afa32114e401812890d3c5512eed2b2226a1c1528ad90fc14d9107e9554ed1d");
}

// SP 800-38A F.2.5 (CBC-AES256.Encrypt): with a zero IV, a first block of P1 xor IV gives
// the published ciphertext; the fifth block is the padding.
TEST_F(ChainTest, EncryptionStageMatchesPublishedAes256CbcVector) {
  AesCbcVector v = sp800_38a_cbc_aes256();
  StreamPtr e = encryption_stream_new(memory_stream(v.plain, whole()),
                                      reinterpret_cast<const unsigned char*>(v.key.data()));
  Pulled p = pull(e.get(), whole());
  ASSERT_EQ(p.bytes.size(), 80u);
  EXPECT_EQ(hex(p.bytes.substr(0, 64)), v.cipher_hex);
}

// --- slicing and reuse -----------------------------------------------------------------

// Input whole, byte by byte and in random slices, output pulled whole and in random
// slices (including rooms below one cipher block): always the same bytes, also from a
// second chain built the same way.
TEST_F(ChainTest, OutputIsTheSameHoweverInputAndOutputAreSliced) {
  const std::string data = mixed_corpus(70000, 11);
  unsigned char reference_digest[16];
  StreamPtr first = wrap(memory_stream(data, whole()), reference_digest);
  Pulled reference = pull(first.get(), whole());
  ASSERT_EQ(reference.last, STREAM_END);
  EXPECT_TRUE(outside_plain(reference.bytes) == data);

  struct Case {
    const char* name;
    Slicer in, out;
  };
  std::vector<Case> cases = {{"whole again", whole(), whole()},
                             {"bytewise in", bytewise(), whole()},
                             {"random in", random_slices(1, 5000), whole()},
                             {"random out", whole(), random_slices(2, 300)},
                             {"small out", random_slices(3, 40), random_slices(4, 40)}};
  for (Case& c : cases) {
    unsigned char digest[16];
    StreamPtr chain = wrap(memory_stream(data, c.in), digest);
    Pulled p = pull(chain.get(), c.out);
    EXPECT_EQ(p.last, STREAM_END) << c.name;
    EXPECT_TRUE(p.bytes == reference.bytes) << c.name;
    EXPECT_EQ(memcmp(digest, reference_digest, 16), 0) << c.name;
  }
}

TEST_F(ChainTest, EachStageAloneGivesTheSameBytesTwiceAndWhateverTheSlicing) {
  const std::string data = mixed_corpus(30000, 5);
  using Make = std::function<StreamPtr(StreamPtr)>;
  unsigned char digest[16];
  std::vector<std::pair<const char*, Make>> stages = {
      {"checksum", [&](StreamPtr in) { return checksum_stream_new(std::move(in), digest); }},
      {"compression", [](StreamPtr in) { return compression_stream_new(std::move(in)); }},
      {"encryption",
       [](StreamPtr in) { return encryption_stream_new(std::move(in), test_key()); }}};
  for (auto& [name, make] : stages) {
    std::string first;
    for (int round = 0; round < 2; round++) {
      for (Slicer in : {whole(), bytewise(), random_slices(round + 9, 3000)}) {
        StreamPtr s = make(memory_stream(data, in));
        Pulled p = pull(s.get(), random_slices(round + 20, 2000));
        EXPECT_EQ(p.last, STREAM_END) << name;
        if (first.empty()) first = p.bytes;
        EXPECT_TRUE(p.bytes == first) << name << " round " << round;
      }
    }
  }
}

TEST_F(ChainTest, CompressionCanBePulledOneByteAtATime) {
  const std::string data = mixed_corpus(20000, 8);
  StreamPtr a = compression_stream_new(memory_stream(data, whole()));
  StreamPtr b = compression_stream_new(memory_stream(data, random_slices(6, 100)));
  Pulled pa = pull(a.get(), whole());
  Pulled pb = pull(b.get(), bytewise());
  EXPECT_EQ(pb.last, STREAM_END);
  EXPECT_TRUE(pa.bytes == pb.bytes);
}

// --- encryption room rule --------------------------------------------------------------

TEST_F(ChainTest, EncryptionWaitsForRoomToFinish) {
  StreamPtr e = encryption_stream_new(memory_stream("abc", whole()), test_key());
  unsigned char out[64];
  memset(out, 0x5A, sizeof out);
  for (int room = 1; room <= 15; room++) EXPECT_EQ(e->read(out, room), 0) << room;
  for (unsigned char c : out) EXPECT_EQ(c, 0x5A);  // nothing written while waiting
  EXPECT_EQ(e->read(out, 16), 16);
  EXPECT_EQ(e->read(out, 16), STREAM_END);
  EXPECT_EQ(e->read(out, 16), STREAM_END);
}

TEST_F(ChainTest, EncryptionNeverFeedsMoreThanTheRoomAllows) {
  // 17 bytes in, room 17: at most 2 bytes may go to one update (output <= 17).
  std::string data(40, 'q');
  StreamPtr e = encryption_stream_new(memory_stream(data, whole()), test_key());
  Pulled p = pull(e.get(), [] { return 17; });
  EXPECT_EQ(p.last, STREAM_END);
  StreamPtr f = encryption_stream_new(memory_stream(data, whole()), test_key());
  EXPECT_TRUE(pull(f.get(), whole()).bytes == p.bytes);
  EXPECT_EQ(p.bytes.size(), 48u);
}

// --- buffer refill and consume ---------------------------------------------------------

struct Probe : BufferedStream {
  int read(void*, int) override { return STREAM_ERROR; }
  void destroy() override { inner.reset(); }
};

TEST(StreamFill, FollowsTheInnerResults) {
  Probe p;
  p.inner = script_stream({STREAM_ERROR, STREAM_FATAL, 0, 10, 0, -7, 5});
  EXPECT_EQ(stream_fill(&p), STREAM_ERROR);
  EXPECT_EQ(stream_fill(&p), STREAM_FATAL);
  EXPECT_EQ(stream_fill(&p), STREAM_ERROR);  // nothing from a live inner and nothing held
  EXPECT_EQ(stream_fill(&p), 0);
  EXPECT_EQ(p.buffer_fill, 10);
  EXPECT_EQ(stream_fill(&p), 0);  // nothing new, but data held
  EXPECT_EQ(stream_fill(&p), 0);  // unknown negative results are ignored
  EXPECT_EQ(p.buffer_fill, 10);
  EXPECT_EQ(stream_fill(&p), 0);
  EXPECT_EQ(p.buffer_fill, 15);
  EXPECT_EQ(p.inner_ended, 0);
  EXPECT_EQ(stream_fill(&p), 0);
  EXPECT_EQ(p.inner_ended, 1);
  auto* inner = static_cast<ScriptStream*>(p.inner.get());
  int calls = inner->calls;
  EXPECT_EQ(stream_fill(&p), 0);  // ended: the inner is not asked again
  EXPECT_EQ(inner->calls, calls);
}

TEST(StreamFill, FullBufferDoesNotAskTheInner) {
  Probe p;
  p.inner = script_stream({STREAM_BUFFER_SIZE, 1});
  EXPECT_EQ(stream_fill(&p), 0);
  EXPECT_EQ(p.buffer_fill, STREAM_BUFFER_SIZE);
  EXPECT_EQ(stream_fill(&p), 0);
  EXPECT_EQ(static_cast<ScriptStream*>(p.inner.get())->calls, 1);
}

TEST(StreamConsume, KeepsTheRestAtTheStart) {
  Probe p;
  memcpy(p.buffer, "abcdef", 6);
  p.buffer_fill = 6;
  stream_consume(&p, 0);
  stream_consume(&p, -3);
  EXPECT_EQ(p.buffer_fill, 6);
  stream_consume(&p, 2);
  EXPECT_EQ(p.buffer_fill, 4);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(p.buffer), 4), "cdef");
  stream_consume(&p, 4);
  EXPECT_EQ(p.buffer_fill, 0);
}

// --- failures --------------------------------------------------------------------------

TEST(StreamFailures, FatalPassesThroughEveryStageAndLeavesTheDigestAlone) {
  for (int code : {STREAM_FATAL, STREAM_ERROR}) {
    unsigned char digest[16];
    memset(digest, 0x77, sizeof digest);
    StreamPtr chain = wrap(script_stream({100, 200, code}), digest);
    unsigned char out[65466];
    int r;
    do r = chain->read(out, sizeof out);
    while (r >= 0);
    EXPECT_EQ(r, code);
    for (unsigned char c : digest) EXPECT_EQ(c, 0x77);
  }
}

TEST(StreamFailures, ChecksumPassesOtherResultsUnchanged) {
  unsigned char digest[16];
  StreamPtr c = checksum_stream_new(script_stream({0, STREAM_FATAL, 3}), digest);
  char out[8];
  EXPECT_EQ(c->read(out, 8), 0);
  EXPECT_EQ(c->read(out, 8), STREAM_FATAL);
  EXPECT_EQ(c->read(out, 8), 3);
  EXPECT_EQ(c->read(out, 8), STREAM_END);
  EXPECT_EQ(c->read(out, 8), STREAM_END);
}

TEST(StreamFailures, StalledInnerIsAnErrorNotAHang) {
  StreamPtr z = compression_stream_new(script_stream({0, 0, 0}));
  char out[64];
  EXPECT_EQ(z->read(out, sizeof out), STREAM_ERROR);
}

TEST(StreamFailures, FailedConstructorLeavesTheInnerWithTheCaller) {
  int destroyed = 0;
  StreamPtr inner = script_stream({}, &destroyed);
  EXPECT_FALSE(encryption_stream_new(std::move(inner), nullptr));
  EXPECT_TRUE(inner);
  EXPECT_FALSE(checksum_stream_new(std::move(inner), nullptr));
  EXPECT_TRUE(inner);
  EXPECT_EQ(destroyed, 0);
  EXPECT_FALSE(compression_stream_new(nullptr));
  EXPECT_FALSE(encryption_stream_new(nullptr, test_key()));
  unsigned char digest[16];
  EXPECT_FALSE(checksum_stream_new(nullptr, digest));
}

TEST(StreamFailures, DestroyReleasesTheWholeChainOnce) {
  int destroyed = 0;
  unsigned char digest[16];
  StreamPtr chain = wrap(script_stream({5}, &destroyed), digest);
  chain->destroy();
  EXPECT_EQ(destroyed, 1);
  chain->destroy();
  char out[64];
  EXPECT_EQ(chain->read(out, sizeof out), STREAM_ERROR);
  chain.reset();
  EXPECT_EQ(destroyed, 1);
}

TEST_F(ChainTest, FileReadStage) {
  write_file(dir_.file("f.bin"), "0123456789");
  int fd = plat_env()->open_read("f.bin");
  ASSERT_GE(fd, 0);
  uint64_t counter = 0xFFFFFFFFull;  // the count carries into the high word
  StreamPtr s = file_read_stream_new(fd, 3, 5, &counter);
  char out[16];
  EXPECT_EQ(s->read(out, 0), 0);  // no room is not the end of the block
  EXPECT_EQ(s->read(out, 2), 2);
  EXPECT_EQ(std::string(out, 2), "34");
  EXPECT_EQ(s->read(out, 16), 3);
  EXPECT_EQ(std::string(out, 3), "567");
  EXPECT_EQ(s->read(out, 16), STREAM_END);
  EXPECT_EQ(s->read(out, 16), STREAM_END);
  EXPECT_EQ(counter, 0x100000004ull);
  s->destroy();  // the descriptor stays open
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 8);
  StreamPtr none = file_read_stream_new(fd, 0, -5, nullptr);  // a negative limit allows nothing
  EXPECT_EQ(none->read(out, 16), STREAM_END);
  plat_env()->close_file(fd);
}

// One chain restarted block after block, asked for the MD5 or not, gives what a chain
// built for each block gives.
TEST_F(ChainTest, RestartedChainGivesWhatABuiltChainGives) {
  const std::string data = mixed_corpus(50000, 7);
  write_file(dir_.file("blocks.bin"), data);
  const int fd = plat_env()->open_read("blocks.bin");
  ASSERT_GE(fd, 0);
  std::unique_ptr<BlockChain> reused = BlockChain::create(test_key());
  ASSERT_TRUE(reused);
  struct Case {
    int64_t offset;
    int limit;
    bool digest;
  };
  for (const Case& c : {Case{0, 20000, true}, Case{20000, 20000, false}, Case{40000, 20000, true},
                        Case{100, 0, false}, Case{0, 50000, false}, Case{5, 33, true}}) {
    SCOPED_TRACE(testing::Message() << c.offset << "+" << c.limit << (c.digest ? " md5" : ""));
    unsigned char expected_digest[16];
    unsigned char digest[16] = {};
    const Pulled expected = file_chain(data, c.offset, c.limit, expected_digest);
    uint64_t counter = 0;
    ASSERT_TRUE(
        reused->restart(plat_env(), fd, c.offset, c.limit, &counter, c.digest ? digest : nullptr));
    std::string bytes;
    std::vector<char> buffer(65466);
    int n = 0;
    while ((n = reused->read(buffer.data(), static_cast<int>(buffer.size()))) > 0) {
      bytes.append(buffer.data(), static_cast<size_t>(n));
    }
    EXPECT_EQ(n, STREAM_END);
    EXPECT_TRUE(bytes == expected.bytes);
    if (c.digest) {
      EXPECT_EQ(memcmp(digest, expected_digest, 16), 0);
    }
  }
  plat_env()->close_file(fd);
}

TEST_F(ChainTest, FileReadFailuresAreErrors) {
  char out[16];
  // A descriptor that cannot be positioned would give the wrong bytes.
  int pipe_fds[2];
  ASSERT_EQ(testing_support::make_pipe(pipe_fds), 0);
  ASSERT_EQ(write(pipe_fds[1], "abc", 3), 3);
  StreamPtr p = file_read_stream_new(pipe_fds[0], 0, 10, nullptr);
  EXPECT_EQ(p->read(out, 16), STREAM_ERROR);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
  // A read that fails (a folder opened for reading; Windows refuses to open one at all).
  testing_support::make_dirs(dir_.file("folder"));
  int fd = plat_env()->open_read("folder");
#ifndef _WIN32
  ASSERT_GE(fd, 0);
  StreamPtr d = file_read_stream_new(fd, 0, 10, nullptr);
  EXPECT_EQ(d->read(out, 16), STREAM_ERROR);
  plat_env()->close_file(fd);
#else
  EXPECT_EQ(fd, -1);
#endif
  EXPECT_EQ(plat_env()->open_read("missing.bin"), -1);
}

}  // namespace
