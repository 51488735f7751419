// Frames, the address file and the reply decoders, without a network.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "protocol/ckfs.h"
#include "protocol/wire.h"
#include "tests/support/kfs_peers.h"
#include "tests/support/test_hooks.h"
#include "tests/support/test_support.h"
#include "util/memory.h"

using testing_support::ScopedCwd;
using testing_support::TempDir;

namespace {

const uint8_t kKey[32] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16,
                          17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

struct CipherPair {
  ckfs_cipher* a = ckfs_cipher_new(3, kKey);
  ckfs_cipher* b = ckfs_cipher_new(3, kKey);
  ~CipherPair() {
    ckfs_cipher_free(a);
    ckfs_cipher_free(b);
  }
};

// Encodes with one cipher state and decodes with another, as the two ends do.
int roundtrip(ckfs_cipher* enc, ckfs_cipher* dec, const std::vector<uint8_t>& data,
              ckfs_packet* out, int* frame_size) {
  uint8_t header[6];
  kfs_wire::put16(header, static_cast<uint16_t>(data.size()));
  header[2] = KFS_MKDIR | 0x80;
  kfs_wire::put16(header + 3, 0x1234);
  header[5] = ERR_EXISTS;
  std::vector<uint8_t> frame(CKFS_FRAME_BUFFER);
  *frame_size =
      ckfs_frame_encode(enc, header, data.data(), static_cast<int>(data.size()), frame.data());
  if (*frame_size < 0) return -1;
  int e = ckfs_frame_length(frame.data());
  memcpy(ckfs_cipher_frame(dec), frame.data() + 6, static_cast<size_t>(e));
  int plain = ckfs_frame_decrypt(dec, e, ckfs_frame_crc(frame.data()));
  if (plain < 0) return -1;
  return ckfs_packet_parse(ckfs_cipher_frame(dec), plain, out);
}

TEST(FrameTest, PacketsSurviveTheFrameAndPadToTheNextBlock) {
  CipherPair c;
  auto packet = std::make_unique<ckfs_packet>();
  for (size_t n : {size_t{0}, size_t{9}, size_t{10}, size_t{26}, size_t{65499}}) {
    std::vector<uint8_t> data(n);
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(i * 7);
    int frame_size = 0;
    ASSERT_EQ(roundtrip(c.a, c.b, data, packet.get(), &frame_size), 0) << n;
    // E is the plain length rounded up to the next multiple of 16, a full block when even.
    EXPECT_EQ(frame_size - 6, static_cast<int>((n + 6) / 16 * 16 + 16)) << n;
    EXPECT_EQ(packet->length, n);
    EXPECT_EQ(packet->type, KFS_MKDIR | 0x80);
    EXPECT_EQ(packet->request_number, 0x1234);
    EXPECT_EQ(packet->status, ERR_EXISTS);
    if (n > 0) {
      EXPECT_EQ(0, memcmp(packet->data, data.data(), n));
    }
  }
  // Too long for one packet.
  std::vector<uint8_t> big(65500);
  int frame_size = 0;
  EXPECT_EQ(roundtrip(c.a, c.b, big, packet.get(), &frame_size), -1);
}

// Every packet is a fresh CBC message under the zero IV: an outside AES and CRC agree.
TEST(FrameTest, FrameIsAesCbcUnderZeroIvWithZlibCrc) {
  CipherPair c;
  uint8_t header[6] = {0, 3, 7, 0, 0, 0};
  uint8_t data[3] = {'a', 'b', 'c'};
  uint8_t frames[2][64];
  for (auto& frame : frames) ASSERT_EQ(ckfs_frame_encode(c.a, header, data, 3, frame), 6 + 16);
  EXPECT_EQ(0, memcmp(frames[0], frames[1], 22)) << "no chaining across packets";
  uint8_t plain[9];
  memcpy(plain, header, 6);
  memcpy(plain + 6, data, 3);
  EXPECT_EQ(kfs_wire::get32(frames[0] + 2), crc32(0, plain, 9));
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  uint8_t iv[16] = {};
  uint8_t expected[32];
  int n = 0, m = 0;
  EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, kKey, iv);
  EVP_EncryptUpdate(ctx, expected, &n, plain, 9);
  EVP_EncryptFinal_ex(ctx, expected + n, &m);
  EVP_CIPHER_CTX_free(ctx);
  ASSERT_EQ(n + m, 16);
  EXPECT_EQ(0, memcmp(frames[0] + 6, expected, 16));
}

