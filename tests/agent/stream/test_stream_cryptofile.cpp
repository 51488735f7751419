#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "agent/stream/cryptofile.h"
#include "platform/env.h"
#include "tests/support/stream_test_util.h"
#include "tests/support/test_support.h"

using namespace stream_test;
using testing_support::read_file;
using testing_support::ScopedCwd;
using testing_support::TempDir;
using testing_support::write_file;

namespace {

class CryptoFileTest : public ::testing::Test {
 protected:
  void SetUp() override { cwd_ = std::make_unique<ScopedCwd>(dir_.path()); }

  // Writes `text` through a CryptoFile writer, handing it over in pieces of `piece` bytes.
  void write_crypto(const std::string& name, const std::string& text, size_t piece,
                    const unsigned char* key = test_key()) {
    FILE* f = plat_env()->open_stream(name, "wb");
    ASSERT_NE(f, nullptr);
    CryptoFile cf;
    ASSERT_EQ(cryptofile_init(&cf, f, 1, key), 0);
    for (size_t at = 0; at < text.size(); at += piece)
      cryptofile_write(&cf, text.data() + at, std::min(piece, text.size() - at));
    EXPECT_EQ(cryptofile_finish(&cf), 1);
    fclose(f);
  }

  // Reads a file back with cryptofile_gets and buffers of `size` bytes; every piece is
  // checked for its terminator and for writes beyond `size`. Pieces are joined using the
  // length up to the last NUL the reader placed (NULs in the text are copied as bytes).
  // What cryptofile_finish answered is kept in finished_.
  std::vector<std::string> read_lines(const std::string& name, int size,
                                      const unsigned char* key = test_key()) {
    std::vector<std::string> lines;
    FILE* f = plat_env()->open_stream(name, "rb");
    EXPECT_NE(f, nullptr);
    if (!f) return lines;
    CryptoFile cf;
    EXPECT_EQ(cryptofile_init(&cf, f, 0, key), 0);
    std::vector<char> buffer(static_cast<size_t>(size) + 32);
    for (int calls = 0; calls < 10000000; calls++) {
      std::fill(buffer.begin(), buffer.end(), '\x7f');
      char* got = cryptofile_gets(&cf, buffer.data(), size);
      for (size_t i = static_cast<size_t>(size); i < buffer.size(); i++)
        if (buffer[i] != '\x7f') {
          ADD_FAILURE() << "wrote past a buffer of " << size;
          return lines;
        }
      if (!got) break;
      EXPECT_EQ(got, buffer.data());
      // The terminator is the last NUL before the untouched filler.
      size_t end = static_cast<size_t>(size) - 1;
      while (end > 0 && buffer[end] != '\0') end--;
      std::string piece(buffer.data(), end);
      EXPECT_FALSE(piece.empty());
      lines.push_back(piece);
    }
    EXPECT_EQ(cryptofile_gets(&cf, buffer.data(), size), nullptr);  // stays at the end
    finished_ = cryptofile_finish(&cf);
    fclose(f);
    return lines;
  }
  // read_lines of a whole file: its reader must finish well.
  std::vector<std::string> read_whole(const std::string& name, int size) {
    std::vector<std::string> lines = read_lines(name, size);
    EXPECT_EQ(finished_, 1) << name;
    return lines;
  }

  static std::string join(const std::vector<std::string>& lines) {
    std::string all;
    for (auto& l : lines) all += l;
    return all;
  }

