// Report delivery with real files: templates under etc/, queue files decrypted by openssl,
// and success reports handed to the real kfs-devserver.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/app_key_test_util.h"

#include <algorithm>
#include <cerrno>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "agent/report/report.h"
#include "platform/env.h"
#include "protocol/ckfs.h"
#include "protocol/codes.h"
#include "tests/support/fault_env.h"
#include "tests/support/kfs_peers.h"
#include "tests/support/test_support.h"
#include "util/list.h"
#include "util/machine.h"
#include "util/text.h"

namespace {

using testing_support::file_exists;
using testing_support::make_dirs;
using testing_support::read_file;
using testing_support::run_command;
using testing_support::ScopedCwd;
using testing_support::TempDir;
using testing_support::write_file;

const uint8_t kDigest[20] = {0xDE, 0xAD, 0xBE, 0xEF, 0,  1,  2,  3,  4,  5,
                             6,    7,    8,    9,    10, 11, 12, 13, 14, 15};
const char kToken[] = "DEADBEEF000102030405060708090A0B0C0D0E0F";
// The report's clock; unix_now starts at  // Sun Sep  9 01:46:40 2001 UTC
testing_support::ManualClockEnv g_clock;

struct ListDeleter {
  void operator()(List* l) const { list_free(l); }
};
using ListPtr = std::unique_ptr<List, ListDeleter>;

ListPtr recipients(std::initializer_list<const char*> items) {
  ListPtr list(list_create(4, 4, nullptr));
  for (const char* item : items)
    list_insert(list.get(), item, strlen(item), list_count(list.get()));
  return list;
}

// A loopback port that was free a moment ago and has no listener.
int unused_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

class ReportDelivery : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::use_utc();
    g_clock.unix_now = 1000000000;
    cwd_ = std::make_unique<ScopedCwd>(dir_.path());
    make_dirs("etc");
    for (const char* kind : {"success", "failinfo", "failnoinfo"}) {
      write_file(std::string("etc/") + kind + "_html.emt",
                 std::string("<p>") + kind + " #JOB#</p>\n#ERROR_LIST#");
      write_file(std::string("etc/") + kind + "_txt.emt",
                 std::string(kind) + " #JOB#\n#ERROR_LIST#");
    }
  }
  void TearDown() override { cwd_.reset(); }

  void start(const List* to, int flags = REPORT_FLAG_HTML, const char* queue = "q.eml",
             const char* job = "Nightly") {
    report_start(queue, std::string(queue, strlen(queue) - 4).c_str(), job, to, 42, 7, kDigest,
                 flags, &g_clock);
  }
  // Stages 1 to 3 without a session: a success report then has no server to go to.
  void start_transfer(const List* to, int flags = REPORT_FLAG_HTML, uint64_t requested = 3,
                      uint64_t start_size = 100) {
    start(to, flags);
    report_session(nullptr);
    report_begin(requested, start_size, "/12/docs");
    ASSERT_EQ(report_stage(), REPORT_TRANSFER);
  }

  static std::string app_key_hex() { return app_key_test::app_key_hex(); }
  std::string decrypt(const std::string& path) { return app_key_test::openssl_decrypt(path); }
  static std::string queue_head(const std::string& to) {
    return "# Varno Mail Queue\nOpcode=0\nScheduleId=42\nUserId=7\nEncryptionToken=" +
           std::string(kToken) + "\nTo=" + to + "\n[message]\n";
  }
  // The message of a queue file addressed to `to`.
  std::string queued_message(const std::string& path, const std::string& to) {
    std::string plain = decrypt(path);
    std::string head = queue_head(to);
    EXPECT_EQ(plain.substr(0, head.size()), head);
    return plain.size() >= head.size() ? plain.substr(head.size()) : std::string();
  }
  std::vector<std::string> eml_files() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
      std::string name = e.path().filename().string();
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".eml") == 0) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir dir_;
  std::unique_ptr<ScopedCwd> cwd_;
};

