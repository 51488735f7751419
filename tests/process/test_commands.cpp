// Pre- and post-backup commands around real runs: what a failure ends, what it leaves, and
// the report it issues.
#include <filesystem>

#include "tests/support/engine_world.h"

namespace fs = std::filesystem;

namespace engine_test {
namespace {

class CommandJobTest : public EngineWorld {};

TEST_F(CommandJobTest, FatalPreCommandEndsTheJobBeforeAnySession) {
  SKIP_AGAINST_WINDOWS_AGENT("its commands and expected lines are the POSIX shell's");
  write_data("a.txt", "never sent\n");
  start_server();
  write_schedule("Src=D:\\\nprecmd=exit 3\nfatalprecmd=1\n");
  JobRun r = run();
  ASSERT_EQ(r.status, 0);
  EXPECT_TRUE(r.logged("Running pre-backup command: 'exit 3'")) << r.log;
  EXPECT_TRUE(
      r.logged("Pre-Backup command 'exit 3' returned non-zero exit code 3; Exit code 3; "
               "Aborting (pre-backup command failure is fatal)."))
      << r.log;
  EXPECT_TRUE(r.logged("Skipping disabling Wow64FsRedirection.")) << r.log;
  EXPECT_TRUE(r.logged("Skipping reverting Wow64FsRedirection.")) << r.log;
  // No sizing, no session, no stamp.
  EXPECT_FALSE(r.logged("Calculating...")) << r.log;
  EXPECT_EQ(r.server, "");
  EXPECT_FALSE(testing_support::file_exists(dir() + "/" + kSchedule + ".ts"));
  EXPECT_STREQ(r.board.current_item, "");
  EXPECT_EQ(r.board.items_failed + r.board.items_backed_up + r.board.items_current, 0u);

  // The failure report is queued, encrypted, and carries the command's line.
  std::string queued = queued_report();
  EXPECT_NE(queued.find("Pre-Backup command 'exit 3' returned non-zero exit code 3"),
            std::string::npos)
      << queued;
  EXPECT_NE(queued.find("Backup FAILED: Process test"), std::string::npos) << queued;
  std::string raw = testing_support::read_file(dir() + "/" + kSchedule + ".eml");
  EXPECT_EQ(raw.find("exit code 3"), std::string::npos);
  EXPECT_EQ(files_with_key(), std::vector<std::string>{});
}

TEST_F(CommandJobTest, ProgramThatCannotStartIsKindA) {
  SKIP_AGAINST_WINDOWS_AGENT("its commands and expected lines are the POSIX shell's");
  write_data("a.txt", "sent when the failure is not fatal\n");
  start_server();
  const std::string line =
      "Pre-Backup command '/nonexistent/varno-precmd --now' failed on CreateProcess(): "
      "No such file or directory";

  write_schedule("Src=D:\\\nprecmd=/nonexistent/varno-precmd --now\n");
  JobRun lenient = run();
  EXPECT_TRUE(lenient.logged(line + "; Continuing (pre-command failure not fatal)."))
      << lenient.log;
  EXPECT_TRUE(lenient.logged("FILE: Successfully backed up 'D:\\a.txt'")) << lenient.log;
  EXPECT_TRUE(lenient.logged("Backup job completed normally.")) << lenient.log;
  EXPECT_LT(lenient.position(line + "; Continuing (pre-command failure not fatal)."),
            lenient.position("Calculating..."));

  write_schedule("Src=D:\\\nprecmd=/nonexistent/varno-precmd --now\nfatalprecmd=1\n");
  JobRun strict = run();
  EXPECT_TRUE(strict.logged(line + "; Aborting (pre-command failure is fatal).")) << strict.log;
  EXPECT_FALSE(strict.logged("Calculating...")) << strict.log;
  EXPECT_EQ(strict.server, "");
  EXPECT_NE(queued_report().find(line), std::string::npos);
}

TEST_F(CommandJobTest, CommandsRunAroundTheBackupAndAFatalPostCommandKeepsTheReport) {
  SKIP_AGAINST_WINDOWS_AGENT("its commands and expected lines are the POSIX shell's");
  start_server();
  // The pre-backup command makes a file that the backup then finds.
  write_schedule(
      "Src=D:\\\nprecmd=printf made > data/made-by-precmd.txt\npostcmd=exit 2\nfatalpostcmd=1\n");
  JobRun r = run();
  ASSERT_EQ(r.status, 0);
  EXPECT_TRUE(r.logged("Successfully executed pre-backup command (exit code 0).")) << r.log;
  EXPECT_TRUE(r.logged("FILE: Successfully backed up 'D:\\made-by-precmd.txt'")) << r.log;
  EXPECT_TRUE(r.logged("Running post-backup command: 'exit 2'")) << r.log;
  EXPECT_TRUE(
      r.logged("Post-Backup command 'exit 2' returned non-zero exit code 2; Exit code 2; "
               "Aborting (post-backup command failure is fatal)."))
      << r.log;
  EXPECT_GT(r.position("Running post-backup command: 'exit 2'"), r.position("Rewrote MD5."));
  EXPECT_FALSE(r.logged("Backup job completed normally.")) << r.log;
  // The success report was issued before the command and stays as it was.
  std::string mail = report();
  EXPECT_NE(mail.find("Files sent .............. 1"), std::string::npos) << mail;
  EXPECT_EQ(queued_report(), "");
  EXPECT_EQ(testing_support::read_file(restore(1) + "/1/D Drive/made-by-precmd.txt"), "made");
}

}  // namespace
}  // namespace engine_test