  TempDir dir_;
  std::unique_ptr<ScopedCwd> cwd_;
  int finished_ = 0;
};

std::string schedule_text(size_t size, uint32_t seed) {
  std::string text = "# Varno Backup Schedule\r\n";
  std::mt19937 rng(seed);
  while (text.size() < size) {
    text += "Src=C:\\Users\\bob\\folder" + std::to_string(rng() % 100000);
    text += std::string(rng() % 300, 'a' + static_cast<char>(rng() % 26));
    text += rng() % 2 ? "\r\n" : "\n";
  }
  text.resize(size);
  return text;
}

// --- openssl interop -------------------------------------------------------------------

TEST_F(CryptoFileTest, OpensslDecryptsWhatWeWriteAtEveryBlockBoundary) {
  for (size_t size : {0, 1, 15, 16, 17, 1007, 1008, 1009, 2016, 2017, 5000}) {
    std::string text = schedule_text(size, static_cast<uint32_t>(size));
    write_crypto("s.kbs", text, 1000000);
    std::string cipher = read_file(dir_.file("s.kbs"));
    EXPECT_EQ(cipher.size(), (size / 16 + 1) * 16) << size;  // no header, PKCS padding
    ASSERT_EQ(openssl_decrypt(dir_.file("s.kbs"), dir_.file("plain.txt"), test_key()), 0);
    EXPECT_TRUE(read_file(dir_.file("plain.txt")) == text) << size;
  }
}

TEST_F(CryptoFileTest, WeReadWhatOpensslWrites) {
  std::string text = schedule_text(7000, 99) + "last line without newline";
  write_file(dir_.file("plain.txt"), text);
  ASSERT_EQ(openssl_encrypt(dir_.file("plain.txt"), dir_.file("s.kbs"), test_key()), 0);
  std::vector<std::string> lines = read_whole("s.kbs", 260);
  EXPECT_TRUE(join(lines) == text);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "# Varno Backup Schedule\r\n");
  EXPECT_EQ(lines.back().back(), 'e');
  for (size_t i = 0; i + 1 < lines.size(); i++)
    EXPECT_TRUE(lines[i].back() == '\n' || lines[i].size() == 259) << i;
}

// --- pinned bytes ----------------------------------------------------------------------

// Key 00..1f, zero IV; produced once with `openssl enc`, independently of this code.
TEST_F(CryptoFileTest, FileBytesArePinned) {
  write_crypto("s.kbs", "# Varno Backup Schedule\n", 1);
  EXPECT_EQ(hex(read_file(dir_.file("s.kbs"))),
            "42a4051843ecb1bec22705284afa543d10bed39b9e06a8e770096cc11996c962"
            "");
}

// SP 800-38A F.2.5 (CBC-AES256.Encrypt), first block xor-ed with the published IV since
// the file's IV is zero; the fifth block is padding.
TEST_F(CryptoFileTest, MatchesPublishedAes256CbcVector) {
  AesCbcVector v = sp800_38a_cbc_aes256();
  write_crypto("v.bin", v.plain, 7, reinterpret_cast<const unsigned char*>(v.key.data()));
  std::string cipher = read_file(dir_.file("v.bin"));
  ASSERT_EQ(cipher.size(), 80u);
  EXPECT_EQ(hex(cipher.substr(0, 64)), v.cipher_hex);
}

TEST_F(CryptoFileTest, BlockingDoesNotShowInTheFile) {
  std::string text = schedule_text(4000, 4);
  write_crypto("whole.kbs", text, 1000000);
  for (size_t piece : {1, 15, 1008, 1009}) {
    write_crypto("piece.kbs", text, piece);
    EXPECT_TRUE(read_file(dir_.file("piece.kbs")) == read_file(dir_.file("whole.kbs"))) << piece;
  }
}

// --- line reading ----------------------------------------------------------------------

TEST_F(CryptoFileTest, LinesComeBackInPiecesForEveryBufferSize) {
  std::string text = schedule_text(3000, 12) + "\n\nend";
  write_crypto("s.kbs", text, 100);
  for (int size : {2, 3, 16, 17, 259, 260, 1008, 1009, 1025, 5000}) {
    std::vector<std::string> lines = read_whole("s.kbs", size);
    EXPECT_TRUE(join(lines) == text) << size;
    for (auto& l : lines) EXPECT_LE(l.size(), static_cast<size_t>(size - 1));
  }
}