TEST(FrameTest, DamagedOrOversizedFramesAreRefused) {
  CipherPair c;
  uint8_t header[6] = {0, 3, 7, 0, 0, 0};
  uint8_t data[3] = {'a', 'b', 'c'};
  uint8_t frame[64];
  ASSERT_EQ(ckfs_frame_encode(c.a, header, data, 3, frame), 22);
  memcpy(ckfs_cipher_frame(c.b), frame + 6, 16);
  EXPECT_EQ(ckfs_frame_decrypt(c.b, 16, ckfs_frame_crc(frame) ^ 1), -1);
  memcpy(ckfs_cipher_frame(c.b), frame + 6, 16);
  EXPECT_EQ(ckfs_frame_decrypt(c.b, 16, ckfs_frame_crc(frame)), 9) << "context restarted";
  EXPECT_EQ(ckfs_frame_decrypt(c.b, CKFS_FRAME_BUFFER + 1, 0), -1);
  EXPECT_EQ(ckfs_frame_decrypt(c.b, 0, 0), -1);
  uint8_t zero[2] = {0, 0};
  EXPECT_EQ(ckfs_frame_length(zero), 65536);
  // The null cipher passes bytes through: a frame longer than the packet buffer decrypts
  // to more than it can hold.
  ckfs_cipher* plain = ckfs_cipher_new(1, kKey);
  memset(ckfs_cipher_frame(plain), 0, CKFS_FRAME_BUFFER);
  uint32_t crc = static_cast<uint32_t>(crc32(0, ckfs_cipher_frame(plain), CKFS_PACKET_BUFFER + 1));
  EXPECT_EQ(ckfs_frame_decrypt(plain, CKFS_PACKET_BUFFER + 1, crc), -1);
  ckfs_cipher_free(plain);
  EXPECT_EQ(ckfs_cipher_new(0, kKey), nullptr);
  EXPECT_EQ(ckfs_cipher_new(4, kKey), nullptr);
}

TEST(FrameTest, PacketWhoseLengthExceedsWhatArrivedIsARreadError) {
  auto packet = std::make_unique<ckfs_packet>();
  uint8_t plain[10] = {0, 5, 0x88, 0, 0, 0, 1, 2, 3, 4};
  EXPECT_EQ(ckfs_packet_parse(plain, 10, packet.get()), ERR_SCKREAD);
  plain[1] = 4;
  EXPECT_EQ(ckfs_packet_parse(plain, 10, packet.get()), 0);
  EXPECT_EQ(ckfs_packet_parse(plain, 5, packet.get()), ERR_SCKREAD);
}

TEST(HostsTest, DefaultAddressIsRenamedAndTheFileRewrittenWithTwoLines) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  testing_support::make_dirs("etc");
  std::string address = ckfs_default_address();
  testing_support::write_file("etc/hosts", "# servers\n" + address + ":80\r\n" +
                                               "backup2.example.invalid:8443  # second\n" +
                                               "no colon here\nthird.example.invalid:1\n");
  ckfs_session session;
  ckfs_session_init(&session);
  snprintf(session.hosts_path, sizeof session.hosts_path, "etc/hosts");
  ASSERT_EQ(ckfs_read_hosts(&session), 0);
  ASSERT_EQ(ckfs_host_count(), 2);
  EXPECT_STREQ(ckfs_host_name(0), ckfs_default_host());
  EXPECT_EQ(ckfs_host_port(0), 80);
  EXPECT_STREQ(ckfs_host_name(1), "backup2.example.invalid");
  EXPECT_EQ(ckfs_host_port(1), 8443);
  EXPECT_EQ(testing_support::read_file("etc/hosts"),
            std::string(ckfs_default_host()) + ":80\nbackup2.example.invalid:8443\n");
}

TEST(HostsTest, PortsMissingFilesAndEmptyLists) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  ckfs_session session;
  ckfs_session_init(&session);
  snprintf(session.hosts_path, sizeof session.hosts_path, "etc/hosts");
  EXPECT_EQ(ckfs_read_hosts(&session), ERR_BADPATH);
  testing_support::make_dirs("etc");
  testing_support::write_file("etc/hosts", "# nothing\nlocalhost\n");
  EXPECT_EQ(ckfs_read_hosts(&session), ERR_IO);
  testing_support::write_file("etc/hosts", "a.invalid:\nb.invalid:12abc\n");
  ASSERT_EQ(ckfs_read_hosts(&session), 0);
  EXPECT_EQ(ckfs_host_port(0), 0);
  EXPECT_EQ(ckfs_host_port(1), 12);
  EXPECT_EQ(testing_support::read_file("etc/hosts"), "a.invalid:\nb.invalid:12abc\n")
      << "only a renamed default address rewrites the file";
  EXPECT_FALSE(ckfs_tcp_connect("127.0.0.1", 0).valid());
  EXPECT_FALSE(ckfs_tcp_connect("127.0.0.1", 70000).valid());
  EXPECT_EQ(ckfs_host_name(5), nullptr);
  // A line longer than the reader's buffer is split, never overrun.
  testing_support::write_file("etc/hosts", std::string(3000, 'h') + ":1\nz.invalid:2\n");
  ASSERT_EQ(ckfs_read_hosts(&session), 0);
  EXPECT_EQ(strlen(ckfs_host_name(0)), 3000u - 2 * 1023u);
}

// ---- reply decoders: truncated and random data ----