TEST_F(ReportDelivery, FailureBeforeTheSessionIsQueuedWithEmptyValuesAndTheTimeOfTheReport) {
  write_file("etc/failnoinfo_txt.emt",
             "[#ACCNAME#][#USERNAME#][#DSTPATH#][#START_SIZE#][#STOP_SIZE#][#DELTA_SIZE#]"
             "[#NUM_REQUESTED#][#NUM_TRANSFERED#][#NUM_UP2DATE#][#NUM_FAILED#]\n"
             "#START_TIME#|#STOP_TIME#|#DELTA_TIME#|#ERROR_MESSAGE#\n#ERROR_LIST#");
  auto to = recipients({"bob@example.com"});
  start(to.get(), 0);
  g_clock.unix_now += 3661;
  report_failure_text("Unable to start user session");
  EXPECT_EQ(report_stage(), REPORT_IDLE);
  // The exact file as openssl reads it: the queue lines, then the message.
  EXPECT_EQ(decrypt("q.eml"), queue_head("bob@example.com") +
                                  "[][][My Dorn/][0 bytes][0 bytes][0 bytes][0][0][0][0]\n"
                                  "Sun Sep  9 01:46:40 2001|Sun Sep  9 02:47:41 2001|01:01:01|"
                                  "Unable to start user session\n - None!\n");
  EXPECT_EQ(eml_files(), std::vector<std::string>{"q.eml"});
}

TEST_F(ReportDelivery, SuccessWithoutAReachableServerIsQueued) {
  // A port nobody listens on: the hand-over fails and the report goes to the queue.
  ckfs_session session{};
  kfs_test::prepare_session(&session, unused_port());
  auto to = recipients({"0,alice@example.com"});
  start(to.get());
  report_session(&session);
  report_begin(2, 10, "/12/docs");
  report_count_transferred();
  report_count_current();
  report_success(10);
  EXPECT_EQ(report_stage(), REPORT_IDLE);
  EXPECT_EQ(queued_message("q.eml", "alice@example.com"), "success Nightly\n - None!\n");
  ckfs_session_reset(&session);
  while (ckfs_is_started()) (void)ckfs_cleanup();
}

TEST_F(ReportDelivery, SuccessRefusedByTheServerIsQueued) {
  kfs_test::DevServer server(dir_.file("store"), {"--refuse-login", "20"});
  ckfs_session session{};
  kfs_test::prepare_session(&session, server.port());
  auto to = recipients({"alice@example.com"});
  start(to.get(), 0);
  report_session(&session);
  report_begin(1, 5, "/12");
  report_success(5);
  EXPECT_EQ(queued_message("q.eml", "alice@example.com"), "success Nightly\n - None!\n");
  EXPECT_TRUE(std::filesystem::is_empty(dir_.file("store") + "/mail"));
  ckfs_session_reset(&session);
  while (ckfs_is_started()) (void)ckfs_cleanup();
}

TEST_F(ReportDelivery, SuccessThroughTheServerLandsInItsMailFolder) {
  std::string store = dir_.file("store");
  kfs_test::DevServer server(store);
  ckfs_session session{};
  kfs_test::prepare_session(&session, server.port());
  // Logged in before the report learns the session: it takes the names of the reply.
  uint32_t user = 7;
  ckfs_lock_request lock{0, 1, &user};
  ASSERT_EQ(ckfs_user_lock(&session, &lock), 0);
  write_file("etc/success_txt.emt", "success #JOB# #ACCNAME# #USERNAME# #DSTPATH#\n#ERROR_LIST#");
  auto to = recipients({"0,alice@example.com", "1,bob@example.com"});
  start(to.get());
  report_session(&session);
  report_begin(1, 5, "/12");
  report_count_transferred();
  report_success(5);
  EXPECT_EQ(report_stage(), REPORT_IDLE);
  EXPECT_TRUE(eml_files().empty()) << "nothing queued";
  std::vector<std::string> mails;
  for (const auto& e : std::filesystem::directory_iterator(store + "/mail")) {
    mails.push_back(read_file(e.path().string()));
  }
  ASSERT_EQ(mails.size(), 2u);
  std::sort(mails.begin(), mails.end());
  EXPECT_EQ(mails[0],
            "X-Kfs-Schedule-Id: 42\nX-Kfs-Recipients: alice@example.com\n\n"
            "success Nightly account-7 user-7 My Dorn/user-7\n - None!\n");
  EXPECT_EQ(mails[1],
            "X-Kfs-Schedule-Id: 42\nX-Kfs-Recipients: bob@example.com\n\n"
            "<p>success Nightly</p>\n<tr><td class=\"rowtitle\" align=center>None!</td></tr>\n");
  ckfs_session_reset(&session);
  while (ckfs_is_started()) (void)ckfs_cleanup();
}