TEST_F(CryptoFileTest, GetsEdgeCases) {
  write_crypto("s.kbs", "ab\ncd", 100);
  FILE* f = plat_env()->open_stream("s.kbs", "rb");
  ASSERT_NE(f, nullptr);
  CryptoFile cf;
  ASSERT_EQ(cryptofile_init(&cf, f, 0, test_key()), 0);
  char buffer[8];
  EXPECT_EQ(cryptofile_gets(&cf, buffer, 1), nullptr);
  EXPECT_EQ(cryptofile_gets(&cf, buffer, 0), nullptr);
  EXPECT_EQ(cryptofile_gets(&cf, buffer, -5), nullptr);
  EXPECT_EQ(cryptofile_gets(&cf, nullptr, 8), nullptr);
  ASSERT_NE(cryptofile_gets(&cf, buffer, 8), nullptr);
  EXPECT_STREQ(buffer, "ab\n");
  ASSERT_NE(cryptofile_gets(&cf, buffer, 8), nullptr);
  EXPECT_STREQ(buffer, "cd");
  EXPECT_EQ(cryptofile_gets(&cf, buffer, 8), nullptr);
  EXPECT_EQ(cryptofile_gets(&cf, buffer, 8), nullptr);
  EXPECT_EQ(cryptofile_finish(&cf), 1);
  EXPECT_EQ(cryptofile_gets(&cf, buffer, 8), nullptr);  // finished
  fclose(f);
}

TEST_F(CryptoFileTest, WriterAndReaderIgnoreTheOtherDirection) {
  FILE* f = plat_env()->open_stream("w.kbs", "wb");
  ASSERT_NE(f, nullptr);
  CryptoFile writer;
  ASSERT_EQ(cryptofile_init(&writer, f, 1, test_key()), 0);
  char buffer[16];
  EXPECT_EQ(cryptofile_gets(&writer, buffer, sizeof buffer), nullptr);
  cryptofile_write(&writer, "x\n", 2);
  EXPECT_EQ(cryptofile_finish(&writer), 1);
  EXPECT_EQ(cryptofile_finish(&writer), 1);  // a second finish writes nothing more
  fclose(f);
  EXPECT_EQ(read_file(dir_.file("w.kbs")).size(), 16u);

  f = plat_env()->open_stream("w.kbs", "rb");
  CryptoFile reader;
  ASSERT_EQ(cryptofile_init(&reader, f, 0, test_key()), 0);
  cryptofile_write(&reader, "ignored", 7);
  ASSERT_NE(cryptofile_gets(&reader, buffer, sizeof buffer), nullptr);
  EXPECT_STREQ(buffer, "x\n");
  EXPECT_EQ(cryptofile_finish(&reader), 1);
  fclose(f);
}

// --- outside input ---------------------------------------------------------------------

TEST_F(CryptoFileTest, EmptyFileAndEmptyTextEndAtOnce) {
  write_file(dir_.file("zero.kbs"), "");
  EXPECT_TRUE(read_lines("zero.kbs", 260).empty());
  EXPECT_EQ(finished_, -1) << "no file is shorter than one block";
  write_crypto("empty.kbs", "", 1);
  EXPECT_EQ(read_file(dir_.file("empty.kbs")).size(), 16u);
  EXPECT_TRUE(read_whole("empty.kbs", 260).empty());
}

TEST_F(CryptoFileTest, NulBytesAreCopiedWithoutHarm) {
  std::string text("a\0b\nc\0\0\0d\n\0", 12);
  write_crypto("nul.kbs", text, 3);
  std::vector<std::string> narrow = read_whole("nul.kbs", 5);
  EXPECT_TRUE(join(narrow) == text);
  std::vector<std::string> wide = read_whole("nul.kbs", 64);
  ASSERT_EQ(wide.size(), 3u);
  EXPECT_EQ(wide[1], std::string("c\0\0\0d\n", 6));
}

TEST_F(CryptoFileTest, TruncatedOrDamagedFilesEndTheTextEarly) {
  std::string text = schedule_text(5000, 21);
  write_crypto("s.kbs", text, 512);
  std::string cipher = read_file(dir_.file("s.kbs"));
  for (size_t cut : {1, 15, 17, 1000, 1008, 1009, 2100, 4095, 4097}) {
    write_file(dir_.file("cut.kbs"), cipher.substr(0, cut));
    for (int size : {2, 260}) {
      std::string got = join(read_lines("cut.kbs", size));
      EXPECT_EQ(finished_, -1) << cut;
      EXPECT_LE(got.size(), cut) << cut;
      EXPECT_TRUE(text.compare(0, got.size(), got) == 0) << cut;  // a prefix, never garbage
    }
  }
  // Without its last block the padding is gone: the text ends before the last full block.
  write_file(dir_.file("cut.kbs"), cipher.substr(0, cipher.size() - 16));
  std::string got = join(read_lines("cut.kbs", 260));
  EXPECT_TRUE(text.compare(0, got.size(), got) == 0);
  EXPECT_GE(got.size() + 32, cipher.size() - 16);
}

