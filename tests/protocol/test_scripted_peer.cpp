// The client against scripted loopback peers: exact bytes on the wire, malformed and
// dropped answers.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/rand.h>
#include <openssl/rsa.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/ckfs.h"
#include "protocol/wire.h"
#include "tests/support/fault_env.h"
#include "tests/support/kfs_peers.h"
#include "tests/support/test_support.h"

using kfs_test::answer;
using kfs_test::login_reply;
using kfs_test::peer_key;
using kfs_test::peer_key_text;
using kfs_test::ScriptedPeer;
using testing_support::ScopedCwd;
using testing_support::TempDir;

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> list) {
  std::vector<uint8_t> out;
  for (int b : list) out.push_back(static_cast<uint8_t>(b));
  return out;
}

// Handshake and a login answered with `again` and `token`.
void serve_login(kfsd::Conn& conn, uint8_t again = 0, uint32_t token = 0) {
  ASSERT_TRUE(conn.handshake(peer_key(), peer_key_text()));
  kfsd::Packet auth = answer(conn, 0, login_reply(again, token));
  EXPECT_EQ(auth.type, KFS_SESSION_AUTH);
}

class ScriptedPeerTest : public ::testing::Test {
 protected:
  void SetUp() override { cwd_ = std::make_unique<ScopedCwd>(dir_.path()); }
  void TearDown() override {
    ckfs_session_reset(&session_);
    (void)ckfs_cleanup();
  }
  void start(int port) { kfs_test::prepare_session(&session_, port); }

  TempDir dir_;
  std::unique_ptr<ScopedCwd> cwd_;
  ckfs_session session_{};
};

// A peer that sends `text` as its key and then plays a handshake (when the client goes on).
ScriptedPeer::Script key_text_script(std::string text, bool* handshake_done) {
  return [text, handshake_done](int, kfsd::Conn& conn) {
    ASSERT_TRUE(conn.read_greeting());
    ASSERT_TRUE(conn.send_key_text(text));
    kfsd::Packet request;
    int kind = 0;
    if (!conn.read_handshake(peer_key(), &request, &kind)) return;  // client gave up
    kfsd::Packet reply;
    reply.type = 128;
    reply.data.assign(32, 0x5a);
    ASSERT_TRUE(conn.send(reply));
    ASSERT_TRUE(conn.rekey_with(reply.data.data()));
    answer(conn, 0);
    *handshake_done = true;
  };
}

TEST_F(ScriptedPeerTest, KeyTextOf511BytesIsAcceptedAnd512IsRefusedUnread) {
  std::string text = peer_key_text();
  ASSERT_LT(text.size(), 511u);
  bool done511 = false;
  {
    ScriptedPeer peer(key_text_script(text + std::string(511 - text.size(), '\n'), &done511));
    start(peer.port());
    session_.packet.type = KFS_MKDIR;
    session_.packet.flags = CKFS_AWAITS_REPLY;
    EXPECT_EQ(ckfs_handshake(&session_, "127.0.0.1", peer.port()), 0);
    peer.join();
  }
  EXPECT_TRUE(done511);
  bool done512 = false;
  ScriptedPeer peer(key_text_script(text + std::string(512 - text.size(), '\n'), &done512));
  EXPECT_EQ(ckfs_handshake(&session_, "127.0.0.1", peer.port()), ERR_INVARG);
  ckfs_session_reset(&session_);
  peer.join();
  EXPECT_FALSE(done512);
}

TEST_F(ScriptedPeerTest, KeyIsReadFromMemorySoALeftoverKeyFileDoesNotMatter) {
  testing_support::write_file("temp_pem_file.pem", "left by a killed agent");
  ScriptedPeer peer([](int, kfsd::Conn& conn) {
    serve_login(conn);
    answer(conn, 0);
  });
  start(peer.port());
  EXPECT_STREQ(session_.key_file_path, "temp_pem_file.pem");
  ckfs_path_request mkdir{0, "/a"};
  EXPECT_EQ(ckfs_mkdir(&session_, &mkdir), 0);
  EXPECT_EQ(testing_support::read_file("temp_pem_file.pem"), "left by a killed agent");
}

