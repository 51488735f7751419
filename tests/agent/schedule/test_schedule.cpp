// procjob and the schedule parser, through real encrypted schedule files in a temporary
// working directory. No etc/hosts there: a job that gets as far as the run fails to start
// its session at once and queues its report, which shows what the schedule handed over.
#include <gtest/gtest.h>

#include "tests/support/app_key_test_util.h"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "agent/backup/settings.h"
#include "agent/report/report.h"
#include "agent/runtime/log.h"
#include "agent/schedule/procjob.h"
#include "agent/stream/cryptofile.h"
#include "platform/env.h"
#include "tests/support/test_support.h"
#include "util/machine.h"
#include "util/text.h"

namespace {

using testing_support::file_exists;
using testing_support::make_dirs;
using testing_support::read_file;
using testing_support::read_text_file;
using testing_support::run_command;
using testing_support::ScopedCwd;
using testing_support::TempDir;
using testing_support::write_file;

const char kKeyHex[] = "00112233445566778899AABBCCDDEEFF00112233445566778899aabbccddeeff";
const char kSchedule[] = "1234ABCD.kbs";

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}
std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class ScheduleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cwd_ = std::make_unique<ScopedCwd>(dir_.path());
    make_dirs("etc");
    write_file("etc/failnoinfo_html.emt", "H #JOB#");
    write_file("etc/failnoinfo_txt.emt", "T #JOB#");
  }
  void TearDown() override {
    log_job_close();
    job_settings_free();
    cwd_.reset();
  }

  // The options every runnable schedule needs, after the header.
  static std::string body(const std::string& enabled = "1", const std::string& key = kKeyHex) {
    return "UserId=7\nAccountId=acc\nSchedule=sch\nDest=/12/docs\nname=Nightly\nenabled=" +
           enabled + "\nacckey=" + key + "\n";
  }
  static std::string schedule(const std::string& extra = "") {
    return "# Varno Backup Schedule\n" + body() + extra;
  }

  // Encrypts `plain` as the desktop client does: one CryptoFile under the application key.
  static void write_kbs(const std::string& path, const std::string& plain) {
    uint8_t key[32];
    ASSERT_EQ(get_application_key(key), 0);
    FILE* f = plat_env()->open_stream(path, "wb");
    ASSERT_NE(f, nullptr);
    CryptoFile writer;
    ASSERT_EQ(cryptofile_init(&writer, f, 1, key), 0);
    cryptofile_write(&writer, plain.data(), plain.size());
    ASSERT_EQ(cryptofile_finish(&writer), 1);
    fclose(f);
  }
  int run(const std::string& plain, const char* path = kSchedule) {
    write_kbs(path, plain);
    return procjob(path, plat_env());
  }
  std::string log(const char* path = kSchedule) {
    return read_text_file(std::string(path) + ".log");
  }

  static std::string app_key_hex() { return app_key_test::app_key_hex(); }
  std::string decrypt(const std::string& path) { return app_key_test::openssl_decrypt(path); }
  // Every "Got value of '...' for 'KEY'" line's value, in log order.
  std::vector<std::string> values_logged(const std::string& key, const char* path = kSchedule) {
    std::vector<std::string> values;
    std::string text = log(path);
    std::string tail = "' for '" + key + "'\n";
    for (size_t at = text.find("Got value of '"); at != std::string::npos;
         at = text.find("Got value of '", at + 1)) {
      size_t end = text.find('\n', at);
      std::string line = text.substr(at, end - at + 1);
      if (line.size() >= tail.size() + 14 &&
          line.compare(line.size() - tail.size(), tail.size(), tail) == 0) {
        values.push_back(line.substr(14, line.size() - tail.size() - 14));
      }
    }
    return values;
  }

  TempDir dir_;
  std::unique_ptr<ScopedCwd> cwd_;
};

// ---- return codes ----