// A cut at a block boundary leaves lines that look whole; the reader must still say the
// file is damaged, exactly where `openssl enc -d` refuses it, and nowhere else.
TEST_F(CryptoFileTest, CutAtEveryBlockBoundaryIsReportedAsOpensslRefusesIt) {
  for (size_t size : {15, 16, 1008, 2100}) {
    std::string text = schedule_text(size, static_cast<uint32_t>(size) + 7);
    write_crypto("s.kbs", text, 100);
    std::string cipher = read_file(dir_.file("s.kbs"));
    for (size_t cut = 0; cut <= cipher.size(); cut += 16) {
      write_file(dir_.file("cut.kbs"), cipher.substr(0, cut));
      std::string got = join(read_lines("cut.kbs", 260));
      bool whole = cut == cipher.size();
      EXPECT_EQ(finished_, whole ? 1 : -1) << size << " cut at " << cut;
      EXPECT_EQ(openssl_decrypt(dir_.file("cut.kbs"), dir_.file("plain.txt"), test_key()) == 0,
                whole)
          << size << " cut at " << cut;
      EXPECT_TRUE(text.compare(0, got.size(), got) == 0) << cut;  // never more than was there
    }
  }
}

TEST_F(CryptoFileTest, WrongKeyOrRandomBytesNeverOverrun) {
  std::string text = schedule_text(3000, 2);
  write_crypto("s.kbs", text, 100);
  unsigned char other[32];
  memset(other, 0x42, sizeof other);
  EXPECT_FALSE(join(read_lines("s.kbs", 260, other)) == text);
  EXPECT_EQ(finished_, -1);
  std::mt19937 rng(1234);
  for (int round = 0; round < 60; round++) {
    std::string junk(rng() % 3000, '\0');
    for (char& c : junk) c = static_cast<char>(rng());
    if (round % 3 == 0) junk.append(200, '\n');
    write_file(dir_.file("junk.kbs"), junk);
    read_lines("junk.kbs", 2 + static_cast<int>(rng() % 300));
  }
}

// --- writer failures -------------------------------------------------------------------

TEST(CryptoFileInit, RefusesMissingFileOrKey) {
  CryptoFile cf;
  FILE* f = tmpfile();
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(cryptofile_init(&cf, nullptr, 0, test_key()), -1);
  EXPECT_EQ(cryptofile_init(&cf, f, 1, nullptr), -1);
  EXPECT_EQ(cryptofile_init(nullptr, f, 1, test_key()), -1);
  char buffer[8];
  EXPECT_EQ(cryptofile_gets(&cf, buffer, 8), nullptr);
  fclose(f);
}

// A full disk must not pass for a written mail queue.
TEST(CryptoFileWrite, FailedWriteIsReportedByFinish) {
  FILE* f = fopen("/dev/full", "wb");
  if (!f) GTEST_SKIP() << "/dev/full not available";
  CryptoFile cf;
  ASSERT_EQ(cryptofile_init(&cf, f, 1, test_key()), 0);
  std::string text(3000, 'm');
  cryptofile_write(&cf, text.data(), text.size());
  EXPECT_EQ(cryptofile_finish(&cf), -1);
  EXPECT_EQ(cryptofile_finish(&cf), -1);
  fclose(f);
}

TEST(CryptoFileWrite, RecordLeftUnfinishedReleasesItself) {
  FILE* f = tmpfile();
  ASSERT_NE(f, nullptr);
  for (int i = 0; i < 3; i++) {
    auto cf = std::make_unique<CryptoFile>();
    ASSERT_EQ(cryptofile_init(cf.get(), f, 1, test_key()), 0);
    cryptofile_write(cf.get(), "abc", 3);
    ASSERT_EQ(cryptofile_init(cf.get(), f, 0, test_key()), 0);  // init again clears the record
  }  // the sanitizer build's leak checker watches these records
  fclose(f);
}

}  // namespace
