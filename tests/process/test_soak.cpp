// Seeded fault soak: rounds of backups of a tree that changes between them (files added,
// grown, cut, renamed, deleted, changed in place, a folder replaced by a file), each run
// against kfs-devserver with a random fault of its plan, a server killed and restarted, the
// agent killed, or a failed read or write of the agent's own (a file being backed up, the
// change index, the mail queue, the logs: varno-backup-faulty), and each followed by a
// clean run of the shipped agent whose restore must equal the tree byte for byte, with no
// file called current that the server lacks.
//
// VARNO_SOAK_ROUNDS: faulty rounds (3 unless given; `make soak` runs many); VARNO_SOAK_SEED:
// the seed (a fresh one unless given). The seed is printed, and a failing round says how
// to replay it.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <string_view>

#include "tests/support/engine_world.h"

namespace fs = std::filesystem;
using testing_support::read_file;

namespace engine_test {
namespace {

constexpr const char kBlockSize[] = "256";

struct Tally {
  int rounds = 0;  // rounds that planned this fault
  int fired = 0;   // rounds in which it fired
  long count = 0;  // firings, as the server or the agent counted them (kills: one per round)
};

class SoakTest : public EngineWorld {
 protected:
  size_t below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(rng_() % n); }
  std::string bytes(size_t n) {
    std::string out(n, '\0');
    for (char& c : out) c = static_cast<char>(rng_());
    return out;
  }

