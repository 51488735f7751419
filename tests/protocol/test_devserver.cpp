// The client against the real kfs-devserver over loopback: sessions, locks, folders,
// listings, versioned uploads with unchanged blocks skipped, mail, faults and restore.
#include <gtest/gtest.h>
#include <poll.h>

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "protocol/ckfs.h"
#include "tests/support/kfs_peers.h"
#include "tests/support/test_support.h"
#include "tools/kfs-devserver/faults.h"

namespace fs = std::filesystem;
using kfs_test::DevServer;
using testing_support::ScopedCwd;
using testing_support::TempDir;

namespace {

const char kAccountKeyHex[] = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";

std::vector<uint8_t> account_key() {
  std::vector<uint8_t> key(32);
  for (int i = 0; i < 32; ++i) key[i] = static_cast<uint8_t>(i);
  return key;
}

// What the transfer chain sends for one block: one zlib stream at level 9, encrypted with
// AES-256-CBC under the account key and a zero IV.
std::vector<uint8_t> chain_payload(const std::string& block) {
  uLongf bound = compressBound(block.size());
  std::vector<uint8_t> packed(bound);
  EXPECT_EQ(compress2(packed.data(), &bound, reinterpret_cast<const Bytef*>(block.data()),
                      block.size(), 9),
            Z_OK);
  packed.resize(bound);
  std::vector<uint8_t> out(packed.size() + 16);
  uint8_t iv[16] = {};
  std::vector<uint8_t> key = account_key();
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int n = 0, m = 0;
  EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key.data(), iv);
  EVP_EncryptUpdate(ctx, out.data(), &n, packed.data(), static_cast<int>(packed.size()));
  EVP_EncryptFinal_ex(ctx, out.data() + n, &m);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<size_t>(n + m));
  return out;
}

std::vector<uint8_t> md5_of(const std::string& s) {
  std::vector<uint8_t> d(16);
  unsigned int n = 0;
  EVP_Digest(s.data(), s.size(), d.data(), &n, EVP_md5(), nullptr);
  return d;
}

struct Upload {
  int result = 0;
  int blocks_sent = 0;
  int blocks_skipped = 0;
};

// The per-file exchange: open, query each block, send changed blocks, close.
Upload upload(ckfs_session* s, const std::string& path, const std::string& content, int64_t mtime) {
  Upload u;
  std::string record = "security";
  ckfs_wopen_request open{1,
                          mtime,
                          path.c_str(),
                          content.size(),
                          static_cast<uint16_t>(record.size()),
                          reinterpret_cast<const uint8_t*>(record.data()),
                          0,
                          0,
                          0,
                          0};
  u.result = ckfs_file_wopen(s, &open);
  if (u.result != 0) return u;
  for (int j = 0; j < open.block_count; ++j) {
    std::string block = content.substr(static_cast<size_t>(j) * open.block_size, open.block_size);
    std::vector<uint8_t> md5 = md5_of(block);
    bool single = open.block_count == 1;
    ckfs_write_request query{open.handle, CKFS_WRITE_QUERY, 0, nullptr, 0};
    if (!single && j < open.checksummed_blocks) {
      query.length = 16;
      query.data = md5.data();
    }
    int rc = ckfs_file_write(s, &query);
    if (rc == ERR_UP2DATE) {
      ++u.blocks_skipped;
      continue;
    }
    if (rc != 0) {
      u.result = rc;
      break;
    }
    std::vector<uint8_t> payload = chain_payload(block);
    for (size_t at = 0; at < payload.size(); at += 65466) {
      size_t n = std::min<size_t>(65466, payload.size() - at);
      ckfs_write_request data{open.handle, CKFS_WRITE_DATA, static_cast<uint32_t>(n),
                              payload.data() + at, 0};
      EXPECT_EQ(ckfs_file_write(s, &data), 0);
    }
    ckfs_write_request end{open.handle, CKFS_WRITE_END, single ? 0u : 16u, md5.data(), 0};
    EXPECT_EQ(ckfs_file_write(s, &end), 0);
    ++u.blocks_sent;
  }
  EXPECT_EQ(ckfs_file_close(s, open.handle), 0);
  return u;
}

