// Mirrored deletions under Sync= folders, and what they must never touch.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "protocol/codes.h"
#include "tests/support/engine_world.h"

namespace fs = std::filesystem;

namespace engine_test {
namespace {

class SyncTest : public EngineWorld {};

TEST_F(SyncTest, WhatIsGoneLocallyIsDeletedTwiceAndExclusionsStay) {
  write_data("docs/keep.txt", "excluded later, must stay on the server\n");
  write_data("docs/gone.txt", "deleted locally\n");
  write_data("docs/stay.txt", "unchanged\n");
  write_data("docs/shifted.txt", "time moved by an hour\n");
  write_data("docs/old folder/x.txt", "a folder deleted locally\n");
  write_data("other/outside.txt", "not under the sync folder\n");
  start_server();
  // Only the last component is placed under the destination.
  write_schedule("mirror=0\nSrc=D:\\docs\nSrc=D:\\other\nSync=D:\\docs\n");
  JobRun first = run();
  ASSERT_EQ(first.status, 0);
  EXPECT_EQ(first.count_logged("FILE: Successfully backed up '"), 6) << first.log;
  // A first run lists the empty server folder and deletes nothing.
  EXPECT_TRUE(first.logged("SYNC: Synchronizing 'D:\\docs'")) << first.log;
  EXPECT_EQ(first.count_server("KFS_DELETE"), 0) << first.server;

  fs::remove(data("docs/gone.txt"));
  fs::remove_all(data("docs/old folder"));
  fs::remove(data("other/outside.txt"));
  fs::last_write_time(data("docs/shifted.txt"),
                      fs::last_write_time(data("docs/shifted.txt")) - std::chrono::hours(1));
  // A changed schedule: the change index is set aside, so the listing alone decides.
  write_schedule("mirror=0\nSrc=D:\\docs\nSrc=D:\\other\nSync=D:\\docs\nXSrc=D:\\docs\\keep.txt\n");
  JobRun second = run();
  ASSERT_EQ(second.status, 0);
  EXPECT_TRUE(second.logged("Not using FCI cache.")) << second.log;
  EXPECT_TRUE(second.logged("PRESYNC: Added 'gone.txt' to list of files in folder 'D:\\docs'"))
      << second.log;
  EXPECT_TRUE(second.logged("PRESYNC: Added 'keep.txt' to list of files in folder 'D:\\docs'"))
      << second.log;
  EXPECT_TRUE(second.logged("SYNC OBJECT: '/1/docs/gone.txt' is gone; deleting from server."))
      << second.log;
  EXPECT_TRUE(second.logged("SYNC OBJECT: '/1/docs/old folder' is gone; deleting from server."))
      << second.log;
  EXPECT_EQ(second.count_logged("SYNC OBJECT:"), 2) << second.log;

  // Two deletes each, flags 0 (a file) before flags 1 (a folder with its contents): the
  // file goes with the first and the second finds nothing; the folder resists the first.
  EXPECT_NE(second.requests().find("KFS_DELETE /1/docs/gone.txt -> ERR_NONE\n"
                                   "KFS_DELETE /1/docs/gone.txt -> ERR_BADPATH\n"),
            std::string::npos)
      << second.server;
  EXPECT_NE(second.requests().find("KFS_DELETE /1/docs/old folder -> ERR_NOTFILE\n"
                                   "KFS_DELETE /1/docs/old folder -> ERR_NONE\n"),
            std::string::npos)
      << second.server;
  EXPECT_EQ(second.count_server("KFS_DELETE"), 4) << second.server;
  // The excluded file and the folder outside Sync= are left alone; an hour's shift with the
  // same size is no change even without the index.
  EXPECT_EQ(second.count_server("keep.txt"), 0) << second.server;
  EXPECT_EQ(second.count_server("outside.txt"), 0) << second.server;
  EXPECT_EQ(second.count_server("KFS_FILE_WOPEN"), 0) << second.server;
  EXPECT_EQ(second.board.items_current, 2u);

  std::map<std::string, std::string> on_server = regular_files(restore(1) + "/1");
  EXPECT_EQ(on_server.count("docs/keep.txt"), 1u);
  EXPECT_EQ(on_server.count("docs/stay.txt"), 1u);
  EXPECT_EQ(on_server.count("docs/shifted.txt"), 1u);
  EXPECT_EQ(on_server.count("docs/gone.txt"), 0u);
  EXPECT_EQ(on_server.count("docs/old folder/x.txt"), 0u);
  EXPECT_EQ(on_server.count("other/outside.txt"), 1u);
}

// Entries the walk passes over are not "present": a link that replaced a file is deleted
// from the server like a vanished file.
TEST_F(SyncTest, ReparsePointsDoNotKeepServerCopies) {
  SKIP_AGAINST_WINDOWS_AGENT("Wine shows links as the files they point at, not as reparse points");
  write_data("docs/became link.txt", "a file at first\n");
  write_data("docs/target.txt", "target\n");
  start_server();
  write_schedule("Src=D:\\docs\nSync=D:\\docs\n");
  ASSERT_EQ(run().status, 0);
  fs::remove(data("docs/became link.txt"));
  fs::create_symlink("target.txt", data("docs/became link.txt"));
  JobRun second = run();
  EXPECT_TRUE(second.logged("Ignoring 'D:\\docs\\became link.txt' as it is a reparse point."))
      << second.log;
  EXPECT_TRUE(second.logged(
      "SYNC OBJECT: '/1/D Drive/docs/became link.txt' is gone; deleting from server."))
      << second.log;
  EXPECT_EQ(second.count_server("KFS_DELETE /1/D Drive/docs/became link.txt"), 2) << second.server;
}

// A file whose status cannot be read (here: in a folder that lists but cannot be searched,
// as an ordinary user sees it) is a failure, not a deletion.
TEST_F(SyncTest, UnreadableEntriesFailAndKeepTheirServerCopies) {
  SKIP_AGAINST_WINDOWS_AGENT("entries are made unreadable by running the agent as another user");
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run the agent as another user";
  write_data("docs/locked/a.txt", "cannot be read later\n");
  write_data("docs/locked/sub/b.txt", "below the unreadable folder\n");
  write_data("docs/open.txt", "stays readable\n");
  start_server();
  write_schedule("Src=D:\\docs\nSync=D:\\docs\n");
  ASSERT_EQ(run().status, 0);
  (void)report();

  // The agent now runs as "nobody", who owns the working folder but may only list "locked".
  for (const auto& e : fs::recursive_directory_iterator(dir()))
    ASSERT_EQ(lchown(e.path().c_str(), 65534, 65534), 0) << e.path();
  ASSERT_EQ(chown(dir().c_str(), 65534, 65534), 0);
  fs::permissions(data("docs/locked"), fs::perms(0644));
  run_as_user = 65534;
  JobRun second = run();
  fs::permissions(data("docs/locked"), fs::perms(0755));
  ASSERT_EQ(second.status, 0) << second.log;

  for (const char* item : {"D:\\docs\\locked\\a.txt", "D:\\docs\\locked\\sub"}) {
    EXPECT_TRUE(second.logged("FILE: ERROR (errno 13) while attempting to stat() file: '" +
                              std::string(item) + "'"))
        << second.log;
  }
  EXPECT_TRUE(second.logged("SYNC: Synchronizing 'D:\\docs\\locked'")) << second.log;
  EXPECT_EQ(second.count_logged("SYNC OBJECT:"), 0) << second.log;
  EXPECT_EQ(second.count_server("KFS_DELETE"), 0) << second.server;
  std::string mail = report();
  EXPECT_NE(mail.find("D:\\docs\\locked\\a.txt"), std::string::npos) << mail;
  EXPECT_NE(mail.find("Permission denied"), std::string::npos) << mail;

  std::map<std::string, std::string> on_server = regular_files(restore(1) + "/1");
  EXPECT_EQ(on_server["D Drive/docs/locked/a.txt"], "cannot be read later\n");
  EXPECT_EQ(on_server["D Drive/docs/locked/sub/b.txt"], "below the unreadable folder\n");
  EXPECT_EQ(on_server["D Drive/docs/open.txt"], "stays readable\n");
}

// A server object is deleted only on evidence, and a file is called backed up only when the
// server holds it whole. Each row: a first clean run, a change here, a second run against a
// server that answers as the row plans, then a clean third run whose index claims are
// checked too.
struct SafetyCase {
  const char* name;
  std::vector<std::string> faults;  // the server's plan for the second run
  // What happens here before the second run, given the local sync folder.
  std::function<void(const std::string&)> change;
  std::vector<std::string> logged;  // lines the second run writes
  int deletes;                      // KFS_DELETE requests of the second run
  int deleted;                      // objects the report says it deleted
  int failed;                       // items the report says failed
  std::vector<std::string> kept;    // first-run files the server still holds
  std::vector<std::string> gone;    // first-run items the server no longer holds
};

class SyncSafetyTest : public EngineWorld {
 protected:
  void SetUp() override {
    EngineWorld::SetUp();
    // A listing that never ends must not wait an hour for the watchdog.
    had_watchdog_ = getenv("VARNO_WATCHDOG_MS") != nullptr;
    setenv("VARNO_WATCHDOG_MS", "30000", 0);
  }
  void TearDown() override {
    if (!had_watchdog_) unsetenv("VARNO_WATCHDOG_MS");
    EngineWorld::TearDown();
  }
  bool had_watchdog_ = false;
};

const std::map<std::string, std::string> kTree = {
    {"keep.txt", "kept\n"},
    {"gone.txt", "deleted here\n"},
    {"sub/inner.txt", "inner\n"},
    {"sub/deep/d.txt", "deep\n"},
    {"turned", "a file, later a folder\n"},
    {"flipped/f.txt", "in a folder, later a file\n"},
};
const char kRoot[] = "/1/D Drive/src/sync";

void remove_here(const std::string& root, const std::vector<std::string>& items) {
  for (const std::string& item : items) fs::remove_all(root + "/" + item);
}

void put(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  testing_support::write_file(path, bytes);
}

// "FILE: <prefix>'D:\src\sync\X'..." lines: X with "/" separators.
std::vector<std::string> files_claimed(const JobRun& r, const std::string& prefix) {
  std::vector<std::string> out;
  const std::string head = prefix + "'D:\\src\\sync\\";
  for (const std::string& m : r.messages()) {
    if (m.rfind(head, 0) != 0) continue;
    std::string x = m.substr(head.size(), m.find('\'', head.size()) - head.size());
    std::replace(x.begin(), x.end(), '\\', '/');
    out.push_back(x);
  }
  return out;
}

TEST_F(SyncSafetyTest, DeletesOnlyOnEvidenceAndClaimsOnlyWhatTheServerHolds) {
  const std::string schedule = "Src=D:\\src\\sync\nSync=D:\\src\\sync\n";
  const std::string changed = schedule + "; changed: the index is set aside\n";
  const std::string R = kRoot;
  const std::vector<SafetyCase> cases = {
      {"names no folder holds",
       {"find#1 list-extra f:,d:.,d:..,f:a%5Cb,f:sub%2Finner.txt,f:keep.txt%00junk,f:keep.txt"},
       [](const std::string& root) { fs::remove(root + "/gone.txt"); },
       {"PRESYNC: WARNING: The listing of '" + R +
            "' names '', which is no entry of a folder; it "
            "is never deleted.",
        "PRESYNC: WARNING: The listing of '" + R +
            "' names '..', which is no entry of a folder; "
            "it is never deleted.",
        "PRESYNC: WARNING: The listing of '" + R +
            "' names 'a\\b', which is no entry of a "
            "folder; it is never deleted.",
        "PRESYNC: WARNING: The listing of '" + R +
            "' names 'sub/inner.txt', which is no entry of "
            "a folder; it is never deleted.",
        "PRESYNC: WARNING: The listing of '" + R +
            "' names 'keep.txt?junk', which is no entry "
            "of a folder; it is never deleted.",
        "PRESYNC: WARNING: The listing of '" + R +
            "' names 'keep.txt' more than once; the "
            "repeat is ignored.",
        "SYNC OBJECT: '" + R + "/gone.txt' is gone; deleting from server.",
        "Summary: 0 files sent, 5 current, 0 failed, 1 deleted from the server."},
       2,
       1,
       0,
       {"keep.txt", "sub/inner.txt", "sub/deep/d.txt", "turned", "flipped/f.txt"},
       {"gone.txt"}},
      {"empty pages that say more follow",
       {"find list-endless 0"},
       [](const std::string& root) { fs::remove(root + "/gone.txt"); },
       {"PRESYNC: ERROR: The listing of '" + R +
            "' makes no progress: an empty page says more "
            "follow.",
        "PRESYNC: ERROR: Listing of '" + R + "' failed (Error " + std::to_string(ERR_SEQUENCE) +
            "); nothing is deleted there."},
       0,
       0,
       0,
       {"gone.txt", "keep.txt", "sub/inner.txt"},
       {}},
      {"pages of new names without end",
       {"find#1-201 list-endless 500"},
       [](const std::string& root) { fs::remove(root + "/gone.txt"); },
       {"PRESYNC: ERROR: The listing of '" + R + "' goes on beyond 100000 entries.",
        "PRESYNC: ERROR: Listing of '" + R + "' failed (Error " + std::to_string(ERR_SEQUENCE) +
            "); nothing is deleted there."},
       0,
       0,
       0,
       {"gone.txt", "keep.txt"},
       {}},
      {"folder create refused as not a folder",
       {"mkdir fail ERR_NOTDIR under " + R + "/sub"},
       nullptr,
       {},
       0,
       0,
       1,
       {"sub/inner.txt", "sub/deep/d.txt"},
       {}},
      {"open refused as not a file",
       {"open fail ERR_NOTFILE under " + R + "/keep.txt"},
       [](const std::string& root) { put(root + "/keep.txt", "changed, never stored\n"); },
       {"FILE: ERROR: Failed to backup 'D:\\src\\sync\\keep.txt' (errno=3)"},
       0,
       0,
       1,
       {"keep.txt"},
       {}},
      {"types swapped, the folder create answered as existing",
       {"mkdir#1 fail ERR_EXISTS under " + R + "/turned"},
       [](const std::string& root) {
         fs::remove(root + "/turned");
         put(root + "/turned/t.txt", "in the new folder\n");
         fs::remove_all(root + "/flipped");
         put(root + "/flipped", "the folder became a file\n");
       },
       {"SYNC OBJECT: '" + R + "/turned' is gone; deleting from server.",
        "SYNC OBJECT: '" + R + "/flipped' is gone; deleting from server.",
        "FILE: Successfully backed up 'D:\\src\\sync\\turned\\t.txt'",
        "FILE: Successfully backed up 'D:\\src\\sync\\flipped'"},
       4,
       2,
       0,
       {"keep.txt"},
       {"flipped/f.txt"}},
      {"source empty here",
       {},
       [](const std::string& root) {
         remove_here(root, {"keep.txt", "gone.txt", "sub", "turned", "flipped"});
       },
       {"SYNC: ERROR: 'D:\\src\\sync' is empty here while the server holds 5 entries there; "
        "nothing is deleted (a disk that is not mounted looks the same)."},
       0,
       0,
       1,
       {"keep.txt", "gone.txt", "sub/deep/d.txt", "turned", "flipped/f.txt"},
       {}},
      {"more deletions than a run may make",
       {},
       [](const std::string& root) {
         remove_here(root, {"keep.txt", "gone.txt", "turned", "flipped", "sub/inner.txt"});
       },
       {"SYNC: ERROR: 5 of the 8 entries the server listed under 'D:\\src\\sync' are gone here, "
        "more than the 50% one run may delete (VARNO_SYNC_DELETE_PERCENT); nothing is deleted "
        "there."},
       0,
       0,
       1,
       {"keep.txt", "gone.txt", "sub/inner.txt", "turned", "flipped/f.txt"},
       {}},
  };
  for (const SafetyCase& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(data());
    fs::remove_all(dir() + "/store");
    for (const char* f : {"job0000000a.fci", "job0000000a.fci.ro", "job0000000a.kbs.ts"})
      fs::remove(dir() + "/" + f);
    for (const auto& [path, bytes] : kTree) write_data("src/sync/" + path, bytes);
    start_server();
    write_schedule(schedule);
    ASSERT_EQ(run().status, 0);
    (void)report();
    stop_server();

    if (c.change) c.change(data("src/sync"));
    write_schedule(changed);
    std::vector<std::string> flags;
    for (const std::string& f : c.faults) flags.insert(flags.end(), {"--fault", f});
    start_server(flags);
    JobRun second = run();
    EXPECT_EQ(server->stop(), 0) << "a planned fault never fired: " << server->errors();
    EXPECT_EQ(second.status, 0) << second.log.substr(0, 4000);
    EXPECT_TRUE(second.logged("Backup job completed normally.")) << second.log.substr(0, 4000);
    for (const std::string& line : c.logged) {
      EXPECT_TRUE(second.logged(line)) << line << "\n" << second.log.substr(0, 8000);
    }
    EXPECT_EQ(second.count_server("KFS_DELETE"), c.deletes) << second.server.substr(0, 8000);
    std::string mail = report();
    EXPECT_NE(mail.find("Files that failed ....... " + std::to_string(c.failed)), std::string::npos)
        << mail;
    EXPECT_NE(mail.find("Deleted from the server . " + std::to_string(c.deleted)),
              std::string::npos)
        << mail;

    std::map<std::string, std::string> held = regular_files(restore(1) + "/1/D Drive/src/sync");
    for (const std::string& f : c.kept) EXPECT_EQ(held[f], kTree.at(f)) << f;
    for (const std::string& f : c.gone) EXPECT_EQ(held.count(f), 0u) << f;
    // What a run calls sent, and what the index later calls current, the server holds.
    start_server();
    JobRun third = run();
    EXPECT_EQ(third.status, 0);
    (void)report();
    stop_server();
    for (const JobRun* r : {&second, &third}) {
      const char* claim =
          r == &second ? "FILE: Successfully backed up " : "FILE: Current; Not backing up: ";
      for (const std::string& f : files_claimed(*r, claim)) {
        EXPECT_EQ(held[f], testing_support::read_file(data("src/sync/" + f))) << claim << f;
      }
    }
  }
}

}  // namespace
}  // namespace engine_test
