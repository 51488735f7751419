// Bad input from every side the agent reads: schedule files, the address file, the drive
// map, the names and depths of the tree, and a server that answers out of bounds. Each
// case ends with its own refusal or a clear log line; the agent never crashes or hangs
// and never writes into the tree it backs up.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <openssl/evp.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <vector>

#include "protocol/codes.h"

#include "protocol/wire.h"
#include "tests/support/engine_world.h"
#include "tests/support/kfs_peers.h"
#include "tools/kfs-devserver/conn.h"

namespace fs = std::filesystem;
using testing_support::read_file;
using testing_support::write_file;

namespace engine_test {
namespace {

const char kUndecryptable[] = "Unable to decrypt file; aborting.";
const char kBadHeader[] = "Invalid KBS header; aborting.";
const char kRunStarted[] = "Calling __do_backup()...";
const char kCompleted[] = "Backup job completed normally.";

class BadInputTest : public EngineWorld {
 public:
  const std::string& key() const { return key_hex; }
  const std::string& dir() const { return EngineWorld::dir(); }
  std::string data_path(const std::string& relative = "") const { return data(relative); }
  int port() const { return server->port(); }
  std::string server_line() const { return "127.0.0.1:" + std::to_string(port()) + "\n"; }
  void hosts(const std::string& text) const { write_file(dir() + "/etc/hosts", text); }
  void drives(const std::string& text) const { write_file(dir() + "/etc/drives", text); }
  // The schedule file itself, encrypted by varno-ctl from `plain`.
  std::string encrypted(const std::string& plain) {
    write_file(dir() + "/plain.txt", plain);
    EXPECT_EQ(ctl("kbs encrypt --force plain.txt enc.kbs"), 0);
    fs::remove(dir() + "/plain.txt");
    std::string bytes = read_file(dir() + "/enc.kbs");
    fs::remove(dir() + "/enc.kbs");
    return bytes;
  }

 protected:
  void SetUp() override {
    EngineWorld::SetUp();
    write_data("docs/a.txt", "alpha\n");
    write_data("docs/sub/b.bin", random_bytes(40));
  }

  // Every path below the data folder with its bytes ("" for folders), links included.
  std::map<std::string, std::string> tree() const {
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(data(), ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
      std::string name = fs::relative(it->path(), data()).string();
      if (name == "deep") it.disable_recursion_pending();  // deeper than one call takes
      out[name] = it->is_regular_file() && !it->is_symlink() ? read_file(it->path()) : "";
    }
    return out;
  }

  // Runs the agent and checks what every case must hold: it ended by itself, finished
  // its job, left the tree as it was, and kept the account key out of every file.
  JobRun run_checked() {
    std::map<std::string, std::string> before = tree();
    JobRun r = run();
    EXPECT_EQ(r.status, 0) << r.log << read_file(dir() + "/agent.stderr");
    EXPECT_NE(r.agent_log.find("procjob('" + std::string(kSchedule) + "') complete"),
              std::string::npos)
        << r.agent_log;
    EXPECT_EQ(tree(), before) << "the agent changed the tree it backs up";
    EXPECT_EQ(files_with_key(), std::vector<std::string>{});
    return r;
  }

  void put_schedule(const std::string& bytes) { write_file(dir() + "/" + kSchedule, bytes); }