std::string pattern_text(size_t n, int seed) {
  std::string s(n, '\0');
  uint32_t x = static_cast<uint32_t>(seed) * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>('a' + (x >> 16) % 7);
  }
  return s;
}

class DevServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = dir_.file("store");
    work_ = dir_.file("work");
    testing_support::make_dirs(work_);
    cwd_ = std::make_unique<ScopedCwd>(work_);
  }
  void TearDown() override {
    ckfs_session_reset(&session_);
    ckfs_session_reset(&other_);
    // Every fault a test planned must have fired, or the test proved nothing.
    if (server_) {
      EXPECT_EQ(server_->stop(), 0) << server_->errors();
    }
    server_.reset();
    while (ckfs_is_started()) (void)ckfs_cleanup();
  }
  void start_server(const std::vector<std::string>& extra = {}) {
    server_ = std::make_unique<DevServer>(store_, extra);
    kfs_test::prepare_session(&session_, server_->port());
    SHA1(account_key().data(), 32, session_.key_digest);
  }
  int lock(ckfs_session* s, uint32_t user = 5) {
    ckfs_lock_request request{0, 1, &user};
    return ckfs_user_lock(s, &request);
  }
  std::vector<std::string> list_folder(const char* folder, int* requests = nullptr) {
    std::vector<std::string> names;
    ckfs_find_request find{0, 0x20, "", folder, 0, 0, 0, nullptr};
    int count = 0;
    for (;;) {
      EXPECT_EQ(ckfs_find_files(&session_, &find), 0);
      ++count;
      if (find.entries == nullptr) break;
      for (int i = 0; i < list_count(find.entries); ++i) {
        names.push_back(reinterpret_cast<ckfs_find_entry*>(list_item(find.entries, i))->name);
      }
      ckfs_find_free(&find);
      if (find.remaining == 0) break;
      find.handle = find.reply_handle;
      find.folder = "";
    }
    if (requests != nullptr) *requests = count;
    return names;
  }
  int restore(const std::string& to, const char* key = kAccountKeyHex,
              const char* dest_flag = "--dest") {
    // The last close has no reply: a request that has one shows the server handled it.
    list_folder("/");
    // The store commits its changes at the lock's release; the lock is taken again after.
    ckfs_lock_request release{CKFS_LOCK_RELEASE, 0, nullptr};
    EXPECT_EQ(ckfs_user_lock(&session_, &release), 0);
    EXPECT_EQ(lock(&session_), 0);
    std::string command =
        std::string(VARNO_BUILD_DIR) + "/tools/kfs-devserver/kfs-devserver restore --store " +
        store_ + " " + dest_flag + " 5 --account-key " + key + " --to " + to + " >/dev/null 2>&1";
    return testing_support::run_command(command);
  }

  TempDir dir_;
  std::string store_;
  std::string work_;
  std::unique_ptr<ScopedCwd> cwd_;
  std::unique_ptr<DevServer> server_;
  ckfs_session session_{};
  ckfs_session other_{};
};

