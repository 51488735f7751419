// A generated tree backed up and restored byte for byte; what the job log, agent.log, the
// progress board and the report say about it; and the account key kept out of every file.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/engine_world.h"

namespace fs = std::filesystem;

namespace engine_test {
namespace {

class TreeTest : public EngineWorld {
 protected:
  // Regular files by path below the data folder; blocks of the server are 16 bytes.
  std::map<std::string, std::string> make_tree() {
    std::map<std::string, std::string> files = {
        {"empty.txt", ""},
        {"one block.bin", random_bytes(16)},
        {"many/exact.bin", random_bytes(16 * 40)},
        {"many/partial.bin", random_bytes(16 * 37 + 5)},
        {"nested/a/b/c/deep.txt", std::string(100, 'x')},
        {"na\xc3\xafve caf\xc3\xa9.txt", "non-ASCII name in UTF-8\n"},
        {"raw\xe9\xff name.bin", random_bytes(33)},
        {"Spaced Folder/inner file.txt", "spaces on both levels\n"},
    };
    for (const auto& [name, bytes] : files) write_data(name, bytes);
    fs::create_directories(data("Empty folder"));
    fs::create_symlink("one block.bin", data("link"));
    fs::create_directory_symlink("nested", data("linkdir"));
    EXPECT_EQ(mkfifo(data("fifo").c_str(), 0600), 0);
    return files;
  }
};

TEST_F(TreeTest, EveryRegularFileComesBackAndTheRecordsAgree) {
  SKIP_AGAINST_WINDOWS_AGENT(
      "its tree holds links, a FIFO and a name that is not UTF-8, which Wine shows as files or "
      "cannot name");
  std::map<std::string, std::string> files = make_tree();
  uint64_t total = 0;
  for (const auto& [name, bytes] : files) total += bytes.size();
  start_server();
  write_schedule("Src=D:\\\n");

  JobRun r = run();
  ASSERT_EQ(r.status, 0) << r.log;

  // The restore gives back exactly the regular files, byte for byte.
  std::string restored = restore(1);
  EXPECT_EQ(regular_files(restored + "/1/D Drive"), files);

  // Links and the FIFO are passed over as reparse points, and never opened.
  EXPECT_TRUE(r.logged("Ignoring 'D:\\link' as it is a reparse point.")) << r.log;
  EXPECT_TRUE(r.logged("Ignoring 'D:\\linkdir' as it is a reparse point.")) << r.log;
  EXPECT_TRUE(r.logged("Ignoring 'D:\\fifo' as it is a reparse point.")) << r.log;
  EXPECT_EQ(r.count_server("KFS_FILE_WOPEN"), static_cast<int>(files.size())) << r.server;
  EXPECT_EQ(r.count_server("link"), 0) << r.server;
  EXPECT_EQ(r.count_server("fifo"), 0) << r.server;

  // The job log: sizes, every file, the order of the run's steps.
  EXPECT_TRUE(r.logged("Calculated backup size: " + std::to_string(total) + " bytes")) << r.log;
  EXPECT_TRUE(r.logged("NOTICE: 0 missing items.")) << r.log;
  EXPECT_EQ(r.count_logged("FILE: Successfully backed up '"), static_cast<int>(files.size()))
      << r.log;
  EXPECT_TRUE(r.logged("FILE: Successfully backed up 'D:\\many\\partial.bin'")) << r.log;
  EXPECT_TRUE(r.logged("FILE: Successfully backed up 'D:\\raw\xe9\xff name.bin'")) << r.log;
  EXPECT_EQ(r.count_logged("FILE: ERROR"), 0) << r.log;
  const char* steps[] = {"Calculating...",
                         "User lock obtained; Ready to begin.",
                         "Not using FCI cache.",
                         "Starting backup of files...",
                         "Backup of files complete.",
                         "Logged out user.",
                         "Rewrote MD5.",
                         "Backup job completed normally."};
  int last = -1;
  for (const char* step : steps) {
    int at = r.position(step);
    EXPECT_GT(at, last) << step << "\n" << r.log;
    last = at;
  }

  // A file of exactly one block carries no checksum; a partial last block is its own block.
  // 1 + 40 + 38 + 7 + 2 + 3 + 2 blocks in all, one query each.
  EXPECT_EQ(r.count_server("KFS_FILE_WRITE query"), 1 + 40 + 38 + 7 + 2 + 3 + 2) << r.server;
  EXPECT_EQ(r.count_server("KFS_FILE_WRITE end 0"), 1) << r.server;  // "one block.bin"
  EXPECT_EQ(r.count_server("committed"), static_cast<int>(files.size())) << r.server;

  // agent.log: the job ran and the agent ended normally.
  EXPECT_NE(r.agent_log.find("initial procjob('job0000000a.kbs') complete"), std::string::npos)
      << r.agent_log;
  EXPECT_NE(r.agent_log.find("Backup thread exited normally."), std::string::npos) << r.agent_log;

  // The board as the agent left it.
  ASSERT_TRUE(r.board_seen);
  EXPECT_EQ(r.board.total_bytes, total);
  EXPECT_EQ(r.board.done_bytes, total);
  EXPECT_EQ(r.board.items_backed_up, files.size());
  EXPECT_EQ(r.board.items_failed, 0u);
  EXPECT_EQ(r.board.items_current, 0u);
  EXPECT_STREQ(r.board.status, "Complete");
  EXPECT_STREQ(r.board.schedule_name, "Process test");

  // The report went to the server and says the same.
  std::string mail = report();
  EXPECT_NE(mail.find("X-Kfs-Schedule-Id: 10"), std::string::npos) << mail;
  EXPECT_NE(mail.find("Files selected .......... " + std::to_string(files.size())),
            std::string::npos)
      << mail;
  EXPECT_NE(mail.find("Files sent .............. " + std::to_string(files.size())),
            std::string::npos)
      << mail;
  EXPECT_NE(mail.find("Files that failed ....... 0"), std::string::npos) << mail;
  EXPECT_NE(mail.find("Selected size ........... " + std::to_string(total) + " bytes"),
            std::string::npos)
      << mail;
  EXPECT_EQ(queued_report(), "");

  // The stamp: "md5=" and the digest of the schedule as stored.
  std::string stamp = testing_support::read_file(dir() + "/" + kSchedule + ".ts");
  EXPECT_EQ(stamp.size(), 20u);
  EXPECT_EQ(stamp.substr(0, 4), "md5=");

  // The account key is in no file in clear: not the logs, the index, the stamp, the store.
  EXPECT_EQ(files_with_key(), std::vector<std::string>{});
}

// Sources of every form in one schedule: a missing one, a link, a relative path that has no
// place under mirroring, a share root and a file on a share, a plain file, and a destination
// that already ends in a slash.
TEST_F(TreeTest, SourcesOfEveryFormArePlacedOrReported) {
  SKIP_AGAINST_WINDOWS_AGENT(
      "its sources include links, which Wine shows as the files they point at, not as reparse "
      "points");
  write_data("single.txt", "a source that is a file\n");
  fs::create_symlink("single.txt", data("link"));
  testing_support::write_file(dir() + "/share/top.txt", "top of the share\n");
  testing_support::write_file(dir() + "/share/sub/x.txt", "deeper on the share\n");
  testing_support::write_file(dir() + "/etc/drives",
                              "D:=" + data() + "\n\\\\fs1\\docs=" + dir() + "/share\n");
  start_server();
  write_schedule(
      "Dest=/1/\n"
      "Src=D:\\missing\n"
      "Src=D:\\link\n"
      "Src=relative\\thing\n"
      "Src=\\\\fs1\\docs\\sub\\x.txt\n"
      "Src=\\\\fs1\\docs\n"
      "Src=D:\\single.txt\n");
  JobRun r = run();
  ASSERT_EQ(r.status, 0) << r.log;

  EXPECT_TRUE(r.logged("FILE: ERROR (errno 2) while attempting to stat() file: 'D:\\missing'"))
      << r.log;
  EXPECT_EQ(r.position("Previous error indicates the file was not found."),
            r.position("FILE: ERROR (errno 2) while attempting to stat() file: 'D:\\missing'") + 1);
  // The sizing pass cannot find the relative source either.
  EXPECT_TRUE(r.logged("NOTICE: 2 missing items.")) << r.log;
  // Once in the sizing pass, once in the backup loop.
  EXPECT_EQ(r.count_logged("FILE: Ignoring 'D:\\link' because it is a reparse point."), 2) << r.log;
  EXPECT_EQ(
      r.count_logged("FILE: ") - r.count_logged("FILE: Ignoring") - r.count_logged("FILE: ERROR"),
      4)
      << r.log;
  // The relative source is passed over without a word.
  EXPECT_EQ(r.log.find("relative\\thing", r.log.find("Parsing KBS file: complete.")),
            std::string::npos)
      << r.log;

  EXPECT_EQ(r.count_server("//"), 0) << r.server;
  EXPECT_EQ(r.count_server("KFS_MKDIR /1/fs1 docs Share "), 2) << r.server;
  EXPECT_EQ(r.count_server("KFS_MKDIR /1/fs1 docs Share/ -> ERR_EXISTS"), 1) << r.server;
  EXPECT_EQ(r.count_server("KFS_MKDIR /1/fs1 docs Share/sub "), 2) << r.server;
  // The file met twice: the second open finds it on the server already.
  EXPECT_TRUE(
      r.logged("FILE: File was reported to be changed, but is in fact up to date: "
               "'\\\\fs1\\docs\\sub\\x.txt'"))
      << r.log;

  std::map<std::string, std::string> on_server = regular_files(restore(1) + "/1");
  std::map<std::string, std::string> expected = {
      {"D Drive/single.txt", "a source that is a file\n"},
      {"fs1 docs Share/top.txt", "top of the share\n"},
      {"fs1 docs Share/sub/x.txt", "deeper on the share\n"},
  };
  EXPECT_EQ(on_server, expected);

  EXPECT_EQ(r.board.items_backed_up, 3u);
  EXPECT_EQ(r.board.items_current, 1u);
  std::string mail = report();
  EXPECT_NE(mail.find("Files that failed ....... 1"), std::string::npos) << mail;
  EXPECT_NE(mail.find("D:\\missing"), std::string::npos) << mail;
}

}  // namespace
}  // namespace engine_test