std::vector<uint8_t> find_reply() {
  std::vector<uint8_t> out(512);
  kfs_wire::Writer w(out.data(), out.size());
  w.u16(2);
  w.u32(0);
  w.u8(3);
  for (const std::string name : {"first", "second.txt"}) {
    w.u8(0x20);
    w.u32(100);
    w.u64(5);
    w.u64(6);
    w.u8(static_cast<uint8_t>(name.size()));
    w.bytes(name.data(), name.size());
  }
  out.resize(w.size());
  return out;
}

TEST(DecoderTest, EveryTruncationOfAReplyIsAReadError) {
  ckfs_session session;
  ckfs_session_init(&session);
  session.mode = 1;
  std::vector<uint8_t> login = kfs_test::login_reply(0, 77);
  int again = 0;
  for (size_t n = 0; n < login.size(); ++n) {
    EXPECT_EQ(ckfs_login_decode(&session, login.data(), static_cast<int>(n), &again), ERR_SCKREAD);
  }
  ASSERT_EQ(ckfs_login_decode(&session, login.data(), static_cast<int>(login.size()), &again), 0);
  EXPECT_EQ(session.lock_token, 77u);
  std::vector<uint8_t> find = find_reply();
  for (size_t n = 0; n < find.size(); ++n) {
    ckfs_find_request r{};
    EXPECT_EQ(ckfs_find_decode(find.data(), static_cast<int>(n), false, &r), ERR_SCKREAD) << n;
    EXPECT_EQ(r.entries, nullptr);
  }
  ckfs_find_request r{};
  ASSERT_EQ(ckfs_find_decode(find.data(), static_cast<int>(find.size()), false, &r), 0);
  EXPECT_EQ(list_count(r.entries), 2);
  EXPECT_STREQ(reinterpret_cast<ckfs_find_entry*>(list_item(r.entries, 1))->name, "second.txt");
  ckfs_find_free(&r);
  uint8_t open[9] = {1, 0, 2, 0, 1, 0, 0, 0, 3};
  for (int n = 0; n < 9; ++n) {
    ckfs_wopen_request w{};
    EXPECT_EQ(ckfs_wopen_decode(open, n, &w), ERR_SCKREAD);
  }
  uint8_t del[24] = {};
  ckfs_delete_request d{};
  EXPECT_EQ(ckfs_delete_decode(del, 23, &d), ERR_SCKREAD);
  EXPECT_EQ(ckfs_delete_decode(del, 24, &d), 0);
  ckfs_write_request wr{};
  EXPECT_EQ(ckfs_write_decode(del, 1, &wr), ERR_SCKREAD);
}

TEST(DecoderTest, LoginTextsAreCutToTheirCapacity) {
  ckfs_session session;
  ckfs_session_init(&session);
  session.mode = 1;
  std::vector<uint8_t> login = kfs_test::login_reply(0, 1, std::string(200, 'u'));
  int again = 0;
  ASSERT_EQ(ckfs_login_decode(&session, login.data(), static_cast<int>(login.size()), &again), 0);
  EXPECT_EQ(strlen(session.user_name), 20u);
  EXPECT_EQ(strlen(session.user.name), 20u);
  session.keep_lock_token = 1;
  login = kfs_test::login_reply(0, 2);
  ASSERT_EQ(ckfs_login_decode(&session, login.data(), static_cast<int>(login.size()), &again), 0);
  EXPECT_EQ(session.lock_token, 1u);
}

TEST(DecoderTest, ListingCountBeyondTheDataIsRefusedBeforeAllocating) {
  uint8_t reply[7] = {0xff, 0xff, 0, 0, 0, 0, 1};
  ckfs_find_request r{};
  util_fail_next_allocations(1);  // any allocation now would end the process
  EXPECT_EQ(ckfs_find_decode(reply, 7, false, &r), ERR_SCKREAD);
  util_fail_next_allocations(0);
}

TEST(DecoderTest, RandomRepliesNeverOverrun) {
  std::mt19937 random(12345);
  std::vector<uint8_t> data(2048);
  ckfs_session session;
  ckfs_session_init(&session);
  for (int round = 0; round < 3000; ++round) {
    size_t n = random() % data.size();
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(random());
    if (round % 3 == 0 && n > 2) data[0] = 0, data[1] = static_cast<uint8_t>(random() % 8);
    int again = 0;
    (void)ckfs_login_decode(&session, data.data(), static_cast<int>(n), &again);
    EXPECT_LT(strlen(session.user_name), sizeof session.user_name);
    for (bool wide : {false, true}) {
      ckfs_find_request r{};
      if (ckfs_find_decode(data.data(), static_cast<int>(n), wide, &r) == 0) {
        EXPECT_EQ(list_count(r.entries), r.count);
        ckfs_find_free(&r);
      }
    }
    ckfs_wopen_request w{};
    (void)ckfs_wopen_decode(data.data(), static_cast<int>(n), &w);
    auto packet = std::make_unique<ckfs_packet>();
    (void)ckfs_packet_parse(data.data(), static_cast<int>(n), packet.get());
  }
}

}  // namespace