TEST_F(ScriptedPeerTest, KeyThatIsNotA2048BitRsaKeyIsRefused) {
  EVP_PKEY* small = EVP_RSA_gen(1024);
  std::string text = kfsd::public_key_pem(small);
  EVP_PKEY_free(small);
  for (const std::string& key_text : {text, std::string("-----BEGIN PUBLIC KEY-----\nAAAA\n")}) {
    ScriptedPeer peer([key_text](int, kfsd::Conn& conn) {
      conn.read_greeting();
      conn.send_key_text(key_text);
      char c;
      while (read(conn.fd(), &c, 1) > 0) {
      }
    });
    start(peer.port());
    EXPECT_EQ(ckfs_handshake(&session_, "127.0.0.1", peer.port()), ERR_BADPATH);
    ckfs_session_reset(&session_);
  }
}

// Handshake replies that are not the expected 32-byte, type 128, number 0, status 0 packet.
TEST_F(ScriptedPeerTest, UnexpectedHandshakeRepliesAreRefused) {
  struct Case {
    size_t length;
    uint8_t type;
    uint16_t number;
    uint8_t status;
  };
  for (Case c : {Case{31, 128, 0, 0}, Case{32, 128, 1, 0}, Case{32, 129, 0, 0}, Case{32, 128, 0, 4},
                 Case{33, 128, 0, 0}}) {
    ScriptedPeer peer([c](int, kfsd::Conn& conn) {
      kfsd::Packet request;
      int kind = 0;
      ASSERT_TRUE(conn.read_greeting());
      ASSERT_TRUE(conn.send_key_text(peer_key_text()));
      ASSERT_TRUE(conn.read_handshake(peer_key(), &request, &kind));
      EXPECT_EQ(kind, 3);
      EXPECT_EQ(request.data.size(), 34u);
      kfsd::Packet reply;
      reply.type = c.type;
      reply.request_number = c.number;
      reply.status = c.status;
      reply.data.assign(c.length, 1);
      conn.send(reply);
    });
    start(peer.port());
    session_.packet.type = KFS_MKDIR;
    session_.packet.length = 3;
    session_.packet.request_number = 77;
    memcpy(session_.packet.data, "abc", 3);
    EXPECT_EQ(ckfs_handshake(&session_, "127.0.0.1", peer.port()), ERR_ACCESS) << c.length;
    // The next server must receive the same pending request.
    EXPECT_EQ(session_.packet.type, KFS_MKDIR);
    EXPECT_EQ(session_.packet.length, 3);
    EXPECT_EQ(session_.packet.request_number, 77);
    EXPECT_EQ(0, memcmp(session_.packet.data, "abc", 3));
    // Through the server list every failed server ends as ERR_IO.
    ckfs_session_reset(&session_);
  }
}

TEST_F(ScriptedPeerTest, ChecksumMismatchIsAReadErrorAndKeepsTheConnection) {
  ScriptedPeer peer([](int, kfsd::Conn& conn) {
    serve_login(conn);
    kfsd::Packet request;
    ASSERT_TRUE(conn.recv(&request));
    kfsd::Packet reply;
    reply.type = KFS_MKDIR | 0x80;
    conn.send(reply, /*corrupt_crc=*/true);
    answer(conn, ERR_EXISTS);
  });
  start(peer.port());
  ckfs_path_request mkdir{0, "/docs"};
  EXPECT_EQ(ckfs_mkdir(&session_, &mkdir), ERR_SCKREAD);
  int socket_before = session_.socket.get();
  EXPECT_GE(socket_before, 0);
  EXPECT_EQ(ckfs_mkdir(&session_, &mkdir), ERR_EXISTS);
  EXPECT_EQ(session_.socket.get(), socket_before);
}