TEST_F(ScheduleTest, MissingFileIs2266) {
  EXPECT_EQ(procjob("nothere.kbs", plat_env()), PROCJOB_OPEN_FAILED);
  EXPECT_NE(read_text_file("nothere.kbs.log")
                .find("] Cound not open schedule file 'nothere.kbs'; aborting.\n"),
            std::string::npos);
}

TEST_F(ScheduleTest, UnavailableApplicationKeyIs2274) {
  // The key is cached once loaded, so the refusal needs a process that never had it.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        make_dirs("etc/varno.ak");  // a folder where the key file should be
        write_file(kSchedule, "not even encrypted");
        int code = procjob(kSchedule, plat_env());
        bool logged =
            log().find("Unable to initialize crypto on file; aborting.\n") != std::string::npos;
        log_job_close();
        cwd_.reset();
        std::filesystem::remove_all(dir_.path());
        _exit(code == PROCJOB_CRYPTO_FAILED && logged ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(ScheduleTest, EmptyOrTruncatedFileIs2283) {
  write_file(kSchedule, "");
  EXPECT_EQ(procjob(kSchedule, plat_env()), PROCJOB_DECRYPT_FAILED);
  EXPECT_NE(log().find("Unable to decrypt file; aborting.\n"), std::string::npos);
  write_file(kSchedule, std::string(15, 'x'));  // not even one cipher block
  EXPECT_EQ(procjob(kSchedule, plat_env()), PROCJOB_DECRYPT_FAILED);
}

TEST_F(ScheduleTest, HeaderRules) {
  EXPECT_EQ(run("# varno backup schedule\n" + body()), PROCJOB_BAD_HEADER);
  EXPECT_NE(log().find("Invalid KBS header; aborting.\n"), std::string::npos);
  EXPECT_EQ(run(body()), PROCJOB_BAD_HEADER);
  EXPECT_EQ(run("# Varno Backup Schedul\n" + body()), PROCJOB_BAD_HEADER);
  EXPECT_EQ(run(" # Varno Backup Schedule\n" + body()), PROCJOB_BAD_HEADER);
  // A header that goes on (a version word) is accepted.
  EXPECT_EQ(run("# Varno Backup Schedule version 2.1\r\n" + body()), PROCJOB_OK);
  EXPECT_NE(log().find("Calling __do_backup()...\n"), std::string::npos);
  // A header line longer than a line read: its tail is part of line 1, not a line of its own.
  EXPECT_EQ(run("# Varno Backup Schedule" + std::string(236, ' ') + "Dest=/other\n" + body()),
            PROCJOB_OK);
  EXPECT_EQ(values_logged("Dest="), std::vector<std::string>{"/12/docs"});
}

TEST_F(ScheduleTest, EmailAfterScheduleEmailIs2447) {
  EXPECT_EQ(run(schedule("schedule_email=a@x\nEmail=b@y\n")), PROCJOB_EMAIL_TWICE);
  EXPECT_NE(
      log().find("FATAL: Got value for Email= when we already got value for schedule_email=\n"),
      std::string::npos);
  EXPECT_EQ(run(schedule("Email=a@x\nEmail=b@y\n")), PROCJOB_EMAIL_TWICE);
}

TEST_F(ScheduleTest, OptionGivenTwiceIs2506EvenWithTheSameValue) {
  EXPECT_EQ(run(schedule("Dest=/12/docs\n")), PROCJOB_OPTION_TWICE);
  EXPECT_NE(log().find("Got too many entries for 'Dest='; Aborting.\n"), std::string::npos);
  EXPECT_EQ(run(schedule("DEST=/x\n")), PROCJOB_OPTION_TWICE);
  EXPECT_EQ(run(schedule("precmd=a\nprecmd=a\n")), PROCJOB_OPTION_TWICE);
  EXPECT_FALSE(file_exists(dir_.file(std::string(kSchedule) + ".eml"))) << "no report";
}

TEST_F(ScheduleTest, RequiredOptionMissingIs2589InTableOrder) {
  EXPECT_EQ(run("# Varno Backup Schedule\nenabled=1\nUserId=7\n"), PROCJOB_OPTION_MISSING);
  EXPECT_NE(log().find("The required 'AccountId=' option was not scpecified; aborting.\n"),
            std::string::npos);
  std::string without_name = body();
  without_name.erase(without_name.find("name=Nightly\n"), 13);
  EXPECT_EQ(run("# Varno Backup Schedule\n" + without_name), PROCJOB_OPTION_MISSING);
  EXPECT_NE(log().find("The required 'name=' option was not scpecified; aborting.\n"),
            std::string::npos);
  // autoremove= and mirror= are required but always satisfied.
  EXPECT_EQ(run(schedule()), PROCJOB_OK);
}

TEST_F(ScheduleTest, DisabledScheduleAnswers0AndRunsNothing) {
  for (const char* enabled : {"0", "1 ", " 1", "true", "", "01", "1\t"}) {
    EXPECT_EQ(run("# Varno Backup Schedule\n" + body(enabled)), PROCJOB_OK) << enabled;
    std::string text = log();
    EXPECT_NE(text.find("The schedule is disabled; aborting.\n"), std::string::npos) << enabled;
    EXPECT_EQ(text.find("Calling __do_backup()"), std::string::npos) << enabled;
  }
  EXPECT_FALSE(file_exists(dir_.file(std::string(kSchedule) + ".eml"))) << "no report";
}

TEST_F(ScheduleTest, KeyOf63Or65CharactersIs2616) {
  std::string key(kKeyHex);
  EXPECT_EQ(run("# Varno Backup Schedule\n" + body("1", key.substr(0, 63))), PROCJOB_BAD_KEY);
  EXPECT_NE(log().find("Error parsing encryption key; aborting.\n"), std::string::npos);
  EXPECT_EQ(run("# Varno Backup Schedule\n" + body("1", key + "0")), PROCJOB_BAD_KEY);
  EXPECT_EQ(run("# Varno Backup Schedule\n" + body("1", "")), PROCJOB_BAD_KEY);
}

// 2482 and 2517 answer allocation failures; the allocators end the process instead of
// answering null, so those two refusals cannot occur.

// ---- what a runnable schedule hands over ----

TEST_F(ScheduleTest, RunnableScheduleReachesTheRunAndItsReport) {
  ASSERT_EQ(run(schedule("Email=a@x\nhtml=0\n")), PROCJOB_OK);
  std::string text = log();
  for (const char* line :
       {"Initialized log file '1234ABCD.kbs.log'\n", "Parsing KBS file...\n",
        "Parsing KBS file: complete.\n", "Calling __do_backup()...\n",
        "Got value of '[masked encryption key from log output]' for 'acckey='\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
  for (const char* label : {"SE_BACKUP_NAME", "SE_RESTORE_NAME", "SE_SECURITY_NAME"}) {
    EXPECT_EQ(count_of(text, std::string("enabled ") + label + " privilege.\n") +
                  count_of(text, std::string("enable ") + label + " privilege.\n"),
              1u)
        << label;
  }
  EXPECT_LT(text.find("SE_BACKUP_NAME"), text.find("SE_RESTORE_NAME"));
  EXPECT_LT(text.find("SE_RESTORE_NAME"), text.find("SE_SECURITY_NAME"));
  // The report carries the schedule's id (from the file name), user and key digest.
  uint8_t key[32];
  hex_decode(kKeyHex, 32, key);
  uint8_t digest[20];
  unsigned int n = 0;
  EVP_Digest(key, 32, digest, &n, EVP_sha1(), nullptr);
  char token[41];
  hex_encode(digest, 20, token);
  EXPECT_EQ(decrypt("1234ABCD.kbs.eml"),
            "# Varno Mail Queue\nOpcode=0\nScheduleId=305441741\nUserId=7\n"
            "EncryptionToken=" +
                std::string(token) + "\nTo=a@x\n[message]\nT Nightly");
  EXPECT_EQ(report_stage(), REPORT_IDLE);
}

TEST_F(ScheduleTest, TheAccountKeyNeverReachesALog) {
  ASSERT_EQ(log_agent_open(plat_env()), 0);
  ASSERT_EQ(run(schedule()), PROCJOB_OK);
  std::string key(kKeyHex);
  // A refused key and a repeated one are not logged either.
  EXPECT_EQ(run("# Varno Backup Schedule\n" + body("1", key.substr(1)), "b.kbs"), PROCJOB_BAD_KEY);
  EXPECT_EQ(run(schedule("acckey=" + key + "\n"), "c.kbs"), PROCJOB_OPTION_TWICE);
  log_agent_close();
  log_job_close();
  std::string all = read_text_file("agent.log") + log() + log("b.kbs") + log("c.kbs");
  EXPECT_NE(all.find("Calling __do_backup()"), std::string::npos);
  for (const std::string& form :
       {key, upper(key), lower(key), upper(key.substr(1)), lower(key.substr(1))}) {
    EXPECT_EQ(all.find(form.substr(0, 32)), std::string::npos) << form;
    EXPECT_EQ(all.find(form.substr(32)), std::string::npos) << form;
  }
}

TEST_F(ScheduleTest, CommentsKeysAndListsThroughTheFile) {
  ASSERT_EQ(
      run("# Varno Backup Schedule\n"
          "enabled=1\nacckey=" +
          std::string(kKeyHex) +
          "\nname=Nightly\nDEST=/12/docs\nschedule=sch\nACCOUNTID=acc\nuserid=7\n"  // any order,
                                                                                    // any case
          "src=C:\\x\n;Src=C:\\commented\n#Src=C:\\hashed\nSrc=C:\\y\nSRC=\n"
          "XSrc=C:\\x\\tmp\nSync=C:\\x\n\nunknown=1\n  Src=C:\\indented\n"
          "Src=C:\\z\r\nSrc=C:\\cr\rtail\n"),
      PROCJOB_OK);
  EXPECT_EQ(values_logged("Src="),
            (std::vector<std::string>{"C:\\x", "C:\\y", "", "C:\\z", "C:\\cr"}));
  EXPECT_EQ(values_logged("XSrc="), std::vector<std::string>{"C:\\x\\tmp"});
  EXPECT_EQ(values_logged("Sync="), std::vector<std::string>{"C:\\x"});
  EXPECT_EQ(values_logged("UserId="), std::vector<std::string>{"7"});
  EXPECT_EQ(values_logged("Dest="), std::vector<std::string>{"/12/docs"});
}

TEST_F(ScheduleTest, ParsedListsAndSettledOptions) {
  std::string text = schedule(
      "autoremove=1\nSrc=C:\\a\nSrc=C:\\a\nXSrc=C:\\a\\b\nSync=C:\\s\nfilter=C:\\Docs|1|*.tmp; ~*\n"
      "precmd=echo hi\n");
  ASSERT_EQ(schedule_parse_plain(text.data(), text.size()), 0);
  ASSERT_EQ(schedule_settle(), 0);
  JobSettings& j = job_settings();
  EXPECT_EQ(list_count(j.sources), 2) << "two Src= lines are two sources";
  EXPECT_STREQ(list_item(j.exclusions, 0), "C:\\a\\b");
  EXPECT_STREQ(list_item(j.sync_paths, 0), "C:\\s");
  EXPECT_EQ(j.recipients, nullptr);
  EXPECT_TRUE(j.html) << "HTML unless html= says otherwise";
  EXPECT_STREQ(job_option(OPT_AUTOREMOVE), "0") << "whatever the file says";
  EXPECT_STREQ(job_option(OPT_MIRROR), "1") << "full paths by default";
  EXPECT_STREQ(job_option(OPT_FATALPRECMD), "0");
  EXPECT_STREQ(job_option(OPT_FATALPOSTCMD), "0");
  EXPECT_STREQ(job_option(OPT_PRECMD), "echo hi");
  EXPECT_STREQ(job_option(OPT_POSTCMD), "");
  ASSERT_EQ(list_count(j.filters), 1);

  text = schedule("mirror=0\nfatalprecmd=1\nhtml=5\nhtml=0\n");
  ASSERT_EQ(schedule_parse_plain(text.data(), text.size()), 0);
  ASSERT_EQ(schedule_settle(), 0);
  EXPECT_STREQ(job_option(OPT_MIRROR), "0");
  EXPECT_STREQ(job_option(OPT_FATALPRECMD), "1");
  EXPECT_FALSE(job_settings().html) << "last html= wins";
  text = schedule("html=abc\n");
  ASSERT_EQ(schedule_parse_plain(text.data(), text.size()), 0);
  EXPECT_FALSE(job_settings().html);
  text = schedule("html=-2\n");
  ASSERT_EQ(schedule_parse_plain(text.data(), text.size()), 0);
  EXPECT_TRUE(job_settings().html);
}

TEST_F(ScheduleTest, RecipientRules) {
  std::string text = schedule("Email=a@x,,b@y, c@z,\nschedule_email=3,d@w\nschedule_email=e@v\n");
  ASSERT_EQ(schedule_parse_plain(text.data(), text.size()), 0);
  List* r = job_settings().recipients;
  ASSERT_EQ(list_count(r), 5);
  EXPECT_STREQ(list_item(r, 0), "a@x");
  EXPECT_STREQ(list_item(r, 1), "b@y");
  EXPECT_STREQ(list_item(r, 2), " c@z") << "no trimming";
  EXPECT_STREQ(list_item(r, 3), "3,d@w");
  EXPECT_STREQ(list_item(r, 4), "e@v");

  // Through the file: every recipient gets a queue file of its own; flags 3 without
  // failures gets none.
  ASSERT_EQ(run(schedule("html=0\nEmail=a@x,b@y\nschedule_email=3,d@w\nschedule_email=1,e@v\n")),
            PROCJOB_OK);
  EXPECT_NE(decrypt("1234ABCD.kbs.eml").find("\nTo=a@x\n[message]\nT Nightly"), std::string::npos);
  EXPECT_NE(decrypt("1234ABCD.kbs-1.eml").find("\nTo=b@y\n[message]\nT Nightly"),
            std::string::npos);
  EXPECT_NE(decrypt("1234ABCD.kbs-2.eml").find("\nTo=e@v\n[message]\nH Nightly"),
            std::string::npos);
  EXPECT_FALSE(file_exists(dir_.file("1234ABCD.kbs-3.eml")));
}

TEST_F(ScheduleTest, NoRecipientGivesTheInternalHtmlReport) {
  ASSERT_EQ(run(schedule("Email=a@x\n"), "first.kbs"), PROCJOB_OK);  // nothing of it survives
  ASSERT_EQ(run(schedule("html=0\nEmail=,,\n")), PROCJOB_OK);
  EXPECT_NE(decrypt("1234ABCD.kbs.eml").find("\nTo=internal-backup-agent\n[message]\nH Nightly"),
            std::string::npos);
}

TEST_F(ScheduleTest, FilterLines) {
  job_settings_reset();
  schedule_parse_filter("C:\\Docs|1|*.tmp; ~*");
  schedule_parse_filter("C:\\Neg|-1|*.tmp");
  schedule_parse_filter("C:\\Two|0|*.tmp;;*.bak");
  schedule_parse_filter("C:\\NoSecondBar|1");
  schedule_parse_filter("C:\\NoPatterns|1| ; ;\t");
  schedule_parse_filter("NoBar");
  schedule_parse_filter("C:\\Text|x|a");
  schedule_parse_filter("C:\\Huge|99999999999|a");
  schedule_parse_filter("C:\\Inherit|3|  a b  ");
  std::string many;
  for (int i = 0; i < 25; ++i) many += "p" + std::to_string(i) + ";";
  schedule_parse_filter(("C:\\Many|0|" + many).c_str());
  schedule_parse_filter(("|1|" + many).c_str());
  ASSERT_EQ(list_count(job_settings().filters), 7);
  const ScheduleFilter* f = job_filter(0);
  EXPECT_STREQ(f->folder, "C:\\Docs");
  EXPECT_EQ(f->flags, 1);
  EXPECT_EQ(f->reserved, 0);
  ASSERT_EQ(f->pattern_count, 2);
  EXPECT_STREQ(f->patterns[0], "*.tmp");
  EXPECT_STREQ(f->patterns[1], "~*");
  f = job_filter(1);
  EXPECT_STREQ(f->folder, "C:\\Two");
  ASSERT_EQ(f->pattern_count, 2);
  EXPECT_STREQ(f->patterns[1], "*.bak");
  f = job_filter(2);
  EXPECT_STREQ(f->folder, "C:\\Text");
  EXPECT_EQ(f->flags, 0) << "a flags text without digits reads as 0";
  EXPECT_EQ(job_filter(3)->flags, INT32_MAX) << "an overlong number saturates, never wraps";
  f = job_filter(4);
  EXPECT_EQ(f->flags, 3);
  EXPECT_STREQ(f->patterns[0], "a b");
  f = job_filter(5);
  ASSERT_EQ(f->pattern_count, 25);
  EXPECT_STREQ(f->patterns[24], "p24");
  EXPECT_STREQ(job_filter(6)->folder, "");
}

// A blank before a number must not turn `mirror= 1` into 0 and move where files land.
TEST_F(ScheduleTest, NumbersSkipLeadingBlanksAsTheCConversionDoes) {
  const struct {
    const char* text;
    long value;
  } cases[] = {{" 1", 1}, {"\t42", 42}, {"  -1", -1}, {" +7x", 7}, {" ", 0}, {"x1", 0}, {"- 1", 0}};
  for (const auto& c : cases) EXPECT_EQ(schedule_number(c.text), c.value) << '"' << c.text << '"';
  job_settings_reset();
  schedule_parse_filter("C:\\Neg| -1|*.tmp");
  schedule_parse_filter("C:\\Blank| 3|*.tmp");
  ASSERT_EQ(list_count(job_settings().filters), 1) << "a blank before -1 still makes it negative";
  EXPECT_EQ(job_filter(0)->flags, 3);
}

TEST_F(ScheduleTest, FilterFolderOf299IsKeptAnd300Dropped) {
  job_settings_reset();
  std::string f299(299, 'f');
  std::string f300(300, 'g');
  schedule_parse_filter((f299 + "|1|*.x").c_str());
  schedule_parse_filter((f300 + "|1|*.x").c_str());
  schedule_parse_filter((std::string(5000, 'h') + "|1|*.x").c_str());
  ASSERT_EQ(list_count(job_settings().filters), 1);
  EXPECT_EQ(std::string(job_filter(0)->folder), f299);
}

TEST_F(ScheduleTest, FiltersAreSortedByFolderDescendingWithoutCase) {
  ASSERT_EQ(
      run(schedule("filter=C:\\b|1|x\nfilter=c:\\A|1|x\nfilter=C:\\a\\sub|1|x\nfilter=C:\\C|1|x\n"
                   "filter=C:\\dropped|-1|x\n")),
      PROCJOB_OK);
  std::string text = log();
  std::vector<std::string> order;
  for (size_t at = text.find("Got filter: '"); at != std::string::npos;
       at = text.find("Got filter: '", at + 1)) {
    order.push_back(text.substr(at + 13, text.find("'\n", at) - at - 13));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"C:\\C", "C:\\b", "C:\\a\\sub", "c:\\A"}));
  // The value is logged before it is parsed, dropped or not.
  EXPECT_EQ(values_logged("filter=").size(), 5u);
}

TEST_F(ScheduleTest, ScheduleIdFromThePath) {
  EXPECT_EQ(schedule_id_from_path("C:\\Users\\bob\\Varno\\1234ABCD.kbs"), 0x1234ABCD);
  EXPECT_EQ(schedule_id_from_path("C:\\x\\sched-1234abcd.kbs"), 0x1234ABCD);
  EXPECT_EQ(schedule_id_from_path("FFFFFFFF.kbs"), 0xFFFFFFFFLL) << "never negative";
  EXPECT_EQ(schedule_id_from_path("C:/x/0000002A.kbs"), 42);
  EXPECT_EQ(schedule_id_from_path("C:0000002A.kbs"), 42);
  EXPECT_EQ(schedule_id_from_path("C:\\x\\1234ABCG.kbs"), 0);
  EXPECT_EQ(schedule_id_from_path("C:\\x\\234ABCD.kbs"), 0) << "fewer than eight before the dot";
  EXPECT_EQ(schedule_id_from_path("C:\\1234ABCD.d\\job"), 0) << "a dot in a folder does not count";
  EXPECT_EQ(schedule_id_from_path("C:\\x\\1234ABCD.kbs.bak"), 0);
  EXPECT_EQ(schedule_id_from_path(""), 0);
  EXPECT_EQ(schedule_id_from_path("C:\\x\\ 1234ABC.kbs"), 0);
  // Through the file: the id in the queued report.
  ASSERT_EQ(run(schedule(), "sched-00ff00ff.kbs"), PROCJOB_OK);
  EXPECT_NE(decrypt("sched-00ff00ff.kbs.eml").find("\nScheduleId=16711935\n"), std::string::npos);
  ASSERT_EQ(run(schedule(), "noid.kbs"), PROCJOB_OK);
  EXPECT_NE(decrypt("noid.kbs.eml").find("\nScheduleId=0\n"), std::string::npos);
}

TEST_F(ScheduleTest, QueueFileNameTakesTheFirstFreeNameOrTheLast) {
  write_file("1234ABCD.kbs.eml", "old");
  ASSERT_EQ(run(schedule()), PROCJOB_OK);
  EXPECT_EQ(read_file("1234ABCD.kbs.eml"), "old");
  EXPECT_NE(decrypt("1234ABCD.kbs-1.eml").find("# Varno Mail Queue\n"), std::string::npos);

  write_file("1234ABCD.kbs-3.eml", "old");  // a gap: -2 is free
  ASSERT_EQ(run(schedule()), PROCJOB_OK);
  EXPECT_TRUE(file_exists(dir_.file("1234ABCD.kbs-2.eml")));

  for (int i = 1; i <= 9; ++i) write_file("1234ABCD.kbs-" + std::to_string(i) + ".eml", "old");
  ASSERT_EQ(run(schedule()), PROCJOB_OK);
  EXPECT_NE(decrypt("1234ABCD.kbs-9.eml").find("# Varno Mail Queue\n"), std::string::npos);
  EXPECT_EQ(read_file("1234ABCD.kbs-8.eml"), "old");
}

TEST_F(ScheduleTest, ScheduleFromTheOperatorToolAndItsQueueFileBack) {
  // The tool reads the key file of this folder; the agent's key must come from the same
  // file, so the job runs in a process that has not loaded another one.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::string ctl = std::string(VARNO_BUILD_DIR) + "/tools/varno-ctl";
        write_file("plain.txt", schedule("Email=ops@x\nhtml=0\n"));
        const char* failure = nullptr;
        if (run_command(ctl + " kbs encrypt plain.txt 1234ABCD.kbs >/dev/null 2>&1") != 0) {
          failure = "kbs encrypt failed";
        } else if (procjob(kSchedule, plat_env()) != PROCJOB_OK) {
          failure = "procjob refused the tool's schedule";
        } else if (run_command(ctl + " queue show 1234ABCD.kbs.eml > shown.txt 2>/dev/null") != 0) {
          failure = "queue show failed";
        } else if (read_file("shown.txt") != decrypt("1234ABCD.kbs.eml") ||
                   read_file("shown.txt").find("\nTo=ops@x\n[message]\nT Nightly") ==
                       std::string::npos) {
          failure = "queue show disagrees";
        }
        if (failure != nullptr) fprintf(stderr, "%s\n", failure);
        log_job_close();
        cwd_.reset();
        std::filesystem::remove_all(dir_.path());
        _exit(failure == nullptr ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// ---- outside input ----

TEST_F(ScheduleTest, LongLineTailIsNeverAKey) {
  // 259 bytes reach the parser at once; the rest of a longer line is dropped, so a value's
  // tail cannot pose as an option.
  std::string src = "Src=" + std::string(255, 'a');
  ASSERT_EQ(run(schedule(src + "Dest=/evil\n" + "Src=" + std::string(514, 'b') + "enabled=0\n")),
            PROCJOB_OK);
  EXPECT_EQ(values_logged("Dest="), std::vector<std::string>{"/12/docs"});
  std::vector<std::string> sources = values_logged("Src=");
  ASSERT_EQ(sources.size(), 2u);
  EXPECT_EQ(sources[0], std::string(255, 'a'));
  EXPECT_EQ(sources[1], std::string(255, 'b'));
  EXPECT_NE(log().find("Calling __do_backup()"), std::string::npos);
}

TEST_F(ScheduleTest, LineOfExactlyTheBufferIsWhole) {
  std::string src = "Src=" + std::string(255, 'a');  // 259 bytes, then its line feed
  ASSERT_EQ(run(schedule(src + "\nSrc=C:\\next\n")), PROCJOB_OK);
  EXPECT_EQ(values_logged("Src="), (std::vector<std::string>{std::string(255, 'a'), "C:\\next"}));
}

TEST_F(ScheduleTest, NulBytesAndMissingFinalNewline) {
  std::string text = schedule();
  text += std::string("Src=C:\\a\0hidden\n", 16);
  text += std::string("\0Src=C:\\b\n", 10);
  text += "Src=C:\\last";  // no line feed at the end
  ASSERT_EQ(run(text), PROCJOB_OK);
  EXPECT_EQ(values_logged("Src="), (std::vector<std::string>{"C:\\a", "C:\\last"}));
  std::string header_nul("# Varno Backup Schedule\0junk\n", 29);
  EXPECT_EQ(run(header_nul + body()), PROCJOB_OK);
  EXPECT_EQ(run(std::string("\0# Varno Backup Schedule\n", 25) + body()), PROCJOB_BAD_HEADER);
}

TEST_F(ScheduleTest, TenThousandFilterLines) {
  std::string extra;
  for (int i = 0; i < 10000; ++i) extra += "filter=C:\\f" + std::to_string(i) + "|1|*.a;*.b\n";
  ASSERT_EQ(run(schedule(extra)), PROCJOB_OK);
  EXPECT_EQ(count_of(log(), "] Got filter: '"), 10000u);
}

TEST_F(ScheduleTest, ArbitraryTextThroughTheParserNeverCrashes) {
  // Deterministic noise: bytes of every value, lines of every length.
  uint32_t x = 12345;
  for (int round = 0; round < 200; ++round) {
    std::string text = "# Varno Backup Schedule\n";
    int n = static_cast<int>(x % 2000);
    for (int i = 0; i < n; ++i) {
      x = x * 1103515245u + 12345u;
      uint32_t pick = (x >> 16) % 40;
      static const char* pieces[] = {
          "filter=", "|", ";", "Email=", "schedule_email=", "\n", "Src=", "acckey="};
      if (pick < 8) {
        text += pieces[pick];
      } else {
        text.push_back(static_cast<char>(x >> 8));
      }
    }
    int code = schedule_parse_plain(text.data(), text.size());
    EXPECT_TRUE(code == 0 || code == PROCJOB_EMAIL_TWICE || code == PROCJOB_OPTION_TWICE) << code;
    if (code == 0) (void)schedule_settle();
  }
}

}  // namespace