  // Trees deeper than one system call takes are removed by rm, which walks them by parts.
  void TearDown() override {
    EngineWorld::TearDown();
    testing_support::run_command("rm -rf '" + dir() + "/data/deep' '" + dir() + "'/restored*");
  }
};

// ---- schedule files ----

// A plain schedule whose required options come last, in the order they are checked.
std::string required_last(const std::string& key_hex) {
  return "# Varno Backup Schedule\nSrc=D:\\docs\nSync=D:\\docs\nhtml=0\n"
         "schedule_email=owner@example.invalid\nUserId=1001\nAccountId=1\nSchedule=1\n"
         "Dest=/1\nname=Truncated\nenabled=1\nacckey=" +
         key_hex + "\n";
}

// The file cut after every whole cipher block. What is left decrypts to lines that look
// whole (a value cut short, an option missing), so only the failed last step can tell:
// every cut is refused before the job starts, and the run claims nothing (no report
// queued, no stamp); the whole file runs.
TEST_F(BadInputTest, ScheduleCutAtEveryBlockBoundaryIsRefusedBeforeTheJobStarts) {
  const std::string plain = required_last(key_hex);
  const std::string whole = encrypted(plain);
  ASSERT_EQ(whole.size() % 16, 0u);
  const std::string queue = dir() + "/" + kSchedule + ".eml";
  const std::string stamp = dir() + "/" + kSchedule + ".ts";
  for (size_t cut = 0; cut <= whole.size(); cut += 16) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    fs::remove(queue);
    fs::remove(stamp);
    put_schedule(whole.substr(0, cut));
    JobRun r = run_checked();
    bool complete = cut == whole.size();
    EXPECT_EQ(r.logged(kUndecryptable), !complete) << r.log;
    EXPECT_EQ(r.logged("Parsing KBS file: complete."), complete) << r.log;
    EXPECT_EQ(r.logged(kRunStarted), complete) << r.log;
    if (!complete) {
      EXPECT_EQ(r.messages().back(), kUndecryptable) << r.log;
      EXPECT_FALSE(testing_support::file_exists(queue)) << "a refused schedule queued a report";
      EXPECT_FALSE(testing_support::file_exists(stamp));
    }
  }
}

struct ScheduleCase {
  const char* name;
  std::function<std::string(BadInputTest*)> bytes;  // the schedule file
  std::vector<std::string> outcomes;                // one of these messages is logged
};

std::string under_other_key(const std::string& plain) {
  std::vector<unsigned char> key(32, 0x5c), iv(16, 0), out(plain.size() + 32);
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int n = 0, tail = 0;
  EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key.data(), iv.data());
  EVP_EncryptUpdate(ctx, out.data(), &n, reinterpret_cast<const unsigned char*>(plain.data()),
                    static_cast<int>(plain.size()));
  EVP_EncryptFinal_ex(ctx, out.data() + n, &tail);
  EVP_CIPHER_CTX_free(ctx);
  return std::string(reinterpret_cast<char*>(out.data()), static_cast<size_t>(n + tail));
}

// A schedule whose options are all given, then `lines`.
std::string full_schedule(const std::string& key_hex, const std::string& lines) {
  return "# Varno Backup Schedule\nUserId=1001\nAccountId=1\nSchedule=1\nDest=/1\nname=Odd\n"
         "enabled=1\nacckey=" +
         key_hex + "\nhtml=0\nschedule_email=owner@example.invalid\n" + lines;
}

const std::vector<ScheduleCase>& schedule_cases() {
  static const std::vector<ScheduleCase> cases = {
      {"empty file", [](BadInputTest*) { return std::string(); }, {kUndecryptable}},
      {"one random byte", [](BadInputTest*) { return random_bytes(1); }, {kUndecryptable}},
      {"random block",
       [](BadInputTest*) { return random_bytes(16); },
       {kUndecryptable, kBadHeader}},
      {"random bytes, 1,000",
       [](BadInputTest*) { return random_bytes(1000); },
       {kUndecryptable, kBadHeader}},
      {"random bytes, 70,000",
       [](BadInputTest*) { return random_bytes(70000); },
       {kUndecryptable, kBadHeader}},
      {"encrypted under another key",
       [](BadInputTest* t) { return under_other_key(full_schedule(t->key(), "Src=D:\\docs\n")); },
       {kUndecryptable, kBadHeader}},
      // A value longer than a line arrives in pieces; a later piece is no line of its own,
      // even when it reads like a key.
      {"4,095-character source with a key in its tail",
       [](BadInputTest* t) {
         std::string src =
             "Src=D:\\" + std::string(252, 'p') + "Dest=/9\\" + std::string(3828, 'q');
         return t->encrypted(full_schedule(t->key(), src + "\n"));
       },
       {kRunStarted}},
      {"control bytes and invalid UTF-8 in paths",
       [](BadInputTest* t) {
         return t->encrypted(full_schedule(
             t->key(),
             "Src=D:\\docs\\\x01\x02\x1b[2J\x7f\nXSrc=D:\\\xff\xfe\xc0\x80\xed\xa0\x80\n"
             "Sync=D:\\docs\\\x08\x0b\x0c\nSrc=D:\\docs\t\n"));
       },
       {kRunStarted}},
  };
  return cases;
}

