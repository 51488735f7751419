// Crash consistency and damaged files: a run killed at any platform call, by a played crash
// that also drops unsynced bytes or by a real SIGKILL, must leave files from which the next
// open answers either from a complete index whose stamp the server holds, or not at all.
// Single-byte damage to an index is either detected or cannot make a wrong answer.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "agent/backup/fci/fci.h"
#include "tests/support/fci_test_fs.h"
#include "tests/support/fci_test_util.h"
#include "tests/support/test_support.h"

using namespace fci_test;
using testing_support::file_exists;
using testing_support::read_file;
using testing_support::ScopedCwd;
using testing_support::TempDir;
using testing_support::write_file;

namespace {

constexpr char kSchedule[] = "job.kbs";
constexpr uint32_t kOldStamp = 1000;  // what the server holds until a run releases its lock
constexpr uint32_t kNewStamp = 2000;  // what the killed run would have released

// Index of the last completed run.
std::vector<Item> old_items() {
  return make_items(40);
}

// What the next run sees: 0..19 unchanged, 20..29 changed, 30..39 gone, 40..54 new.
std::vector<Item> new_items() {
  std::vector<Item> items = make_items(20);
  for (Item item : make_items(10, 20)) {
    item.time += 5;
    items.push_back(item);
  }
  for (const Item& item : make_items(15, 40)) items.push_back(item);
  return items;
}

void run_job(Env* fs, uint32_t expected, uint32_t new_stamp, bool close = true) {
  Fci index;
  index.env = fs;
  (void)fci_open(&index, kSchedule, expected);
  for (const Item& item : new_items()) {
    int current = 0;
    (void)fci_lookup(&index, item.path.c_str(), item.time, item.size, &current);
    (void)fci_add(&index, item.path.c_str(), item.time, item.size);
  }
  if (close) fci_close(&index, new_stamp);
}

// Every probe answers as `expected` says (null: nothing current).
// With `exact` false a valid index may miss records (a lost record costs a server request)
// but must never call anything current that `expected` does not hold.
void expect_answers(Fci* index, const std::vector<Item>* expected, const std::string& where,
                    bool exact = true) {
  std::vector<Item> probes = old_items();
  for (const Item& item : new_items()) probes.push_back(item);
  for (const Item& probe : probes) {
    bool want = false;
    if (expected != nullptr) {
      for (const Item& e : *expected) {
        if (e.path == probe.path && e.time == probe.time && e.size == probe.size) want = true;
      }
    }
    int got = current_of(index, probe.path, probe.time, probe.size);
    ASSERT_NE(got, -1) << where << " " << probe.path;
    if (exact || !want) {
      ASSERT_EQ(got, want ? 1 : 0) << where << " " << probe.path << " t=" << probe.time;
    }
  }
}

// The next run after a kill: the server holds `server_stamp`; a valid index must be exactly
// the index that stamp was written with.
void check_recovery(uint32_t server_stamp, const std::string& where, bool exact = true) {
  Fci next;
  next.env = quick_fs();
  int rc = fci_open(&next, kSchedule, server_stamp);
  EXPECT_FALSE(file_exists("job.fci.tmp")) << where;
  std::vector<Item> olds = old_items(), news = new_items();
  if (rc == 0) {
    ASSERT_TRUE(server_stamp == kOldStamp || server_stamp == kNewStamp) << where;
    expect_answers(&next, server_stamp == kOldStamp ? &olds : &news, where + " valid", exact);
  } else {
    expect_answers(&next, nullptr, where + " invalid");
  }
  // And the run after that is whole again.
  for (const Item& item : news)
    ASSERT_EQ(fci_add(&next, item.path.c_str(), item.time, item.size), 0);
  fci_close(&next, 3000);
  Fci after;
  after.env = quick_fs();
  ASSERT_EQ(fci_open(&after, kSchedule, 3000), 0) << where << ": " << after.error;
  expect_answers(&after, &news, where + " after");
}

// The sweep runs thousands of short jobs; on a memory file system it takes seconds, not
// minutes. Durability is modelled by CrashFs, so the medium does not matter.
class ScopedTmpdir {
 public:
  ScopedTmpdir() {
    const char* old = getenv("TMPDIR");
    if (old != nullptr) previous_ = old, had_ = true;
    if (std::filesystem::is_directory("/dev/shm") && access("/dev/shm", W_OK) == 0) {
      setenv("TMPDIR", "/dev/shm", 1);
    }
  }
  ~ScopedTmpdir() {
    if (had_) {
      setenv("TMPDIR", previous_.c_str(), 1);
    } else {
      unsetenv("TMPDIR");
    }
  }