TEST_F(DevServerTest, FilesGoUpAsVersionsAndRestoreToTheirPlainBytes) {
  start_server({"--block-size", "4096"});
  ASSERT_EQ(lock(&session_), 0);
  EXPECT_STREQ(session_.user_name, "user-7");
  ckfs_path_request docs{0, "/docs"};
  EXPECT_EQ(ckfs_mkdir(&session_, &docs), 0);
  EXPECT_EQ(ckfs_mkdir(&session_, &docs), ERR_EXISTS);
  std::string big = pattern_text(10000, 1);
  Upload u = upload(&session_, "/docs/big.txt", big, 1700000000);
  EXPECT_EQ(u.result, 0);
  EXPECT_EQ(u.blocks_sent, 3);
  EXPECT_EQ(upload(&session_, "/docs/empty", "", 1700000001).result, 0);
  EXPECT_EQ(upload(&session_, "/docs/one", "single block", 1700000002).blocks_sent, 1);
  EXPECT_EQ(upload(&session_, "/docs/big.txt", big, 1700000000).result, ERR_UP2DATE);
  EXPECT_EQ(list_folder("/docs"), (std::vector<std::string>{"big.txt", "empty", "one"}));

  std::string to = dir_.file("restored");
  ASSERT_EQ(restore(to), 0);
  EXPECT_EQ(testing_support::read_file(to + "/docs/big.txt"), big);
  EXPECT_EQ(testing_support::read_file(to + "/docs/empty"), "");
  EXPECT_EQ(testing_support::read_file(to + "/docs/one"), "single block");
  std::string old_name = dir_.file("restored-by-user");
  ASSERT_EQ(restore(old_name, kAccountKeyHex, "--user"), 0) << "--user stays an alias of --dest";
  EXPECT_EQ(testing_support::read_file(old_name + "/docs/big.txt"), big);
  EXPECT_NE(restore(dir_.file("wrong"),
                    "ff0102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"),
            0);
}

TEST_F(DevServerTest, OnlyChangedBlocksAreSentAgain) {
  start_server({"--block-size", "4096"});
  ASSERT_EQ(lock(&session_), 0);
  std::string v1 = pattern_text(12000, 2);
  ASSERT_EQ(upload(&session_, "/f.bin", v1, 100).blocks_sent, 3);
  std::string v2 = v1;
  v2[5000] = 'Z';
  Upload u = upload(&session_, "/f.bin", v2, 200);
  EXPECT_EQ(u.result, 0);
  EXPECT_EQ(u.blocks_sent, 1);
  EXPECT_EQ(u.blocks_skipped, 2);
  std::string to = dir_.file("restored");
  ASSERT_EQ(restore(to), 0);
  EXPECT_EQ(testing_support::read_file(to + "/f.bin"), v2);
}

TEST_F(DevServerTest, AnInterruptedUploadLeavesTheStoredVersion) {
  start_server({"--block-size", "4096"});
  ASSERT_EQ(lock(&session_), 0);
  std::string v1 = pattern_text(9000, 3);
  ASSERT_EQ(upload(&session_, "/f", v1, 1).result, 0);
  ckfs_wopen_request open{1, 2, "/f", 9000, 0, nullptr, 0, 0, 0, 0};
  ASSERT_EQ(ckfs_file_wopen(&session_, &open), 0);
  EXPECT_EQ(open.checksummed_blocks, 3);
  EXPECT_EQ(ckfs_file_close(&session_, open.handle), 0);  // nothing sent
  std::string to = dir_.file("restored");
  ASSERT_EQ(restore(to), 0);
  EXPECT_EQ(testing_support::read_file(to + "/f"), v1);
}

TEST_F(DevServerTest, KeyDigestIsRegisteredAtFirstLoginAndMustMatchLater) {
  start_server();
  ASSERT_EQ(lock(&session_), 0);
  kfs_test::prepare_session(&other_, server_->port());
  memset(other_.key_digest, 0x99, 20);
  EXPECT_EQ(lock(&other_), ERR_AUTH_FAILURE);
}