TEST_F(BadInputTest, UnreadableSchedulesAreRefusedAndOddOnesRun) {
  for (const ScheduleCase& c : schedule_cases()) {
    SCOPED_TRACE(c.name);
    put_schedule(c.bytes(this));
    JobRun r = run_checked();
    int matched = 0;
    for (const std::string& m : c.outcomes) matched += r.logged(m) ? 1 : 0;
    EXPECT_EQ(matched, 1) << r.log;
    EXPECT_FALSE(r.logged("Got too many entries for 'Dest='; Aborting.")) << r.log;
  }
}

// ---- the address file and the drive map ----

struct SetupCase {
  const char* name;
  std::function<void(BadInputTest*)> setup;  // after the server started
  std::string outcome;                       // a job log message, or the start of one
};

std::string lines_of(size_t count, const std::string& line) {
  std::string out;
  out.reserve(count * (line.size() + 1));
  for (size_t i = 0; i < count; ++i) out += line + "\n";
  return out;
}

const std::vector<SetupCase>& setup_cases() {
  static const std::vector<SetupCase> cases = {
      {"hosts: 10,000 comment lines before the server",
       [](BadInputTest* t) { t->hosts(lines_of(10000, "# nothing here") + t->server_line()); },
       kCompleted},
      {"hosts: 10,000 lines without a port before the server",
       [](BadInputTest* t) {
         t->hosts(lines_of(10000, "backup.example.invalid") + t->server_line());
       },
       kCompleted},
      {"hosts: 5,000-character lines before the server",
       [](BadInputTest* t) { t->hosts(lines_of(3, std::string(5000, 'h')) + t->server_line()); },
       kCompleted},
      // Its last piece names a server that cannot be reached; the next line is the second.
      {"hosts: a 5,000-character host, then the server",
       [](BadInputTest* t) { t->hosts(std::string(5000, 'h') + ":1\n" + t->server_line()); },
       kCompleted},
      {"hosts: only a 5,000-character host",
       [](BadInputTest* t) {
         t->hosts(std::string(5000, 'h') + ":" + std::to_string(t->port()) + "\n");
       },
       "Unable to start user session (Error 5); aborting."},
      {"drives: D: maps to a missing folder",
       [](BadInputTest* t) { t->drives("D:=" + t->dir() + "/missing\n"); },
       "FILE: ERROR (errno 2) while attempting to stat() file: 'D:\\docs'"},
      {"drives: D: maps to a link that points at itself",
       [](BadInputTest* t) {
         fs::create_symlink("loop", t->dir() + "/loop");
         t->drives("D:=" + t->dir() + "/loop\n");
       },
       "FILE: ERROR (errno 40) while attempting to stat() file: 'D:\\docs'"},
      {"drives: D: maps to itself through E:, and a folder links to its parent",
       [](BadInputTest* t) {
         fs::create_directory_symlink("..", t->data_path("docs/sub/up"));
         t->drives("D:=" + t->data_path() + "\nE:=E:\\\nD:=D:\\docs\n");
       },
       "Ignoring 'D:\\docs\\sub\\up' as it is a reparse point."},
  };
  return cases;
}

TEST_F(BadInputTest, OddAddressFilesAndDriveMapsEndClearly) {
  for (const SetupCase& c : setup_cases()) {
    SCOPED_TRACE(c.name);
    if (!windows_build().empty() && std::string(c.name).rfind("drives:", 0) == 0) {
      printf(
          "note: BadInputTest.OddAddressFilesAndDriveMapsEndClearly: '%s' is not tried "
          "against the Windows agent (the drive map is the POSIX agent's)\n",
          c.name);
      continue;
    }
    start_server();
    write_schedule("Src=D:\\docs\n");
    c.setup(this);
    JobRun r = run_checked();
    EXPECT_EQ(r.count_logged(c.outcome), 1) << r.log;
    stop_server();
    fs::remove(dir() + "/" + kSchedule + ".ts");
  }
}

// ---- names and depths in the tree ----