// A reply that is not the request's puts the stream out of step: the next request goes on a
// new connection instead of reading the reply meant for this one.
TEST_F(ScriptedPeerTest, ReplyOfAnotherTypeOrNumberIsASequenceErrorAndEndsTheConnection) {
  ScriptedPeer peer(
      [](int index, kfsd::Conn& conn) {
        serve_login(conn);
        kfsd::Packet request;
        ASSERT_TRUE(conn.recv(&request));
        EXPECT_EQ(request.type, KFS_DELETE);
        kfsd::Packet reply;
        reply.type = index == 0 ? KFS_MKDIR | 0x80 : KFS_DELETE | 0x80;
        reply.request_number = static_cast<uint16_t>(request.request_number + index);
        reply.data.assign(24, 0);
        conn.send(reply);
        if (index == 0) conn.send(reply);  // a second stray the next request must not read
      },
      2);
  start(peer.port());
  ckfs_delete_request del{0, "/gone", 0, 0, 0, 0};
  EXPECT_EQ(ckfs_delete(&session_, &del), ERR_SEQUENCE);
  EXPECT_EQ(ckfs_delete(&session_, &del), ERR_SEQUENCE);
  EXPECT_EQ(session_.connections, 2u);
  peer.join();
}

TEST_F(ScriptedPeerTest, FrameLongerThanTheBufferIsAReadError) {
  ScriptedPeer peer([](int, kfsd::Conn& conn) {
    serve_login(conn);
    kfsd::Packet request;
    ASSERT_TRUE(conn.recv(&request));
    uint8_t head[6] = {0xff, 0xff, 0, 0, 0, 0};  // 65535 > the frame buffer
    conn.send_raw(head, sizeof head);
    std::vector<uint8_t> junk(70000, 0x33);
    conn.send_raw(junk.data(), junk.size());
  });
  start(peer.port());
  ckfs_path_request mkdir{0, "/x"};
  EXPECT_EQ(ckfs_mkdir(&session_, &mkdir), ERR_SCKREAD);
}

TEST_F(ScriptedPeerTest, DroppedConnectionIsHealedByANewHandshakeAndLoginBeforeTheResend) {
  std::vector<uint8_t> halves[2];
  kfsd::Packet resent;
  ScriptedPeer peer(
      [&](int index, kfsd::Conn& conn) {
        serve_login(conn, 0, index == 0 ? 0x11111111u : 0x22222222u);
        halves[index].assign(conn.client_half(), conn.client_half() + 32);
        if (index == 0) {
          answer(conn, 0);  // the lock
          return;           // and the connection drops
        }
        resent = answer(conn, 0);
      },
      2);
  start(peer.port());
  session_.reconnect_wait_ms = CKFS_RECONNECT_WAIT_MS;
  testing_support::ManualClockEnv clock;  // records the waits instead of spending them
  session_.env = &clock;
  const std::vector<uint32_t>& g_waits = clock.sleeps;
  uint32_t user = 5;
  ckfs_lock_request lock{0, 1, &user};
  ASSERT_EQ(ckfs_user_lock(&session_, &lock), 0);
  EXPECT_EQ(session_.first_connect, 0);
  EXPECT_TRUE(g_waits.empty()) << "the first connection does not wait";
  EXPECT_EQ(session_.lock_token, 0x11111111u);
  session_.keep_lock_token = 1;
  // Wait until the close has arrived, so the probe sees it.
  pollfd p{session_.socket.get(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 10000), 1);
  ckfs_path_request mkdir{0, "/docs/new"};
  EXPECT_EQ(ckfs_mkdir(&session_, &mkdir), 0);
  EXPECT_EQ(g_waits, std::vector<uint32_t>{30000}) << "a reconnection waits 30 seconds first";
  peer.join();
  EXPECT_EQ(resent.type, KFS_MKDIR);
  EXPECT_EQ(resent.data, bytes({0, 0, 9, '/', 'd', 'o', 'c', 's', '/', 'n', 'e', 'w'}));
  EXPECT_NE(halves[0], halves[1]) << "every connection agrees a new key";
  EXPECT_EQ(session_.lock_token, 0x11111111u) << "kept while the index is in use";
}