TEST_F(DevServerTest, LockIsExclusivePerDestinationAndItsTokenComesBackAtLogin) {
  start_server();
  ASSERT_EQ(lock(&session_), 0);
  kfs_test::prepare_session(&other_, server_->port());
  memcpy(other_.key_digest, session_.key_digest, 20);
  EXPECT_EQ(lock(&other_, 5), ERR_ACCESS);
  EXPECT_EQ(lock(&other_, 6), 0);
  ckfs_path_request folder{0, "/x"};
  EXPECT_EQ(ckfs_mkdir(&other_, &folder), 0) << "works on its own destination";
  session_.lock_token = 0xCAFE;
  ckfs_lock_request release{CKFS_LOCK_RELEASE | CKFS_LOCK_SEND_TOKEN, 0, nullptr};
  ASSERT_EQ(ckfs_user_lock(&session_, &release), 0);
  EXPECT_EQ(ckfs_mkdir(&session_, &folder), ERR_ACCESS) << "no lock, no changes";
  EXPECT_EQ(lock(&other_, 5), 0);
  ckfs_session_reset(&session_);
  kfs_test::prepare_session(&session_, server_->port());
  memcpy(session_.key_digest, other_.key_digest, 20);
  EXPECT_EQ(lock(&session_, 9), 0);
  EXPECT_EQ(session_.lock_token, 0xCAFEu);
}

TEST_F(DevServerTest, ListingsArePagedThroughTheirHandle) {
  start_server({"--page-size", "2"});
  ASSERT_EQ(lock(&session_), 0);
  for (const char* name : {"/d/e", "/d/a", "/d/c", "/d/b"}) {
    ckfs_path_request folder{0, name};
    ASSERT_EQ(ckfs_mkdir(&session_, &folder), 0);
  }
  ASSERT_EQ(upload(&session_, "/d/f", "x", 5).result, 0);
  int requests = 0;
  EXPECT_EQ(list_folder("/d", &requests), (std::vector<std::string>{"a", "b", "c", "e", "f"}));
  EXPECT_EQ(requests, 3);
  ckfs_find_request missing{0, 0x20, "", "/nothing", 0, 0, 0, nullptr};
  EXPECT_EQ(ckfs_find_files(&session_, &missing), ERR_BADPATH);
  EXPECT_EQ(missing.entries, nullptr);
}

TEST_F(DevServerTest, DeletesRemoveFilesWithFlags0AndFoldersWithFlags1) {
  start_server();
  ASSERT_EQ(lock(&session_), 0);
  ckfs_path_request folder{0, "/d/sub"};
  ASSERT_EQ(ckfs_mkdir(&session_, &folder), 0);
  ASSERT_EQ(upload(&session_, "/d/sub/f", "12345", 5).result, 0);
  ckfs_delete_request del{0, "/d", 0, 0, 0, 0};
  EXPECT_EQ(ckfs_delete(&session_, &del), ERR_NOTFILE);
  del.flags = 1;
  EXPECT_EQ(ckfs_delete(&session_, &del), 0);
  EXPECT_EQ(del.value1, 1u);
  EXPECT_EQ(del.value2, 2u);
  EXPECT_EQ(del.value3, 5u);
  EXPECT_EQ(ckfs_delete(&session_, &del), ERR_BADPATH);
  EXPECT_TRUE(list_folder("/").empty());
  // A file stands where a folder is wanted.
  ASSERT_EQ(upload(&session_, "/plain", "p", 5).result, 0);
  ckfs_path_request below{0, "/plain/sub"};
  EXPECT_EQ(ckfs_mkdir(&session_, &below), ERR_NOTDIR);
  ckfs_path_request same{0, "/plain"};
  EXPECT_EQ(ckfs_mkdir(&session_, &same), ERR_NOTDIR);
  EXPECT_EQ(upload(&session_, "/plain/inner", "i", 5).result, ERR_NOTDIR);
}

TEST_F(DevServerTest, RestartedUploadsDoNotExhaustHandles) {
  start_server();
  ASSERT_EQ(lock(&session_), 0);
  for (int i = 0; i < 300; ++i) {
    ckfs_wopen_request open{1, 2, "/again", 10, 0, nullptr, 0, 0, 0, 0};
    ASSERT_EQ(ckfs_file_wopen(&session_, &open), 0) << i;
  }
}