TEST_F(ReportDelivery, LongSuccessReportReachesTheServerWhole) {
  // Far more than one request carries: the message goes over in parts.
  std::string store = dir_.file("store");
  kfs_test::DevServer server(store);
  ckfs_session session{};
  kfs_test::prepare_session(&session, server.port());
  auto to = recipients({"0,alice@example.com"});
  start(to.get());
  report_session(&session);
  report_begin(1, 5, "/12");
  std::string path = "C:\\" + std::string(200, 'x');
  for (int i = 0; i < 1000; ++i) report_fail_file_code(path.c_str(), ERR_AUTH_FAILURE);
  report_success(5);
  EXPECT_TRUE(eml_files().empty()) << "nothing queued";
  std::vector<std::string> mails;
  for (const auto& e : std::filesystem::directory_iterator(store + "/mail")) {
    mails.push_back(read_file(e.path().string()));
  }
  ASSERT_EQ(mails.size(), 1u);
  std::string row = " - " + path + ": " + kfs_error_description(ERR_AUTH_FAILURE) + "\n";
  std::string rows;
  for (int i = 0; i < 1000; ++i) rows += row;
  EXPECT_EQ(
      mails[0],
      "X-Kfs-Schedule-Id: 42\nX-Kfs-Recipients: alice@example.com\n\nsuccess Nightly\n" + rows);
  ckfs_session_reset(&session);
  while (ckfs_is_started()) (void)ckfs_cleanup();
}

TEST_F(ReportDelivery, OnlyOnErrorsWithoutFailuresFallsBackToTheInternalRecipient) {
  auto to = recipients({"3,alice@example.com"});
  start_transfer(to.get(), 0);
  report_count_transferred();
  report_failure_text("stopped");
  EXPECT_EQ(eml_files(), std::vector<std::string>{"q.eml"});
  EXPECT_EQ(queued_message("q.eml", "internal-backup-agent"),
            "<p>failinfo Nightly</p>\n<tr><td class=\"rowtitle\" align=center>None!</td></tr>\n");
}

TEST_F(ReportDelivery, OnlyOnErrorsRecipientIsSkippedWhileOthersGetTheirForm) {
  auto to = recipients({"3,alice@example.com", "0,bob@example.com"});
  start_transfer(to.get());
  report_failure_text("stopped");
  EXPECT_EQ(eml_files(), std::vector<std::string>{"q.eml"});
  EXPECT_EQ(queued_message("q.eml", "bob@example.com"), "failinfo Nightly\n - None!\n");
}

TEST_F(ReportDelivery, OnlyOnErrorsRecipientGetsTheReportWhenFilesFailed) {
  auto to = recipients({"3,alice@example.com"});
  start_transfer(to.get());
  report_fail_file_errno("C:\\a.txt", ENOENT);
  report_failure_text("stopped");
  std::string message = queued_message("q.eml", "alice@example.com");
  EXPECT_NE(message.find("<tr><td>C:\\a.txt</td><td>"), std::string::npos) << message;
}

TEST_F(ReportDelivery, EveryQueuedRecipientKeepsItsOwnFile) {
  auto to = recipients({"0,a@x", "0,b@x", "0,c@x"});
  start_transfer(to.get());
  report_failure_text("stopped");
  EXPECT_EQ(eml_files(), (std::vector<std::string>{"q-1.eml", "q-2.eml", "q.eml"}));
  queued_message("q.eml", "a@x");
  queued_message("q-1.eml", "b@x");
  queued_message("q-2.eml", "c@x");
}

