#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "agent/report/report.h"
#include "tests/support/fault_env.h"
#include "tests/support/test_support.h"
#include "util/list.h"

namespace {

const uint8_t kDigest[20] = {0xDE, 0xAD, 0xBE, 0xEF};
// The report's clock; unix_now starts at  // 2001-09-09 01:46:40 UTC
testing_support::ManualClockEnv g_clock;

class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::use_utc();
    g_clock.unix_now = 1000000000;
  }

  void start(const char* job = "Nightly <docs>") {
    report_start("q.eml", "q", job, nullptr, 42, 7, kDigest, REPORT_FLAG_HTML, &g_clock);
  }
};

TEST_F(ReportTest, HashesThatStartNoTagAreCopied) {
  start("Job");
  EXPECT_EQ(report_compose_for_test("a ##word# b", false), "a ##word# b");
  EXPECT_EQ(report_compose_for_test("x##JOB#y", false), "x#Joby");
  EXPECT_EQ(report_compose_for_test("#JOB", false), "#JOB");
  EXPECT_EQ(report_compose_for_test("#", false), "#");
  EXPECT_EQ(report_compose_for_test("#job#", false), "#job#");  // tags are upper case
  EXPECT_EQ(report_compose_for_test("#JOB##JOB#", false), "JobJob");
}

TEST_F(ReportTest, TagsBeforeTheSessionAreEmptyOrZero) {
  start("Job");
  g_clock.unix_now += 5;
  std::string text = report_compose_for_test(
      "[#ACCNAME#][#USERNAME#][#DSTPATH#][#START_SIZE#][#NUM_FAILED#][#DELTA_SIZE#]", false);
  EXPECT_EQ(text, "[][][My Dorn/][0 bytes][0][0 bytes]");
  // The C runtime's ctime text: Windows pads the day with a zero, glibc with a blank.
#ifdef _WIN32
  EXPECT_EQ(report_compose_for_test("#START_TIME#", false), "Sun Sep 09 01:46:40 2001");
#else
  EXPECT_EQ(report_compose_for_test("#START_TIME#", false), "Sun Sep  9 01:46:40 2001");
#endif
}

TEST_F(ReportTest, HtmlFormEscapesInsertedValuesAndPlainFormDoesNot) {
  start("<img src=x onerror=alert(1)>.txt & co");
  EXPECT_EQ(report_compose_for_test("<b>#JOB#</b>", true),
            "<b>&lt;img src=x onerror=alert(1)&gt;.txt &amp; co</b>");
  EXPECT_EQ(report_compose_for_test("#JOB#", false), "<img src=x onerror=alert(1)>.txt & co");
}

TEST_F(ReportTest, RemovalLinkUsesTheConfiguredHost) {
  start();
  EXPECT_EQ(report_compose_for_test("[#REMOVE_ME_URL#]", true),
            "[https://" VARNO_REMOVAL_HOST_EXPECTED "/remove_notification]");
}

TEST_F(ReportTest, DestinationPathTakesThePartFromTheFirstSlashAfterTheFirstCharacter) {
  start();
  report_session(nullptr);
  report_begin(0, 0, "/12/docs/x");
  EXPECT_EQ(report_compose_for_test("#DSTPATH#", false), "My Dorn//docs/x");
  start();
  report_session(nullptr);
  report_begin(0, 0, "12");
  EXPECT_EQ(report_compose_for_test("#DSTPATH#", false), "My Dorn/");
  start();
  report_session(nullptr);
  report_begin(0, 0, "/");
  EXPECT_EQ(report_compose_for_test("#DSTPATH#", false), "My Dorn/");
}

TEST_F(ReportTest, WrongOrderBreaksTheReportUntilTheNextJob) {
  start();
  EXPECT_EQ(report_stage(), REPORT_STARTED);
  report_count_current();  // needs a running transfer
  EXPECT_EQ(report_stage(), REPORT_BROKEN);
  report_begin(1, 1, "/1");
  EXPECT_EQ(report_stage(), REPORT_BROKEN);
  start();
  EXPECT_EQ(report_stage(), REPORT_STARTED);
}

}  // namespace