namespace engine_test {
namespace {

// A local path within the walk's limit can still make a server path that does not fit
// the 1024-byte remote buffer (a long destination plus "D Drive"): that item is reported,
// never written past its buffer, and the rest of the tree is backed up.
TEST_F(TreeTest, ServerPathThatWouldNotFitIsReportedAndSkipped) {
  std::string deep = std::string(200, 'a') + "/" + std::string(200, 'b') + "/" +
                     std::string(200, 'c') + "/" + std::string(200, 'd');
  write_data(deep + "/" + std::string(150, 'f'), "too deep for the server path\n");
  write_data("short.txt", "fits\n");
  start_server();
  write_schedule("Dest=/1/" + std::string(150, 'x') + "\nSrc=D:\\\n");

  JobRun r = run();
  ASSERT_EQ(r.status, 0) << r.log;
  EXPECT_EQ(r.count_logged("FILE: ERROR: Remote path too long for 'D:\\"), 1) << r.log;
  EXPECT_TRUE(r.logged("FILE: Successfully backed up 'D:\\short.txt'")) << r.log;
  EXPECT_TRUE(r.logged("Backup job completed normally.")) << r.log;
  EXPECT_NE(report().find("Files that failed ....... 1"), std::string::npos) << report();
}

}  // namespace
}  // namespace engine_test