 private:
  std::string previous_;
  bool had_ = false;
};

TEST(FciCrash, PlayedCrashAtEveryCallOfARunRecovers) {
  ScopedTmpdir on_memory;
  long before_close = 0;
  {
    TempDir dir;
    ScopedCwd cwd(dir.path());
    write_index(kSchedule, kOldStamp, old_items());
    CrashFs probe(1L << 40);
    run_job(&probe, kOldStamp, kNewStamp, false);
    before_close = probe.calls();
  }
  long total = 0;
  for (long n = 1;; ++n) {
    bool done = false;
    // The server still holds the old stamp (the run never released its lock), or, to be
    // sure no half-written index carries the new stamp, pretend it got the new one (which
    // only the close can have written).
    for (uint32_t server : {kOldStamp, kNewStamp}) {
      if (server == kNewStamp && n <= before_close) continue;
      TempDir dir;
      ScopedCwd cwd(dir.path());
      write_index(kSchedule, kOldStamp, old_items());
      CrashFs fs(n);
      run_job(&fs, kOldStamp, kNewStamp);
      if (!fs.crashed()) {
        done = true;
        total = fs.calls();
        break;
      }
      check_recovery(server,
                     "crash at call " + std::to_string(n) + " server " + std::to_string(server));
      if (::testing::Test::HasFatalFailure()) return;
    }
    if (done) break;
  }
  EXPECT_GT(total, 300);  // the sweep went through open, the walk and the close
  RecordProperty("calls", static_cast<int>(total));
}

// One failed call anywhere in a run: the run ends cleanly with no descriptor left open, and
// whatever it leaves, the next run answers from a complete index or not at all.
TEST(FciCrash, FailingAnySingleCallLeaksNothingAndRecovers) {
  ScopedTmpdir on_memory;
  for (long n = 1;; ++n) {
    TempDir dir;
    ScopedCwd cwd(dir.path());
    write_index(kSchedule, kOldStamp, old_items());
    FaultEnv fs;
    fs.skip_sync = true;
    fs.fail_nth(FaultEnv::kAny, n);
    run_job(&fs, kOldStamp, kNewStamp);
    if (fs.fired() == 0) break;
    ASSERT_EQ(fs.open_descriptors(), 0) << "failed call " << n;
    // The run finished its close, so the server now holds the new stamp.
    check_recovery(kNewStamp, "failed call " + std::to_string(n), false);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

TEST(FciCrash, KillAfterCloseBeforeTheLockReleaseInvalidates) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  write_index(kSchedule, kOldStamp, old_items());
  run_job(quick_fs(), kOldStamp, kNewStamp);
  Fci next;
  EXPECT_EQ(fci_open(&next, kSchedule, kOldStamp), -1);
  EXPECT_STREQ(next.error, "FCI invalid: out of sync: client(2000) != server(1000)");
}

// A real process killed with SIGKILL when a chosen call is reached.
class KillFs : public EnvWrapper {
 public:
  KillFs(std::string op, std::string_view path_suffix, int nth)
      : EnvWrapper(quick_fs()), op_(std::move(op)), suffix_(path_suffix), nth_(nth) {}
  int open_file(std::string_view path, unsigned flags) override {
    if (path.ends_with(suffix_) && op_ == "open") maybe_die();
    int fd = target()->open_file(path, flags);
    if (fd >= 0 && path.ends_with(suffix_)) watched_fd_ = fd;
    return fd;
  }
  ssize_t write(int fd, const void* buffer, size_t length) override {
    if (op_ == "write" && fd == watched_fd_) maybe_die();
    return target()->write(fd, buffer, length);
  }
  int sync(int fd) override {
    if (op_ == "sync" && fd == watched_fd_) maybe_die();
    return target()->sync(fd);
  }
  int rename_file(std::string_view from, std::string_view to) override {
    if (op_ == "rename" && from.ends_with(suffix_)) maybe_die();
    return target()->rename_file(from, to);
  }
  int delete_file(std::string_view path) override {
    if (op_ == "delete" && path.ends_with(suffix_)) maybe_die();
    return target()->delete_file(path);
  }

 private:
  void maybe_die() {
    if (++seen_ == nth_) raise(SIGKILL);
  }
  std::string op_;
  std::string suffix_;
  int nth_;
  int seen_ = 0;
  int watched_fd_ = -2;
};

TEST(FciCrash, KilledProcessLeavesRecoverableFiles) {
  struct Point {
    const char* op;
    const char* suffix;
    int nth;
  } points[] = {
      {"write", "$FCISORT$\\7", 1},  // during the walk (bucket 7 fills after 128 records)
      {"open", ".fci.tmp", 1},       // close begins writing the next index
      {"write", ".fci.tmp", 1},     {"sync", ".fci.tmp", 1},         {"rename", ".fci.tmp", 1},
      {"delete", ".fci.ro", 1},     {"delete", "$FCISORT$\\200", 2},  // cleaning up after the index
                                                                      // is in place
  };
  for (const Point& point : points) {
    TempDir dir;
    ScopedCwd cwd(dir.path());
    write_index(kSchedule, kOldStamp, old_items());
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      KillFs fs(point.op, point.suffix, point.nth);
      Fci index;
      index.env = &fs;
      (void)fci_open(&index, kSchedule, kOldStamp);
      // Many records so that bucket files are written during the walk.
      for (const Item& item : make_items(40000, 1000)) {
        (void)fci_add(&index, item.path.c_str(), item.time, item.size);
      }
      for (const Item& item : new_items())
        (void)fci_add(&index, item.path.c_str(), item.time, item.size);
      fci_close(&index, kNewStamp);
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    std::string where = std::string(point.op) + " " + point.suffix;
    if (std::string(point.suffix) == "$FCISORT$\\200") {
      // Killed after the index was in place: the server never got the new stamp.
      ASSERT_TRUE(WIFSIGNALED(status)) << where;
      Fci next;
      EXPECT_EQ(fci_open(&next, kSchedule, kOldStamp), -1) << where;
      continue;
    }
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        << where << " status " << status;
    Fci next;
    ASSERT_EQ(fci_open(&next, kSchedule, kOldStamp), 0) << where << ": " << next.error;
    std::vector<Item> olds = old_items();
    expect_answers(&next, &olds, where);
  }
}

// Single-byte damage: header bytes are detected; record bytes change at most the damaged
// record's own answers, or make records unreachable, and never raise an error.
TEST(FciDamage, EverySingleByteMutationIsDetectedOrHarmless) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  std::vector<Item> items = make_items(300);  // three pages, the last one short
  write_index(kSchedule, 77, items);
  const std::string original = read_file("job.fci");
  ASSERT_EQ(original.size(), 8u + 300u * 32u);
  std::vector<Item> foreign = make_items(50, 5000);

  // Every header byte, then a stride coprime with the record size (every field's bytes).
  for (size_t offset = 0; offset < original.size(); offset += (offset < 8 ? 1 : 7)) {
    for (int mode = 0; mode < 2; ++mode) {
      std::string damaged = original;
      damaged[offset] =
          mode == 0 ? static_cast<char>(damaged[offset] + 1) : static_cast<char>(0xff);
      if (damaged == original) continue;
      std::filesystem::remove("job.fci.ro");
      write_file("job.fci", damaged);
      Fci index;
      int rc = fci_open(&index, kSchedule, 77);
      std::string where = "offset " + std::to_string(offset) + " mode " + std::to_string(mode);
      if (offset < 8) {
        ASSERT_EQ(rc, -1) << where;
        expect_answers(&index, nullptr, where);
        continue;
      }
      ASSERT_EQ(rc, 0) << where << ": " << index.error;
      size_t damaged_record = (offset - 8) / 32;
      bool key_damaged = (offset - 8) % 32 < 20;
      for (size_t i = 0; i < items.size(); ++i) {
        int got = current_of(&index, items[i].path, items[i].time, items[i].size);
        ASSERT_NE(got, -1) << where;
        if (i == damaged_record) continue;
        uint8_t key[FCI_KEY_SIZE];
        sha1_of(items[i].path, key);
        // Records are compared as sorted; find this item's position to know if it is the
        // damaged one or shares its page (a damaged key may misdirect a binary search there).
        size_t position = 0;
        while (memcmp(original.data() + 8 + position * 32, key, FCI_KEY_SIZE) != 0) ++position;
        if (position == damaged_record) continue;
        bool reachable =
            !key_damaged || (position / 128 != damaged_record / 128 && damaged_record % 128 != 0);
        if (reachable) {
          ASSERT_EQ(got, 1) << where << " item " << i;
        }
        // A wrong time is never current.
        ASSERT_EQ(current_of(&index, items[i].path, items[i].time + 1, items[i].size), 0) << where;
      }
      for (const Item& f : foreign)
        ASSERT_EQ(current_of(&index, f.path, f.time, f.size), 0) << where;
    }
  }
}

TEST(FciDamage, EveryTruncationIsDetectedOrLosesOnlyTheTail) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  std::vector<Item> items = make_items(200);
  write_index(kSchedule, 5, items);
  const std::string original = read_file("job.fci");
  for (size_t length = 0; length < original.size(); length += 5) {
    std::filesystem::remove("job.fci.ro");
    write_file("job.fci", original.substr(0, length));
    Fci index;
    int rc = fci_open(&index, kSchedule, 5);
    size_t whole = length < 8 ? 0 : (length - 8) / 32;
    if (rc != 0) {
      // Detected: no header, no records, or a page too short for its lead.
      EXPECT_TRUE(length < 8 + 32 || (length - 8) % 4096 < 32) << length;
      expect_answers(&index, nullptr, "length " + std::to_string(length));
      continue;
    }
    int current = 0;
    for (const Item& item : items) {
      int got = current_of(&index, item.path, item.time, item.size);
      ASSERT_NE(got, -1);
      current += got;
    }
    EXPECT_EQ(static_cast<size_t>(current), whole) << length;
  }
}

}  // namespace