TEST_F(ReportDelivery, LaterRecipientsPassOverNamesAlreadyTaken) {
  // procjob chose "-1" because ".eml" was there; "-2" is taken too.
  write_file("q.eml", "old");
  write_file("q-2.eml", "old2");
  auto to = recipients({"0,a@x", "0,b@x"});
  report_start("q-1.eml", "q", "Nightly", to.get(), 42, 7, kDigest, 0, &g_clock);
  report_failure_code(ERR_AUTH_FAILURE);
  queued_message("q-1.eml", "a@x");
  queued_message("q-3.eml", "b@x");
  EXPECT_EQ(read_file("q.eml"), "old");
  EXPECT_EQ(read_file("q-2.eml"), "old2");
}

TEST_F(ReportDelivery, ADigitSuffixOfTheScheduleNameIsNotTakenForTheSeries) {
  write_file("nightly.eml", "another schedule's report");
  auto to = recipients({"0,a@x", "0,b@x"});
  report_start("nightly-3.eml", "nightly-3", "Nightly", to.get(), 42, 7, kDigest, 0, &g_clock);
  report_failure_text("x");
  queued_message("nightly-3.eml", "a@x");
  queued_message("nightly-3-1.eml", "b@x");
  EXPECT_EQ(read_file("nightly.eml"), "another schedule's report");
}

TEST_F(ReportDelivery, WhenTheSeriesIsExhaustedTheLastNameIsReplaced) {
  write_file("q.eml", "old");
  for (int i = 1; i <= 9; ++i) write_file("q-" + std::to_string(i) + ".eml", "old");
  auto to = recipients({"0,a@x", "0,b@x"});
  report_start("q-9.eml", "q", "Nightly", to.get(), 42, 7, kDigest, 0, &g_clock);
  report_failure_text("x");
  queued_message("q-9.eml", "b@x");
  EXPECT_EQ(read_file("q-8.eml"), "old");
  EXPECT_EQ(read_file("q.eml"), "old");
}

TEST_F(ReportDelivery, QueueFileHeldByAReaderFailsThatRecipientOnly) {
  write_file("q.eml", "held");
  EnvFile reader(plat_env(), plat_env()->open_exclusive("q.eml", PLAT_OPEN_READ));
  ASSERT_TRUE(reader.valid());
  auto to = recipients({"0,a@x", "0,b@x"});
  start_transfer(to.get());
  report_failure_text("stopped");
  EXPECT_EQ(report_stage(), REPORT_IDLE) << "the delivery still ends";
  reader.reset();
  EXPECT_EQ(read_file("q.eml"), "held") << "the reader's file is left as it is";
  queued_message("q-1.eml", "b@x");
  EXPECT_EQ(eml_files(), (std::vector<std::string>{"q-1.eml", "q.eml"}));

  // The next job reports as usual.
  start(to.get(), 0, "r.eml");
  report_failure_text("again");
  EXPECT_TRUE(file_exists(dir_.file("r.eml")));
}

TEST_F(ReportDelivery, SingleRecipientWithItsQueueFileHeldLosesTheReport) {
  write_file("q.eml", "held");
  EnvFile reader(plat_env(), plat_env()->open_exclusive("q.eml", PLAT_OPEN_READ));
  ASSERT_TRUE(reader.valid());
  auto to = recipients({"a@x"});
  start(to.get());
  report_failure_code(ERR_AUTH_FAILURE);
  EXPECT_EQ(report_stage(), REPORT_IDLE);
  reader.reset();
  EXPECT_EQ(read_file("q.eml"), "held");
  EXPECT_EQ(eml_files(), std::vector<std::string>{"q.eml"});
}