TEST_F(ScriptedPeerTest, ReconnectionWaitComesFromTheEnvironment) {
  setenv("VARNO_RECONNECT_WAIT_MS", "25", 1);
  ckfs_session_init(&session_);
  EXPECT_EQ(session_.reconnect_wait_ms, 25u);
  setenv("VARNO_RECONNECT_WAIT_MS", "soon", 1);
  ckfs_session_init(&session_);
  EXPECT_EQ(session_.reconnect_wait_ms, 30000u);
  unsetenv("VARNO_RECONNECT_WAIT_MS");
  ckfs_session_init(&session_);
  EXPECT_EQ(session_.reconnect_wait_ms, 30000u);
  EXPECT_EQ(session_.first_connect, 1);
  EXPECT_FALSE(session_.socket.valid());
  EXPECT_EQ(session_.env, plat_env());
}

TEST_F(ScriptedPeerTest, AgainByteMakesTheClientLogInAfreshBeforeTheRequest) {
  std::vector<uint8_t> auth[2];
  kfsd::Packet lock_seen;
  ScriptedPeer peer(
      [&](int index, kfsd::Conn& conn) {
        ASSERT_TRUE(conn.handshake(peer_key(), peer_key_text()));
        kfsd::Packet a = answer(conn, 0, login_reply(index == 0 ? 1 : 0, 3));
        auth[index] = a.data;
        if (index == 1) lock_seen = answer(conn, 0);
      },
      2);
  start(peer.port());
  uint32_t user = 5;
  ckfs_lock_request lock{0, 1, &user};
  EXPECT_EQ(ckfs_user_lock(&session_, &lock), 0);
  peer.join();
  EXPECT_EQ(auth[0], auth[1]);
  EXPECT_EQ(lock_seen.type, KFS_USER_LOCK);
  EXPECT_STREQ(session_.user_name, "bob");
  EXPECT_STREQ(session_.account.name, "acme");
  EXPECT_EQ(session_.trailing_byte, 9);
}

TEST_F(ScriptedPeerTest, ServerThatAlwaysAsksAgainIsGivenUpOn) {
  ScriptedPeer peer([](int, kfsd::Conn& conn) { serve_login(conn, 1); }, CKFS_LOGIN_AGAIN_MAX + 1);
  start(peer.port());
  uint32_t user = 5;
  ckfs_lock_request lock{0, 1, &user};
  EXPECT_EQ(ckfs_user_lock(&session_, &lock), ERR_SEQUENCE);
}

TEST_F(ScriptedPeerTest, LoginRequestBytesAndRefusal) {
  kfsd::Packet auth;
  ScriptedPeer peer([&](int, kfsd::Conn& conn) {
    ASSERT_TRUE(conn.handshake(peer_key(), peer_key_text()));
    auth = answer(conn, ERR_ACCOUNT_STATUS_INACTIVE);
  });
  start(peer.port());
  session_.schedule_name[0] = '\0';
  uint32_t user = 5;
  ckfs_lock_request lock{0, 1, &user};
  EXPECT_EQ(ckfs_user_lock(&session_, &lock), ERR_ACCOUNT_STATUS_INACTIVE);
  peer.join();
  std::vector<uint8_t> expected = bytes({1, 0, 0, 0, 7});
  expected.insert(expected.end(), 20, 0x11);
  expected.insert(expected.end(), 20, 0xab);
  for (int b : {0, 0, 0, 0, 0, 0, 0, 11}) expected.push_back(static_cast<uint8_t>(b));
  for (char c : std::string("nightly.kbs")) expected.push_back(static_cast<uint8_t>(c));
  EXPECT_EQ(auth.data, expected);
}

TEST_F(ScriptedPeerTest, LockAndReleaseCarryTheTokenBytes) {
  std::vector<uint8_t> seen[2];
  ScriptedPeer peer([&](int, kfsd::Conn& conn) {
    serve_login(conn, 0, 0x01020304);
    seen[0] = answer(conn, 0).data;
    seen[1] = answer(conn, 0).data;
  });
  start(peer.port());
  uint32_t user = 5;
  ckfs_lock_request lock{0, 1, &user};
  ASSERT_EQ(ckfs_user_lock(&session_, &lock), 0);
  ckfs_lock_request release{CKFS_LOCK_RELEASE | CKFS_LOCK_SEND_TOKEN, 0, nullptr};
  ASSERT_EQ(ckfs_user_lock(&session_, &release), 0);
  peer.join();
  EXPECT_EQ(seen[0], bytes({0, 0, 1, 0, 0, 0, 5}));
  EXPECT_EQ(seen[1], bytes({5, 1, 2, 3, 4}));
}

