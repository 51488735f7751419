#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "agent/backup/commands.h"
#include "agent/backup/job_state.h"
#include "agent/backup/settings.h"
#include "agent/report/report.h"
#include "agent/runtime/log.h"
#include "tests/support/test_support.h"

using testing_support::read_file;
using testing_support::read_text_file;
using testing_support::ScopedCwd;
using testing_support::TempDir;

namespace {

const uint8_t kDigest[20] = {};

class CommandRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cwd_ = std::make_unique<ScopedCwd>(dir_.path());
    job_settings_reset();
    ASSERT_EQ(log_job_open("job.kbs", plat_env()), 0);
    report_start("job.kbs.eml", "job.kbs", "job", nullptr, 0, 1, kDigest, 1, plat_env());
  }
  void TearDown() override {
    log_job_close();
    job_settings_free();
    unsetenv("VARNO_COMMAND_LIMIT_MS");
  }
  void set_option(ScheduleOptionIndex i, const char* value) {
    ScheduleOption& o = job_settings().options[i];
    free(o.value);
    o.value = strdup(value);
    o.seen = true;
  }
  std::string job_log() { return read_text_file(dir_.file("job.kbs.log")); }
  bool logged(const std::string& line) { return job_log().find(line) != std::string::npos; }

  TempDir dir_;
  std::unique_ptr<ScopedCwd> cwd_;
};

TEST_F(CommandRunnerTest, SuccessLogsSkippedRedirectionAroundTheRun) {
  EXPECT_TRUE(run_backup_command(COMMAND_PRE_BACKUP, "true", plat_env()));
  std::string log = job_log();
  size_t a = log.find("] Skipping disabling Wow64FsRedirection.\n");
  size_t b = log.find("] Running pre-backup command: 'true'\n");
  size_t c = log.find("] Successfully executed pre-backup command (exit code 0).\n");
  size_t d = log.find("] Skipping reverting Wow64FsRedirection.\n");
  ASSERT_NE(a, std::string::npos);
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_LT(c, d);
  EXPECT_NE(d, std::string::npos);
  EXPECT_EQ(report_stage(), REPORT_STARTED);  // nothing reported
}

TEST_F(CommandRunnerTest, FatalNonZeroExitEndsTheJobAndReports) {
  set_option(OPT_FATALPRECMD, "1");
  EXPECT_FALSE(run_backup_command(COMMAND_PRE_BACKUP, "exit 3", plat_env()));
  EXPECT_TRUE(
      logged("] Pre-Backup command 'exit 3' returned non-zero exit code 3; Exit code 3; "
             "Aborting (pre-backup command failure is fatal).\n"));
  EXPECT_EQ(report_stage(), REPORT_IDLE);  // the failure report was issued
}

TEST_F(CommandRunnerTest, NonFatalNonZeroExitGoesOn) {
  set_option(OPT_FATALPRECMD, "0");
  EXPECT_TRUE(run_backup_command(COMMAND_PRE_BACKUP, "exit 3", plat_env()));
  EXPECT_TRUE(
      logged("] Pre-Backup command 'exit 3' returned non-zero exit code 3; Continuing "
             "(pre-backup command failure not fatal).\n"));
  EXPECT_EQ(report_stage(), REPORT_STARTED);
}

TEST_F(CommandRunnerTest, MissingProgramFailsToStart) {
  set_option(OPT_FATALPOSTCMD, "1");
  EXPECT_FALSE(run_backup_command(COMMAND_POST_BACKUP, "/nonexistent/tool --flag", plat_env()));
  EXPECT_TRUE(
      logged("] Post-Backup command '/nonexistent/tool --flag' failed on CreateProcess(): "
             "No such file or directory; Aborting (post-command failure is fatal).\n"));
  EXPECT_TRUE(run_backup_command(COMMAND_PRE_BACKUP, "no-such-program-varno x", plat_env()));
  EXPECT_TRUE(
      logged("failed on CreateProcess(): No such file or directory; Continuing "
             "(pre-command failure not fatal).\n"));
}

TEST_F(CommandRunnerTest, CommandOverTheLimitIsTerminated) {
  setenv("VARNO_COMMAND_LIMIT_MS", "2000", 1);
  EXPECT_TRUE(run_backup_command(COMMAND_POST_BACKUP, "sleep 30", plat_env()));
  EXPECT_TRUE(
      logged("] Post-Backup command 'sleep 30' timed out after 2000 milliseconds; "
             "Continuing (post-command failure not fatal).\n"));
  EXPECT_TRUE(logged("] Successfully terminated the post-backup command process.\n"));
}

TEST_F(CommandRunnerTest, SignalledCommandCountsAsNonZero) {
  EXPECT_TRUE(run_backup_command(COMMAND_POST_BACKUP, "kill -9 $$", plat_env()));
  EXPECT_TRUE(logged("returned non-zero exit code 137;"));
}

TEST(CommandRunnerStopTest, EarlierUserStopEndsThePreCommandAfterOneSecond) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  job_settings_reset();
  ASSERT_EQ(log_job_open("job.kbs", plat_env()), 0);
  report_start("job.kbs.eml", "job.kbs", "job", nullptr, 0, 1, kDigest, 1, plat_env());
  set_user_terminated();
  EXPECT_FALSE(run_backup_command(COMMAND_PRE_BACKUP, "sleep 30", plat_env()));
  std::string log = read_text_file(dir.file("job.kbs.log"));
  EXPECT_NE(log.find("] Successfully terminated the pre-backup command process.\n"),
            std::string::npos);
  EXPECT_EQ(report_stage(), REPORT_IDLE);
  log_job_close();
  job_settings_free();
}

}  // namespace
