#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "agent/runtime/log.h"
#include "platform/env.h"
#include "platform/path.h"
#include "tests/support/fault_env.h"
#include "tests/support/test_support.h"

using testing_support::read_file;
using testing_support::ScopedCwd;
using testing_support::TempDir;

namespace {

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cwd_ = std::make_unique<ScopedCwd>(dir_.path());
    clock_.now = LocalTime{2026, 3, 9, 7, 5, 4, 7};
  }
  void TearDown() override {
    log_job_close();
    log_agent_close();
  }
  testing_support::ManualClockEnv clock_;
  TempDir dir_;
  std::unique_ptr<ScopedCwd> cwd_;
};

TEST_F(LogTest, LineFormatHasNoOpeningBracketAndFourDigitMilliseconds) {
  ASSERT_EQ(log_agent_open(&clock_), 0);
  log_agent("varno-backup.exe: %s\n", "Started.");
  log_agent("no newline");
  log_agent_close();
  EXPECT_EQ(read_file(dir_.file("agent.log")),
            "2026-03-09 07:05:04.0007] varno-backup.exe: Started.\r\n"
            "2026-03-09 07:05:04.0007] no newline");
}

TEST_F(LogTest, EveryLineFeedIsStoredAsCarriageReturnAndLineFeed) {
  ASSERT_EQ(log_agent_open(&clock_), 0);
  log_agent("a\nb\r\n\n");
  log_agent_close();
  EXPECT_EQ(read_file(dir_.file("agent.log")), "2026-03-09 07:05:04.0007] a\r\nb\r\r\n\r\n");
}

TEST_F(LogTest, RealClockLinesMatchTheFormat) {
  ASSERT_EQ(log_agent_open(plat_env()), 0);
  log_agent("x\n");
  EXPECT_TRUE(std::regex_match(read_file(dir_.file("agent.log")),
                               std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.0\d{3}\] x\r\n)")));
}

TEST_F(LogTest, EachLineIsOnDiskAtOnce) {
  ASSERT_EQ(log_agent_open(&clock_), 0);
  log_agent("first\n");
  EXPECT_NE(read_file(dir_.file("agent.log")).find("first\r\n"), std::string::npos);
}

TEST_F(LogTest, AgentLogIsEmptiedAtEachOpenAndSilentWhenClosed) {
  ASSERT_EQ(log_agent_open(&clock_), 0);
  log_agent("old\n");
  ASSERT_EQ(log_agent_open(&clock_), 0);
  log_agent("new\n");
  log_agent_close();
  log_agent("after close\n");
  EXPECT_EQ(read_file(dir_.file("agent.log")), "2026-03-09 07:05:04.0007] new\r\n");
}

TEST_F(LogTest, LongMessagesAreCutToTheLineMaximum) {
  ASSERT_EQ(log_agent_open(&clock_), 0);
  std::string big(20000, 'x');
  log_agent("%s", big.c_str());
  log_agent_close();
  std::string text = read_file(dir_.file("agent.log"));
  EXPECT_EQ(text.size(), static_cast<size_t>(LOG_LINE_MAX));
  EXPECT_EQ(text.substr(0, 26), "2026-03-09 07:05:04.0007] ");
  EXPECT_EQ(text.find_first_not_of('x', 26), std::string::npos);
}

TEST_F(LogTest, JobLogLivesBesideTheScheduleAndHoldsOnlyTheLastRun) {
  testing_support::write_file(dir_.file("etc/drives"), "J:=" + dir_.path() + "/jobs\n");
  testing_support::make_dirs(dir_.file("jobs"));
  plat_drive_map_reload();
  ASSERT_EQ(log_job_open("J:\\nightly.kbs", &clock_), 0);
  log_job("run one\n");
  ASSERT_EQ(log_job_open("J:\\nightly.kbs", &clock_), 0);
  log_job("run two\n");
  log_job_close();
  EXPECT_EQ(read_file(dir_.file("jobs/nightly.kbs.log")),
            "2026-03-09 07:05:04.0007] Initialized log file 'J:\\nightly.kbs.log'\r\n"
            "2026-03-09 07:05:04.0007] run two\r\n");
}

TEST_F(LogTest, WithoutAJobLogLinesGoToTheDebuggerWithTheirTime) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(log_job_open("Q:\\unmapped\\job.kbs", &clock_), -1);
  EXPECT_FALSE(log_job_is_open());
  log_job("Got value of '%s' for '%s'\n", "1", "mirror");
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err,
            "2026-03-09 07:05:04.0007] Could not open log file 'Q:\\unmapped\\job.kbs'\n"
            "2026-03-09 07:05:04.0007] Initialized log file 'Q:\\unmapped\\job.kbs.log'\n"
            "2026-03-09 07:05:04.0007] Got value of '1' for 'mirror'\n");
}

TEST_F(LogTest, TraceDebugHasNoTimeAndIsBounded) {
  ::testing::internal::CaptureStderr();
  trace_debug("varno-backup.exe: Started.");
  trace_debug("%s", std::string(1000, 'y').c_str());
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "varno-backup.exe: Started.\n" + std::string(253, 'y') + "\n");
}

}  // namespace