TEST_F(ScriptedPeerTest, EmailIsSplitIntoPartsOfAtMost60000Bytes) {
  std::vector<kfsd::Packet> parts;
  ScriptedPeer peer([&](int, kfsd::Conn& conn) {
    serve_login(conn);
    for (int i = 0; i < 3; ++i) parts.push_back(answer(conn, 0));
  });
  start(peer.port());
  std::string text(150000, 'x');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
  List* recipients = list_create(1, 1, nullptr);
  list_insert(recipients, "a@b", 3, 0);
  ckfs_email_request mail{0x0102030405060708ull, recipients, 150000, text.data()};
  EXPECT_EQ(ckfs_email(&session_, &mail), 0);
  list_free(recipients);
  peer.join();
  ASSERT_EQ(parts.size(), 3u);
  kfs_wire::Reader r(parts[0].data.data(), parts[0].data.size());
  EXPECT_EQ(r.u8(), 0);
  EXPECT_EQ(r.u64(), 0x0102030405060708ull);
  EXPECT_EQ(r.u8(), 1);
  EXPECT_EQ(r.u8(), 3);
  r.bytes(3);
  EXPECT_EQ(r.u32(), 150000u);
  EXPECT_EQ(r.position(), 18u);
  uint16_t first = r.u16();
  EXPECT_EQ(first, 59982);
  std::string joined(reinterpret_cast<const char*>(r.bytes(first)), first);
  EXPECT_EQ(parts[0].data.size(), 60000u + 2);  // within 60000 up to the total, then u16
  std::vector<uint16_t> lengths;
  for (int i = 1; i < 3; ++i) {
    kfs_wire::Reader c(parts[i].data.data(), parts[i].data.size());
    EXPECT_EQ(c.u8(), 2);
    uint16_t n = c.u16();
    lengths.push_back(n);
    joined.append(reinterpret_cast<const char*>(c.bytes(n)), n);
    EXPECT_TRUE(c.ok());
  }
  EXPECT_EQ(lengths, (std::vector<uint16_t>{60000, 30018}));
  EXPECT_EQ(joined, text);
}

TEST_F(ScriptedPeerTest, WriteOf65491BytesIsSentAnd65492IsRefusedWithoutTraffic) {
  std::vector<kfsd::Packet> seen;
  ScriptedPeer peer([&](int, kfsd::Conn& conn) {
    serve_login(conn);
    seen.push_back(answer(conn, 0, bytes({0xff, 0xd3})));
    kfsd::Packet next;
    ASSERT_TRUE(conn.recv(&next));  // no reply awaited
    seen.push_back(next);
    ASSERT_TRUE(conn.recv(&next));
    seen.push_back(next);
  });
  start(peer.port());
  std::vector<uint8_t> data(65492, 0x42);
  ckfs_write_request query{3, CKFS_WRITE_QUERY, 65491, data.data(), 0};
  EXPECT_EQ(ckfs_file_write(&session_, &query), 0);
  EXPECT_EQ(query.taken, 65491);
  ckfs_write_request big{3, CKFS_WRITE_DATA, 65492, data.data(), 0};
  EXPECT_EQ(ckfs_file_write(&session_, &big), ERR_DATAMAX);
  ckfs_write_request chunk{3, CKFS_WRITE_DATA, 100, data.data(), 0};
  EXPECT_EQ(ckfs_file_write(&session_, &chunk), 0);
  EXPECT_EQ(chunk.taken, 100);
  EXPECT_EQ(ckfs_file_close(&session_, 3), 0);
  peer.join();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].data.size(), 65495u);
  EXPECT_EQ(seen[1].type, KFS_FILE_WRITE);
  EXPECT_EQ(seen[1].data.size(), 104u);
  EXPECT_EQ(seen[1].data[1], CKFS_WRITE_DATA);
  EXPECT_EQ(seen[2].type, KFS_FILE_CLOSE);
  EXPECT_EQ(seen[2].data, bytes({3}));
}