// The desktop client reads the queue under Java's FileChannel.lock (a record lock, which
// flock alone does not see): while it holds the file, the report for it is lost.
TEST_F(ReportDelivery, QueueFileLockedByAJavaReaderIsLeftIntact) {
  if (system("command -v java >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "no java on PATH: cannot hold the file the way the desktop client does";
  }
  write_file("q.eml", "held");
  std::string command = "java " VARNO_REPORT_TEST_DIR "/QueueHolder.java q.eml > holder.out";
  FILE* holder = popen(command.c_str(), "w");  // its standard input: closing it ends it
  ASSERT_NE(holder, nullptr);
  for (int i = 0; i < 1200 && read_file("holder.out") != "locked\n"; ++i) usleep(50000);
  ASSERT_EQ(read_file("holder.out"), "locked\n") << "the holder never took its lock";

  auto to = recipients({"a@x"});
  start(to.get());
  report_failure_code(ERR_AUTH_FAILURE);
  EXPECT_EQ(report_stage(), REPORT_IDLE);
  EXPECT_EQ(pclose(holder), 0);
  EXPECT_EQ(read_file("q.eml"), "held");
  EXPECT_FALSE(file_exists(dir_.file("q.eml.tmp")));
  EXPECT_EQ(eml_files(), std::vector<std::string>{"q.eml"});
}

// A queue write that fails part-way leaves the earlier file whole (or none), never a torn
// one a reader could take for a report; the report for that recipient is lost.
TEST_F(ReportDelivery, FailedQueueWritesLeaveNoTornFile) {
  using testing_support::FaultEnv;
  struct Case {
    const char* name;
    std::function<void(FaultEnv&)> plan;
  };
  const Case cases[] = {
      {"no space at the first write", [](FaultEnv& f) { f.fail_nth(FaultEnv::kWrite, 1, ENOSPC); }},
      {"a write cut short, then no space",
       [](FaultEnv& f) {
         f.max_write = 100;
         f.fail_nth(FaultEnv::kWrite, 3, ENOSPC);
       }},
      {"the sync fails", [](FaultEnv& f) { f.fail_nth(FaultEnv::kSync, 1, EIO); }},
      {"the close fails", [](FaultEnv& f) { f.fail_nth(FaultEnv::kClose, 1, EIO); }},
      {"the rename fails", [](FaultEnv& f) { f.fail_nth(FaultEnv::kRename, 1, EIO); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool earlier : {true, false}) {
      if (earlier) {
        write_file("q.eml", "an earlier report");
      } else {
        std::remove("q.eml");
      }
      FaultEnv faults(&g_clock);
      c.plan(faults);
      auto to = recipients({"0,a@x"});
      report_start("q.eml", "q", "Nightly", to.get(), 42, 7, kDigest, 0, &faults);
      report_failure_text("x");
      EXPECT_EQ(faults.fired(), 1);
      EXPECT_EQ(report_stage(), REPORT_IDLE);
      EXPECT_EQ(faults.open_descriptors(), 0);
      if (earlier) {
        EXPECT_EQ(read_file("q.eml"), "an earlier report");
      } else {
        EXPECT_FALSE(file_exists(dir_.file("q.eml")));
      }
      EXPECT_FALSE(file_exists(dir_.file("q.eml.tmp")));
    }
  }
  // The same plan that cuts writes short without failing them queues the whole report.
  FaultEnv faults(&g_clock);
  faults.max_write = 100;
  auto to = recipients({"0,a@x"});
  report_start("q.eml", "q", "Nightly", to.get(), 42, 7, kDigest, 0, &faults);
  report_failure_text("x");
  EXPECT_GT(faults.calls(FaultEnv::kWrite), 2);
  EXPECT_EQ(queued_message("q.eml", "a@x"), "failnoinfo Nightly\n - None!\n");
}

TEST_F(ReportDelivery, TemplatesThatCannotBeUsedGiveFixedBodies) {
  auto to = recipients({"0,a@x"});
  std::remove("etc/failnoinfo_txt.emt");
  start(to.get(), 0, "missing.eml");
  report_failure_text("x");
  EXPECT_EQ(queued_message("missing.eml", "a@x"), "\nEmail template missing!");

  write_file("etc/failnoinfo_txt.emt", "");
  start(to.get(), 0, "empty.eml");
  report_failure_text("x");
  EXPECT_EQ(queued_message("empty.eml", "a@x"), "\nError loading email template!");

  write_file("etc/failnoinfo_txt.emt", std::string(32767, 'a'));
  start(to.get(), 0, "full.eml");
  report_failure_text("x");
  EXPECT_EQ(queued_message("full.eml", "a@x"), "\nError loading email template!");

  write_file("etc/failnoinfo_txt.emt", std::string(32766, 'a'));
  start(to.get(), 0, "fits.eml");
  report_failure_text("x");
  EXPECT_EQ(queued_message("fits.eml", "a@x"), std::string(32766, 'a'));
}

TEST_F(ReportDelivery, CrLfTemplateGivesLfMessage) {
  write_file("etc/failnoinfo_txt.emt", "Job: #JOB#\r\nError: #ERROR_MESSAGE#\r\n\r\nEnd\r\n");
  auto to = recipients({"0,a@x"});
  start(to.get());
  report_failure_text("boom");
  EXPECT_EQ(queued_message("q.eml", "a@x"), "Job: Nightly\nError: boom\n\nEnd\n");
}

TEST_F(ReportDelivery, TotalsDurationsAndFailedFiles) {
  write_file("etc/success_txt.emt",
             "#START_SIZE#|#STOP_SIZE#|#DELTA_SIZE#|#DELTA_TIME#|#NUM_REQUESTED#|"
             "#NUM_TRANSFERED#|#NUM_UP2DATE#|#NUM_FAILED#|#DSTPATH#\n#ERROR_LIST#");
  auto to = recipients({"0,a@x"});
  const uint64_t start_size = 5000000000ULL;  // above 4 GiB
  start_transfer(to.get(), 0, 4, start_size);
  report_count_transferred();
  report_count_current();
  report_fail_file_errno("C:\\one.txt", ENOENT);
  report_fail_file_code("C:\\two.txt", ERR_AUTH_FAILURE);
  g_clock.unix_now += 3661;
  report_success(4999999000ULL);  // less than sized: a signed difference, not a wrapped one
  std::string expected =
      "5000000000 bytes|4999999000 bytes|-1000 bytes|01:01:01|4|1|1|2|"
      "My Dorn//docs\n - C:\\one.txt: " +
      std::string(strerror(ENOENT)) +
      "\n - C:\\two.txt: " + kfs_error_description(ERR_AUTH_FAILURE) + "\n";
  EXPECT_EQ(queued_message("q.eml", "a@x"), expected);
}

TEST_F(ReportDelivery, HtmlFormEscapesEveryInsertedValue) {
  const char* evil = "<img src=x onerror=alert(1)>.txt";
  write_file("etc/failinfo_html.emt", "#JOB#|#ERROR_MESSAGE#|#DSTPATH#\n#ERROR_LIST#");
  write_file("etc/failinfo_txt.emt", "#JOB#|#ERROR_MESSAGE#\n#ERROR_LIST#");
  auto to = recipients({"1,a@x", "0,b@x"});
  report_start("q.eml", "q", "A&B \"job\"", to.get(), 42, 7, kDigest, 1, &g_clock);
  report_session(nullptr);
  report_begin(1, 1, "/1/<b>");
  report_fail_file_code((std::string("C:\\") + evil).c_str(), ERR_AUTH_FAILURE);
  report_failure_text("<script>x</script>");
  std::string html = queued_message("q.eml", "a@x");
  EXPECT_EQ(html.find('<', 0), html.find("<tr>")) << "no markup before the rows: " << html;
  EXPECT_EQ(html.find("<img"), std::string::npos) << html;
  EXPECT_NE(html.find("A&amp;B &quot;job&quot;|&lt;script&gt;x&lt;/script&gt;|My Dorn//&lt;b&gt;"),
            std::string::npos)
      << html;
  EXPECT_NE(html.find("<tr><td>C:\\&lt;img src=x onerror=alert(1)&gt;.txt</td><td>"),
            std::string::npos)
      << html;
  std::string plain = queued_message("q-1.eml", "b@x");
  EXPECT_EQ(
      plain.rfind("A&B \"job\"|<script>x</script>\n - C:\\<img src=x onerror=alert(1)>.txt: ", 0),
      0u)
      << plain;
}

TEST_F(ReportDelivery, MessageCappedAtTenMebibytesStillQueuedAndNextRecipientWhole) {
  // 3000 failures with 1000-character paths make each error list about 3 MB; four of them
  // pass the 10 MiB cap.
  write_file("etc/failinfo_html.emt", "#ERROR_LIST##ERROR_LIST##ERROR_LIST##ERROR_LIST#tail");
  auto to = recipients({"1,a@x", "0,b@x"});
  start_transfer(to.get());
  std::string path = "C:\\" + std::string(1000, 'p');
  for (int i = 0; i < 3000; ++i) report_fail_file_code(path.c_str(), ERR_AUTH_FAILURE);
  report_failure_text("x");
  EXPECT_EQ(report_stage(), REPORT_IDLE);
  std::string big = queued_message("q.eml", "a@x");
  EXPECT_LT(big.size(), 10485760u);
  EXPECT_GT(big.size(), 6000000u);
  EXPECT_EQ(big.find("tail"), std::string::npos) << "cut where the append failed";
  std::string small = queued_message("q-1.eml", "b@x");
  EXPECT_EQ(small.rfind("failinfo Nightly\n - C:\\ppp", 0), 0u);
  EXPECT_EQ(small.size(),
            std::string("failinfo Nightly\n").size() +
                3000 * (3 + path.size() + 2 + strlen(kfs_error_description(ERR_AUTH_FAILURE)) + 1));
}

TEST_F(ReportDelivery, WrongStageBreaksUntilTheNextStartWhichReportsAgain) {
  auto to = recipients({"0,a@x"});
  start(to.get());
  report_success(1);  // no transfer running
  EXPECT_EQ(report_stage(), REPORT_BROKEN);
  report_failure_text("ignored");
  EXPECT_TRUE(eml_files().empty());
  start(to.get());
  EXPECT_EQ(report_stage(), REPORT_STARTED);
  report_failure_text("reported");
  EXPECT_EQ(eml_files(), std::vector<std::string>{"q.eml"});
}

TEST_F(ReportDelivery, InstalledTemplatesLeaveNoTagBehind) {
  for (const char* kind : {"success", "failinfo", "failnoinfo"}) {
    for (const char* form : {"_html", "_txt"}) {
      std::string name = std::string(kind) + form + ".emt";
      write_file("etc/" + name, read_file(std::string(VARNO_SOURCE_DIR) + "/etc/" + name));
    }
  }
  auto to = recipients({"1,a@x", "0,b@x"});
  start_transfer(to.get());
  report_fail_file_errno("C:\\x", EACCES);
  report_success(1);
  start(to.get(), 1, "f.eml");
  report_session(nullptr);
  report_failure_text("x");
  start(to.get(), 1, "n.eml");
  report_failure_text("y");
  for (const char* file : {"q.eml", "q-1.eml", "f.eml", "f-1.eml", "n.eml", "n-1.eml"}) {
    std::string plain = decrypt(file);
    for (const char* tag :
         {"#JOB#", "#ERROR_MESSAGE#", "#ACCNAME#", "#USERNAME#", "#DSTPATH#", "#START_TIME#",
          "#START_SIZE#", "#STOP_TIME#", "#STOP_SIZE#", "#DELTA_TIME#", "#DELTA_SIZE#",
          "#NUM_REQUESTED#", "#NUM_TRANSFERED#", "#NUM_UP2DATE#", "#NUM_FAILED#", "#NUM_DELETED#",
          "#ERROR_LIST#", "#REMOVE_ME_URL#"}) {
      EXPECT_EQ(plain.find(tag), std::string::npos) << file << " keeps " << tag;
    }
    EXPECT_NE(plain.find("Nightly"), std::string::npos) << file;
  }
}

}  // namespace