  // Paths below the data folder, relative, of files or of folders other than the root.
  std::vector<std::string> entries(bool folders) const {
    std::vector<std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(data())) {
      if (e.is_directory() == folders) out.push_back(fs::relative(e.path(), data()).string());
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  // A new modification time for a file just written: seconds apart from every other, and
  // never an hour from the last (an hour's shift is no change).
  void touch(const std::string& relative) {
    clock_ += 7;
    fs::last_write_time(data(relative), fs::file_time_type(std::chrono::seconds(clock_)));
  }

  void write(const std::string& relative, const std::string& content) {
    write_data(relative, content);
    touch(relative);
  }

  std::string new_name(const char* stem) { return stem + std::to_string(++serial_) + ".bin"; }
  std::string some_folder() {
    std::vector<std::string> folders = entries(true);
    size_t pick = below(folders.size() + 1);
    return pick == folders.size() ? "" : folders[pick] + "/";
  }

  void change_once();
  void change_tree() {
    for (size_t n = 1 + below(6); n > 0; --n) change_once();
  }

  std::mt19937_64 rng_;
  int64_t clock_ = 1500000000;
  int serial_ = 0;
};

void SoakTest::change_once() {
  std::vector<std::string> files = entries(false);
  std::string file = files.empty() ? "" : files[below(files.size())];
  switch (files.empty() ? 0 : below(8)) {
    case 0:  // added, sometimes in a new folder
      write(some_folder() + (below(3) == 0 ? new_name("dir") + "/" : "") + new_name("add"),
            bytes(below(5000)));
      break;
    case 1:  // grown
      write(file, read_file(data(file)) + bytes(1 + below(3000)));
      break;
    case 2:  // cut short
      write(file, read_file(data(file)).substr(0, below(fs::file_size(data(file)) + 1)));
      break;
    case 3:  // renamed
      fs::rename(data(file), data(some_folder() + new_name("moved")));
      break;
    case 4:  // deleted
      fs::remove(data(file));
      break;
    case 5: {  // changed in place, same size
      std::string content = read_file(data(file));
      if (!content.empty()) content[below(content.size())] ^= 0x5a;
      write(file, content);
      break;
    }
    case 6: {  // a folder replaced by a file of the same name
      std::vector<std::string> folders = entries(true);
      if (folders.empty()) return change_once();
      std::string folder = folders[below(folders.size())];
      fs::remove_all(data(folder));
      write(folder, bytes(below(2000)));
      break;
    }
    default:  // a file replaced by a folder
      fs::remove(data(file));
      write(file + "/" + new_name("inner"), bytes(below(1000)));
      break;
  }
}

// One fault of a round: a plan entry for the server or the agent, or a kill.
struct Fault {
  Fault(std::string k, std::string e, std::string c = "")
      : kind(std::move(k)), entry(std::move(e)), client(std::move(c)) {}
  std::string kind;
  std::string entry;   // for the server's --fault
  std::string client;  // for varno-backup-faulty's VARNO_TEST_FAULT_PLAN
};

Fault pick_fault(std::mt19937_64& rng) {
  auto n = [&rng](long low, long high) {
    return std::to_string(low + static_cast<long>(rng() % static_cast<uint64_t>(high - low + 1)));
  };
  switch (rng() % 17) {
    case 0:
      return {"drop", "request#" + n(3, 30) + " drop"};
    case 1:
      return {"drop-before", "request#" + n(3, 30) + " drop-before"};
    case 2:
      return {"failed-query", "query#" + n(1, 12) + " fail ERR_SCKREAD"};
    case 3:
      return {"corrupt-crc", "reply#" + n(2, 30) + " corrupt-crc"};
    case 4:
      return {"lock-held", "lock hold 1 " + n(1, 2)};
    case 5: {
      std::string first = n(1, 8);
      return {"disk-full",
              "mkdir,open,query#" + first + "-" +
                  std::to_string(std::stol(first) + 5 + static_cast<long>(rng() % 30)) +
                  " fail ERR_IO"};
    }
    case 6:
      return {"login-again", "login#1 again"};
    case 7:
      return {"data-drop", "data#" + n(1, 8) + " drop"};
    case 8:
      return {"slow-open", "open delay 20"};
    case 9:
      return {"server-killed", ""};
    case 10:
      return {"agent-killed", ""};
    case 11:  // past the first block of a file
      return {"source-read", "", "source read#" + n(2, 3) + " per-file"};
    case 12:  // and every later read of that file
      return {"source-bad", "", "source read#" + n(2, 3) + " per-file sticky"};
    case 13:
      return {"index-sort", "", "sort write#" + n(1, 4)};
    case 14:
      return {"index-write", "", "index write#1"};
    case 15:  // the server refuses the report, so it goes to the queue
      return {"queue-write", "mail fail ERR_IO", "queue write#" + n(1, 2)};
    default:
      return {"log-write", "", "log write#" + n(1, 60)};
  }
}

// Faults the agent recorded, one "KIND CLASS PATH" line each.
std::vector<std::string> agent_firings(const std::string& record) {
  std::vector<std::string> out;
  std::istringstream in(record);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// How often the server's plan fired, from its own report at exit.
long server_firings(const std::string& errors) {
  static const std::regex kFired("fault fired ([0-9]+) times");
  long total = 0;
  for (std::sregex_iterator it(errors.begin(), errors.end(), kFired), end; it != end; ++it)
    total += std::stol((*it)[1]);
  return total;
}

// The local path "D:\\a\\b" as the restore names it, "a/b".
std::string restored_name(const std::string& local) {
  std::string out = local.substr(3);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

class Soak : public SoakTest {
 protected:
  bool faulty_round(const Fault& fault, Tally* tally);
  void check_claims(const JobRun& r);
  bool clean_round();
  void seed_tree() {
    for (int i = 0; i < 12; ++i)
      write((i % 3 ? "docs/" : "") + std::string(i % 4 ? "" : "deep/er/") + new_name("seed"),
            bytes(below(4000)));
  }
};

bool Soak::faulty_round(const Fault& fault, Tally* tally) {
  ++tally->rounds;
  std::vector<std::string> flags = {"--block-size", kBlockSize};
  if (!fault.entry.empty()) flags.insert(flags.end(), {"--fault", fault.entry});
  start_server(flags);
  const int port = server->port();
  const std::string record = dir() + "/faults.txt";
  if (!fault.client.empty()) {
    agent_program = "tests/process/varno-backup-faulty";
    setenv("VARNO_TEST_FAULT_PLAN", fault.client.c_str(), 1);
    setenv("VARNO_TEST_FAULT_RECORD", "faults.txt", 1);  // the agent's working folder
    fs::remove(record);
  }
  // An agent killed before it began its job log would leave the last round's to be read.
  fs::remove(dir() + "/" + kSchedule + ".log");
  const uint32_t after = static_cast<uint32_t>(below(3));  // items done before a kill
  bool killed = false;
  JobRun r = run([&](const ProgressBoard* board) {
    if (killed || !fault.entry.empty() || !fault.client.empty() || board == nullptr ||
        board->items_backed_up + board->items_current + board->items_failed < after)
      return;
    if (fault.kind == "agent-killed") {
      kill(running_agent, SIGKILL);
    } else {
      server.reset();
      server = std::make_unique<kfs_test::DevServer>(
          dir() + "/store",
          std::vector<std::string>{"--listen", "127.0.0.1:" + std::to_string(port), "--block-size",
                                   kBlockSize, "--verbose"});
    }
    killed = true;
  });
  // A kill may come just after the agent ended on its own: then it ended well.
  const bool kill_landed = killed && fault.kind == "agent-killed" && r.status != 0;
  EXPECT_EQ(r.status, kill_landed ? 128 + SIGKILL : 0) << r.log << r.agent_log;
  long count = killed ? 1 : 0;
  if (!fault.client.empty()) {
    agent_program.clear();
    unsetenv("VARNO_TEST_FAULT_PLAN");
    unsetenv("VARNO_TEST_FAULT_RECORD");
    std::vector<std::string> fired = agent_firings(read_file(record));
    count = static_cast<long>(fired.size());
    if (fault.kind == "source-bad" && !fired.empty()) {
      // A file that cannot be read fails this run, and says so; the clean run sends it.
      // The record's line is "KIND CLASS PATH".
      const std::string_view kRead = "read source ";
      EXPECT_TRUE(fired[0].starts_with(kRead)) << fired[0];
      const std::string local = fired[0].substr(std::min(kRead.size(), fired[0].size()));
      EXPECT_GE(r.board.items_failed, 1u) << r.log;
      EXPECT_FALSE(r.logged("FILE: Successfully backed up '" + local + "'")) << r.log;
    }
    if (fault.kind == "queue-write") {
      // A queue file that could not be written leaves the last one whole (or none).
      EXPECT_FALSE(fs::exists(dir() + "/" + kSchedule + ".eml.tmp"));
      (void)queued_report();
    }
  } else if (!fault.entry.empty()) {
    (void)server->stop();  // 3 when the fault never fired: that is the count's business
    count = server_firings(server->errors());
  }
  tally->count += count;
  tally->fired += count > 0 ? 1 : 0;
  stop_server();
  // A killed server loses the group it had not yet stored, replies or not; the next lock
  // tells the client so (the stamp no longer vouches). Every other fault leaves the claims
  // of the run to the client alone.
  if (fault.kind != "server-killed") check_claims(r);
  return !HasFailure();
}

// Every file the faulty run called backed up restores with the content that run read (the
// tree does not change between the run and this check).
void Soak::check_claims(const JobRun& r) {
  const std::string prefix = "FILE: Successfully backed up '";
  if (r.count_logged(prefix) == 0) return;
  const std::string restored = restore(1);
  std::map<std::string, std::string> held = regular_files(restored + "/1/D Drive");
  for (const std::string& m : r.messages()) {
    if (m.rfind(prefix, 0) != 0) continue;
    std::string name = restored_name(m.substr(prefix.size(), m.size() - prefix.size() - 1));
    EXPECT_TRUE(held.count(name) && held[name] == read_file(data(name)))
        << "called backed up, but the server does not hold it: " << name;
  }
  if (HasFailure()) fprintf(stderr, "%s\n%s", r.log.c_str(), r.requests().c_str());
  fs::remove_all(restored);
}

bool Soak::clean_round() {
  start_server({"--block-size", kBlockSize});
  JobRun r = run();
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.logged("Backup job completed normally.")) << r.log;
  EXPECT_EQ(r.board.items_failed, 0u) << r.log;
  stop_server();
  std::string restored = restore(1);
  std::map<std::string, std::string> want = regular_files(data());
  std::map<std::string, std::string> got = regular_files(restored + "/1/D Drive");
  const std::string current = "FILE: Current; Not backing up: '";
  for (const std::string& m : r.messages()) {
    if (m.rfind(current, 0) != 0) continue;
    std::string name = restored_name(m.substr(current.size(), m.size() - current.size() - 1));
    EXPECT_TRUE(got.count(name) && got[name] == want[name])
        << "the index called '" << name << "' current, but the server lacks it";
  }
  for (const auto& [name, content] : want) {
    EXPECT_TRUE(got.count(name) && got[name] == content) << "missing or different: " << name;
  }
  for (const auto& [name, content] : got) EXPECT_EQ(want.count(name), 1u) << "left over: " << name;
  if (HasFailure()) fprintf(stderr, "%s\n%s", r.log.c_str(), r.requests().c_str());
  fs::remove_all(restored);
  return !HasFailure();
}

long env_number(const char* name, long fallback) {
  const char* text = getenv(name);
  return text != nullptr && *text != '\0' ? std::stol(text) : fallback;
}

TEST_F(Soak, FaultyRoundsThenCleanRunsRestoreTheTree) {
  const long rounds = env_number("VARNO_SOAK_ROUNDS", 3);
  const uint64_t seed = static_cast<uint64_t>(
      env_number("VARNO_SOAK_SEED", static_cast<long>(std::random_device{}() & 0x7fffffff)));
  rng_.seed(seed);
  printf("soak: seed %llu, %ld faulty rounds\n", static_cast<unsigned long long>(seed), rounds);
  setenv("VARNO_LOCK_WAIT_MS", "100", 1);
  setenv("VARNO_RECONNECT_WAIT_MS", "300", 1);  // a killed server's successor needs a moment
  // Its changes may take most of a small tree away at once: the mirror is what is checked
  // here, the bound on one run's deletions has a test of its own.
  setenv("VARNO_SYNC_DELETE_PERCENT", "100", 1);
  seed_tree();
  write_schedule("Src=D:\\\nSync=D:\n");  // a bare drive: every folder below it
  std::map<std::string, Tally> tallies;
  for (long round = 1; round <= rounds; ++round) {
    change_tree();
    Fault fault = pick_fault(rng_);
    SCOPED_TRACE("round " + std::to_string(round) + ": " + fault.kind + " " + fault.entry +
                 fault.client);
    if (!faulty_round(fault, &tallies[fault.kind]) || !clean_round()) {
      ADD_FAILURE() << "replay: VARNO_SOAK_SEED=" << seed << " VARNO_SOAK_ROUNDS=" << round;
      break;
    }
  }
  for (const auto& [kind, t] : tallies) {
    printf("soak: %-14s planned in %3d rounds, fired in %3d, %5ld firings\n", kind.c_str(),
           t.rounds, t.fired, t.count);
  }
  fflush(stdout);
  unsetenv("VARNO_SYNC_DELETE_PERCENT");
}

// A file replaced by a folder and a folder by a file: the server's object of the old type
// stands in the way of the new one, and under Sync= it is dropped like anything gone.
TEST_F(Soak, TypeSwapsUnderSyncAreMirrored) {
  write_data("was file", "a file at first\n");
  write_data("was folder/inner.txt", "a folder at first\n");
  start_server();
  write_schedule("Src=D:\\\nSync=D:\n");
  ASSERT_TRUE(run().logged("Backup job completed normally."));
  fs::remove(data("was file"));
  write_data("was file/now inside.txt", "now a folder\n");
  fs::remove_all(data("was folder"));
  write_data("was folder", "now a file\n");
  JobRun r = run();
  EXPECT_TRUE(r.logged("SYNC OBJECT: '/1/D Drive/was file' is gone; deleting from server."))
      << r.log;
  EXPECT_TRUE(r.logged("SYNC OBJECT: '/1/D Drive/was folder' is gone; deleting from server."))
      << r.log;
  EXPECT_EQ(r.board.items_failed, 0u) << r.log;
  EXPECT_EQ(regular_files(restore(1) + "/1/D Drive"), regular_files(data()));
}

}  // namespace
}  // namespace engine_test