TEST_F(DevServerTest, MailIsStoredWhole) {
  start_server();
  ASSERT_EQ(lock(&session_), 0);
  std::string text = pattern_text(150000, 4);
  List* to = list_create(2, 1, nullptr);
  list_insert(to, "a@example.invalid", 17, 0);
  ckfs_email_request mail{77, to, static_cast<uint32_t>(text.size()), text.data()};
  EXPECT_EQ(ckfs_email(&session_, &mail), 0);
  list_free(to);
  std::vector<fs::path> stored;
  for (const auto& e : fs::directory_iterator(store_ + "/mail")) stored.push_back(e.path());
  ASSERT_EQ(stored.size(), 1u);
  std::string got = testing_support::read_file(stored[0].string());
  EXPECT_NE(got.find("X-Kfs-Recipients: a@example.invalid"), std::string::npos);
  EXPECT_EQ(got.substr(got.size() - text.size()), text);
}

TEST_F(DevServerTest, DroppedConnectionIsHealedTransparently) {
  start_server({"--drop-after", "2", "--verbose"});
  ASSERT_EQ(lock(&session_), 0);  // the login and the lock: then the server drops
  session_.reconnect_wait_ms = 1;
  // The server closes just after its reply; the probe finds it once it has arrived.
  pollfd p{session_.socket.get(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 10000), 1);
  // The same user and schedule take their lock over on the new connection.
  ckfs_path_request folder{0, "/after"};
  EXPECT_EQ(ckfs_mkdir(&session_, &folder), 0);
  kfs_test::prepare_session(&other_, server_->port());
  memcpy(other_.key_digest, session_.key_digest, 20);
  snprintf(other_.schedule_file, sizeof other_.schedule_file, "other.kbs");
  EXPECT_EQ(lock(&other_), ERR_ACCESS);
  std::string log = server_->output();
  EXPECT_NE(log.find("conn 1 dropped"), std::string::npos) << log;
  EXPECT_NE(log.find("conn 2 handshake"), std::string::npos) << log;
}

TEST_F(DevServerTest, InjectedFaultsReachTheCallerAsCodes) {
  {
    start_server({"--corrupt-crc", "2"});
    EXPECT_EQ(lock(&session_), ERR_SCKREAD);
    TearDown();
  }
  {
    start_server({"--refuse-login", "23"});
    EXPECT_EQ(lock(&session_), ERR_ACCOUNT_STATUS_INACTIVE);
    TearDown();
  }
  {
    start_server({"--hold-lock", "5:600"});
    EXPECT_EQ(lock(&session_, 5), ERR_ACCESS);
    EXPECT_EQ(lock(&session_, 6), 0);
    TearDown();
  }
  {
    start_server({"--fail-query", "1", "--block-size", "4096"});
    ASSERT_EQ(lock(&session_), 0);
    EXPECT_EQ(upload(&session_, "/q", pattern_text(5000, 5), 1).result, ERR_SCKREAD);
    EXPECT_EQ(upload(&session_, "/q", pattern_text(5000, 5), 1).result, 0);
    TearDown();
  }
  {
    start_server({"--again-first-login", "--verbose"});
    EXPECT_EQ(lock(&session_), 0);
    std::string log = server_->output();
    EXPECT_NE(log.find("conn 2 KFS_SESSION_AUTH"), std::string::npos) << log;
  }
}

