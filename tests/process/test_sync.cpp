// Mirrored deletions under Sync= folders, and what they must never touch.
#include <unistd.h>

#include <filesystem>

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

}  // namespace
}  // namespace engine_test