TEST_F(ScriptedPeerTest, ListingsAndOpenRepliesAreDecoded) {
  ScriptedPeer peer([&](int, kfsd::Conn& conn) {
    serve_login(conn);
    answer(conn, 0, bytes({0, 0, 0, 0, 0, 0, 9}));  // empty listing
    std::vector<uint8_t> one = bytes({0, 1, 0, 0, 0, 2, 4, 0x20, 0, 0, 1, 0});
    one.insert(one.end(), 7, 0);
    one.push_back(5);
    one.insert(one.end(), 8, 0);
    one.push_back(3);
    for (char c : std::string("a.b")) one.push_back(static_cast<uint8_t>(c));
    answer(conn, 0, one);
    answer(conn, 0, bytes({4, 0, 2, 0, 1, 0, 0, 0, 3}));
    answer(conn, ERR_UP2DATE);
    answer(conn, 0, bytes({0, 0}));  // short open reply
  });
  start(peer.port());
  ckfs_find_request find{0, 0x20, "", "/", 0, 0, 0, nullptr};
  ASSERT_EQ(ckfs_find_files(&session_, &find), 0);
  ASSERT_NE(find.entries, nullptr);
  EXPECT_EQ(list_count(find.entries), 0);
  ckfs_find_free(&find);
  ASSERT_EQ(ckfs_find_files(&session_, &find), 0);
  EXPECT_EQ(find.remaining, 2u);
  EXPECT_EQ(find.reply_handle, 4);
  ASSERT_EQ(list_count(find.entries), 1);
  auto* entry = reinterpret_cast<ckfs_find_entry*>(list_item(find.entries, 0));
  EXPECT_STREQ(entry->name, "a.b");
  EXPECT_EQ(entry->kind, 0x20u);
  EXPECT_EQ(entry->modification_time, 0x100u);
  EXPECT_EQ(entry->size, 5u);
  ckfs_find_free(&find);
  ckfs_wopen_request open{1, 7, "/f", 10, 0, nullptr, 0, 0, 0, 0};
  ASSERT_EQ(ckfs_file_wopen(&session_, &open), 0);
  EXPECT_EQ(open.handle, 4);
  EXPECT_EQ(open.checksummed_blocks, 2);
  EXPECT_EQ(open.block_size, 65536u);
  EXPECT_EQ(open.block_count, 3);
  EXPECT_EQ(ckfs_file_wopen(&session_, &open), ERR_UP2DATE);
  EXPECT_EQ(ckfs_file_wopen(&session_, &open), ERR_SCKREAD);
}

TEST_F(ScriptedPeerTest, SendToAClosedPeerFailsWithoutSignal) {
  ScriptedPeer peer([](int, kfsd::Conn& conn) { conn.close_now(); });
  Socket socket = ckfs_tcp_connect("127.0.0.1", peer.port());
  ASSERT_TRUE(socket.valid());
  const int fd = socket.get();
  peer.join();
  std::vector<uint8_t> data(1 << 20, 1);
  int result = 0;
  for (int i = 0; i < 20 && result >= 0; ++i) {
    result = ckfs_send_all(fd, data.data(), static_cast<int>(data.size()));
  }
  EXPECT_EQ(result, -1);  // and the process is still here
  uint8_t b;
  EXPECT_EQ(ckfs_recv_all(fd, &b, 1), -1);
}

TEST_F(ScriptedPeerTest, NoServerAcceptingGivesIoError) {
  int port;
  {
    ScriptedPeer peer([](int, kfsd::Conn& conn) { conn.close_now(); });
    port = peer.port();
  }
  start(port);
  ckfs_path_request mkdir{0, "/x"};
  EXPECT_EQ(ckfs_mkdir(&session_, &mkdir), ERR_IO);
  session_.cipher_kind = 4;
  EXPECT_EQ(ckfs_connect(&session_), ERR_ACCESS);
  session_.cipher_kind = 3;
  while (ckfs_is_started()) (void)ckfs_cleanup();
  EXPECT_FALSE(ckfs_is_started());
  EXPECT_EQ(ckfs_connect(&session_), ERR_SEQUENCE);
  EXPECT_EQ(ckfs_init(), 0);
}

}  // namespace