// The plan counts each fault that fires and names each that never did, at exit, where a
// test can see that its fault missed.
TEST_F(DevServerTest, FaultPlanReportsWhatFiredAndWhatNever) {
  std::string plan = dir_.file("plan");
  testing_support::write_file(plan, "# a plan file\n\nlogin delay 1\nmkdir fail 5 under /a b\n");
  struct Case {
    std::vector<std::string> flags;
    int lock_result;
    int exit_status;
    const char* report;
  } cases[] = {
      {{"--fault", "lock#1 fail ERR_USER_LOCKED"},
       ERR_USER_LOCKED,
       0,
       "fault fired 1 times: lock#1 fail ERR_USER_LOCKED"},
      {{"--fault", "request delay 1", "--fault", "reply#2 delay 1"},
       0,
       0,
       "fault fired 2 times: request delay 1"},
      {{"--fault", "lock#2 fail ERR_IO"},
       0,
       kfsd::kExitFaultMissed,
       "fault never fired: lock#2 fail ERR_IO"},
      {{"--drop-data", "1"}, 0, kfsd::kExitFaultMissed, "fault never fired: file-data#1 drop"},
      {{"--fault-plan", plan},
       0,
       kfsd::kExitFaultMissed,
       "fault never fired: mkdir fail 5 under /a b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.report);
    start_server(c.flags);
    EXPECT_EQ(lock(&session_), c.lock_result);
    ckfs_session_reset(&session_);
    EXPECT_EQ(server_->stop(), c.exit_status);
    EXPECT_NE(server_->errors().find(c.report), std::string::npos) << server_->errors();
    server_.reset();
    while (ckfs_is_started()) (void)ckfs_cleanup();
  }
}

TEST(FaultEntry, IsCheckedWhenParsed) {
  struct Case {
    const char* text;
    bool ok;
  } cases[] = {
      {"request#10 drop", true},
      {"mkdir,open fail ERR_ACCESS under /1/D Drive/ro", true},
      {"lock hold 5 600", true},
      {"reply#3 drop-before", true},
      {"query fail 300", false},
      {"query fail ERR_NOSUCH", false},
      {"request#0 drop", false},
      {"nothing drop", false},
      {"request explode", false},
      {"login hold 5 600", false},
      {"open again", false},
      {"file-data,request#2 drop", false},
      {"reply fail 4", false},
      {"open fail 4 under ", false},
      {"request", false},
      {"open,query#5-40 fail ERR_IO", true},
      {"query#5-4 fail 5", false},
      {"query#5- fail 5", false},
      {"find list-extra f:,d:..", true},
      {"find list-extra x:a", false},
      {"find list-extra f:%0", false},
      {"open list-extra f:a", false},
      {"find list-endless 500", true},
      {"find list-endless 1001", false},
  };
  for (const Case& c : cases) {
    kfsd::Fault f;
    std::string error;
    EXPECT_EQ(kfsd::parse_fault(c.text, &f, &error), c.ok) << c.text << ": " << error;
    EXPECT_EQ(error.empty(), c.ok) << c.text;
  }
}

// A fault planned for a while fires on each match of its range and on no other.
TEST(FaultEntry, RangeFiresFromItsFirstToItsLastMatch) {
  kfsd::Fault f;
  std::string error;
  ASSERT_TRUE(kfsd::parse_fault("open,query#3-5 fail ERR_IO", &f, &error)) << error;
  kfsd::FaultPlan plan;
  plan.add(f);
  std::string fired;
  for (int i = 1; i <= 8; ++i) {
    kfsd::FaultEvent event;
    event.kinds = kfsd::kKindRequest | (i % 2 ? kfsd::kKindOpen : kfsd::kKindQuery);
    fired += plan.on(event).fail == ERR_IO ? "x" : ".";
  }
  EXPECT_EQ(fired, "..xxx...");
}

TEST_F(DevServerTest, RestartKeepsTheServerKeyAndTheStore) {
  start_server();
  ASSERT_EQ(lock(&session_), 0);
  ASSERT_EQ(upload(&session_, "/kept", "data", 9).result, 0);
  // The close has no reply: a request with one shows it was handled.
  ASSERT_EQ(list_folder("/"), (std::vector<std::string>{"kept"}));
  std::string key = testing_support::read_file(store_ + "/server_key.pem");
  TearDown();
  start_server();
  EXPECT_EQ(testing_support::read_file(store_ + "/server_key.pem"), key);
  ASSERT_EQ(lock(&session_), 0);
  EXPECT_EQ(list_folder("/"), (std::vector<std::string>{"kept"}));
  EXPECT_EQ(upload(&session_, "/kept", "data", 9).result, ERR_UP2DATE);
}

}  // namespace