// Creates data/<components...>/<file> one folder at a time, so no call sees a path longer
// than a component (the whole may exceed what one system call takes).
void make_deep(const std::string& root, const std::vector<std::string>& folders,
               const std::string& file, const std::string& bytes) {
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (const std::string& folder : folders) {
    ASSERT_TRUE(mkdirat(fd, folder.c_str(), 0755) == 0 || errno == EEXIST) << folder;
    int next = openat(fd, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    ASSERT_GE(fd = next, 0) << folder;
  }
  int out = openat(fd, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(out, 0);
  ASSERT_EQ(write(out, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(out);
  close(fd);
}

// The bytes of a file made by make_deep below `root`, or "" when it is not there.
std::string read_deep(const std::string& root, const std::vector<std::string>& folders,
                      const std::string& file) {
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (const std::string& folder : folders) {
    int next = fd < 0 ? -1 : openat(fd, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) close(fd);
    fd = next;
  }
  int in = fd < 0 ? -1 : openat(fd, file.c_str(), O_RDONLY | O_CLOEXEC);
  std::string bytes;
  char chunk[256];
  for (ssize_t n; in >= 0 && (n = read(in, chunk, sizeof chunk)) > 0;) bytes.append(chunk, n);
  if (in >= 0) close(in);
  if (fd >= 0) close(fd);
  return bytes;
}

// Folders of 200 characters below "D:\deep\" whose file makes the Windows-form path
// exactly `length` characters long; the folder list and the file name.
std::pair<std::vector<std::string>, std::string> deep_path(size_t length) {
  std::vector<std::string> folders = {"deep"};
  size_t used = 3 + 4;  // "D:\deep"
  while (length - used > 1 + 200 + 1 + 20) {
    folders.push_back(std::string(200, static_cast<char>('a' + folders.size() % 26)));
    used += 201;
  }
  return {folders, std::string(length - used - 1, 'f')};
}

TEST_F(BadInputTest, OddNamesComeBackAndOverlongPathsAreReported) {
  SKIP_AGAINST_WINDOWS_AGENT("its names hold bytes and characters that Windows names cannot hold");
  const std::vector<std::string> names = {
      "ctl\x01\x02\x1b[2J\x7f.txt", "line\nfeed.txt",
      "carriage\rreturn.txt",       "tab\there.txt",
      "overlong \xc0\x80 nul.txt",  "surrogate \xed\xa0\x80.txt",
      "bad lead \xff\xfe.txt",      "cut \xe2\x82.txt"};
  std::map<std::string, std::string> expected = {
      {"docs/a.txt", "alpha\n"}, {"docs/sub/b.bin", read_file(data("docs/sub/b.bin"))}};
  for (const std::string& name : names) {
    expected["odd/" + name] = random_bytes(20);
    write_data("odd/" + name, expected["odd/" + name]);
  }
  // The longest path the file-system helpers take.
  auto [folders, file] = deep_path(4095);
  make_deep(data(), folders, file, "deepest\n");
  start_server();
  write_schedule("Src=D:\\\n");
  JobRun r = run_checked();
  EXPECT_TRUE(r.logged(kCompleted)) << r.log;
  std::string root = restore(1) + "/1/D Drive";
  for (const auto& [name, bytes] : expected) EXPECT_EQ(read_file(root + "/" + name), bytes) << name;
  // Paths longer than the walk holds are reported, never passed over in silence and never
  // cut short into another path; the report counts them.
  EXPECT_EQ(r.count_logged("FILE: ERROR: Local path too long for 'D:\\deep\\"), 1)
      << r.log.substr(0, 3000);
  std::string mail = report();
  EXPECT_NE(mail.find("Files that failed ....... 1"), std::string::npos) << mail;
  EXPECT_EQ(read_deep(root, folders, file), "");
}

// ---- a server that answers out of bounds ----

// One request the played server answers its own way; the key is the connection's.
using Twist = std::function<void(kfsd::Conn&, const kfsd::Packet&, const uint8_t key[32])>;

struct ServerCase {
  const char* name;
  uint8_t type;  // the request the twist answers, the first time it comes
  Twist twist;
  std::string outcome;
  const char* schedule;
};

// The usual answer to each request the agent sends; none for those that await none.
void usual_answer(kfsd::Conn& conn, const kfsd::Packet& request) {
  kfsd::Packet reply;
  reply.type = static_cast<uint8_t>(request.type | KFS_RESPONSE_BIT);
  reply.request_number = request.request_number;
  switch (request.type) {
    case KFS_FILE_CLOSE:
      return;
    case KFS_FILE_WRITE:
      if (request.data.size() > 1 && (request.data[1] & 8) != 0) return;
      reply.status = ERR_UP2DATE;
      break;
    case KFS_SESSION_AUTH:
      reply.data = kfs_test::login_reply(0, 77);
      break;
    case KFS_FIND_FILES:
      reply.data.assign(7, 0);  // no entries, none remaining
      break;
    case KFS_DELETE:
      reply.data.assign(24, 0);
      break;
    case KFS_FILE_WOPEN:
      reply.status = ERR_UP2DATE;
      break;
    default:
      break;
  }
  conn.send(reply);
}

// Plays every connection: the handshake with a known server half, then the usual answers,
// except the first request of the case's type, which gets the twist. Records the types.
void play(kfsd::Conn& conn, const ServerCase& c, std::atomic<bool>* twisted,
          std::vector<uint8_t>* types, std::string* mail, std::mutex* mutex) {
  kfsd::Packet hello;
  int kind = 0;
  if (!conn.read_greeting() || !conn.send_key_text(kfs_test::peer_key_text()) ||
      !conn.read_handshake(kfs_test::peer_key(), &hello, &kind))
    return;
  kfsd::Packet reply;
  reply.type = 128;
  reply.data.assign(32, 0x3c);
  if (!conn.send(reply) || !conn.rekey_with(reply.data.data())) return;
  uint8_t key[32];
  for (int i = 0; i < 32; ++i) key[i] = conn.client_half()[i] ^ 0x3c;
  for (kfsd::Packet request; conn.recv(&request);) {
    {
      std::lock_guard<std::mutex> guard(*mutex);
      types->push_back(request.type);
      if (request.type == KFS_EMAIL) mail->append(request.data.begin(), request.data.end());
    }
    if (request.type == c.type && !twisted->exchange(true)) {
      c.twist(conn, request, key);
    } else {
      usual_answer(conn, request);
    }
  }
}

// A frame around `plain` (header and data as the wire has them), encrypted under `key`,
// whatever its length.
std::vector<uint8_t> raw_frame(const std::vector<uint8_t>& plain, const uint8_t key[32]) {
  std::vector<uint8_t> out(6 + plain.size() + 16);
  const uint8_t iv[16] = {};
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int n = 0, tail = 0;
  EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key, iv);
  EVP_EncryptUpdate(ctx, out.data() + 6, &n, plain.data(), static_cast<int>(plain.size()));
  EVP_EncryptFinal_ex(ctx, out.data() + 6 + n, &tail);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(6 + static_cast<size_t>(n + tail));
  kfs_wire::Writer w(out.data(), 6);
  w.u16(static_cast<uint16_t>(n + tail));
  w.u32(static_cast<uint32_t>(crc32(0, plain.data(), static_cast<uInt>(plain.size()))));
  return out;
}

std::vector<uint8_t> plain_packet(const kfsd::Packet& request, size_t data_length,
                                  uint16_t announced) {
  std::vector<uint8_t> plain(6 + data_length, 0);
  kfs_wire::Writer w(plain.data(), 6);
  w.u16(announced);
  w.u8(static_cast<uint8_t>(request.type | KFS_RESPONSE_BIT));
  w.u16(request.request_number);
  w.u8(0);
  return plain;
}

std::vector<uint8_t> login_at_maximum() {
  std::vector<uint8_t> out(4096);
  kfs_wire::Writer w(out.data(), out.size());
  auto text = [&w](char fill) {
    w.u8(255);
    std::string t(255, fill);
    w.bytes(t.data(), t.size());
  };
  w.u8(0);
  text('A');
  w.u16(0xffff);
  text('B');
  w.u16(0xffff);
  w.u32(0xffffffff);
  text('n');  // account name
  w.u8(0xff);
  text('t');
  w.u32(0xffffffff);
  text('u');  // user name
  text('1');
  w.u8(0xff);
  w.u16(0xffff);
  text('2');
  text('3');
  w.u64(~0ull);
  w.u64(~0ull);
  w.u8(0xff);
  w.u8(0xff);
  w.u32(0xffffffff);
  out.resize(w.size());
  return out;
}

const std::vector<ServerCase>& server_cases() {
  static const std::vector<ServerCase> cases = {
      {"a frame of 65,536 bytes", KFS_USER_LOCK,
       [](kfsd::Conn& conn, const kfsd::Packet&, const uint8_t*) {
         std::vector<uint8_t> frame(6 + 65536, 0x41);
         frame[0] = frame[1] = 0;  // 0 stands for 65536
         conn.send_raw(frame.data(), frame.size());
       },
       "Unable to start user session (Error 254); aborting.", "Src=D:\\docs\n"},
      {"a decrypted packet longer than the packet buffer", KFS_USER_LOCK,
       [](kfsd::Conn& conn, const kfsd::Packet& request, const uint8_t* key) {
         std::vector<uint8_t> frame = raw_frame(plain_packet(request, 65504, 65504), key);
         conn.send_raw(frame.data(), frame.size());
       },
       "Unable to start user session (Error 254); aborting.", "Src=D:\\docs\n"},
      {"a listing that counts more entries than it holds", KFS_FIND_FILES,
       [](kfsd::Conn& conn, const kfsd::Packet& request, const uint8_t* key) {
         std::vector<uint8_t> plain = plain_packet(request, 7 + 23, 7 + 23);
         kfs_wire::Writer w(plain.data() + 6, 7 + 23);
         w.u16(0xffff);
         w.u32(0);
         w.u8(1);
         w.u8(0);
         w.u32(1);
         w.u64(5);
         w.u64(0);
         w.u8(2);  // a name of two bytes, and no more entries after it
         std::vector<uint8_t> frame = raw_frame(plain, key);
         conn.send_raw(frame.data(), frame.size());
       },
       "PRESYNC: ERROR: Listing of '/1/D Drive/docs' failed (Error 254); nothing is deleted there.",
       "Src=D:\\docs\nSync=D:\\docs\n"},
      {"a login reply with every length at its maximum", KFS_SESSION_AUTH,
       [](kfsd::Conn& conn, const kfsd::Packet& request, const uint8_t*) {
         kfsd::Packet reply;
         reply.type = KFS_SESSION_AUTH | KFS_RESPONSE_BIT;
         reply.request_number = request.request_number;
         reply.data = login_at_maximum();
         conn.send(reply);
       },
       kCompleted, "Src=D:\\docs\n"},
  };
  return cases;
}

TEST_F(BadInputTest, ServerAnswersOutOfBoundsEndClearly) {
  for (const ServerCase& c : server_cases()) {
    SCOPED_TRACE(c.name);
    std::atomic<bool> twisted{false};
    std::vector<uint8_t> types;
    std::string mail;
    std::mutex mutex;
    {
      kfs_test::ScriptedPeer peer(
          [&](int, kfsd::Conn& conn) { play(conn, c, &twisted, &types, &mail, &mutex); }, 8);
      write_file(dir() + "/etc/hosts", "127.0.0.1:" + std::to_string(peer.port()) + "\n");
      write_schedule(c.schedule);
      JobRun r = run_checked();
      EXPECT_TRUE(twisted);
      EXPECT_TRUE(r.logged(c.outcome)) << r.log;
      EXPECT_EQ(r.logged(kCompleted), c.type != KFS_USER_LOCK) << r.log;
      std::lock_guard<std::mutex> guard(mutex);
      EXPECT_EQ(std::count(types.begin(), types.end(), KFS_DELETE), 0) << "nothing is deleted";
      if (c.type == KFS_SESSION_AUTH) {
        // The user name is cut to its 20 characters.
        EXPECT_NE(mail.find("User .................... " + std::string(20, 'u') + "\n"),
                  std::string::npos)
            << mail;
      }
    }
    fs::remove(dir() + "/" + kSchedule + ".ts");
  }
}

}  // namespace
}  // namespace engine_test
