// The operator's road without the desktop client: a hand-written schedule checked by
// varno-ctl (with the agent's own texts, which the agent is run to confirm), encrypted,
// run with `varno-ctl run --wait`, followed with `status --json`, and the guide's example
// schedule read by the real parser.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <csignal>
#include <functional>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <grp.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "agent/backup/settings.h"
#include "agent/runtime/ipc_names.h"
#include "agent/schedule/procjob.h"
#include "platform/env.h"
#include "tests/support/engine_world.h"

namespace engine_test {
namespace {

using testing_support::read_file;
using testing_support::write_file;

class OperatorTest : public EngineWorld {
 protected:
  // The base schedule, one line per element; line N is lines[N - 1].
  std::vector<std::string> base() const {
    return {"# Varno Backup Schedule",
            "UserId=1001",
            "AccountId=1",
            "Schedule=1",
            "Dest=/1",
            "name=Check",
            "enabled=1",
            "acckey=" + key_hex,
            "Src=D:\\docs"};
  }
  static std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& l : lines) text += l + "\n";
    return text;
  }
  // Writes `plain` and encrypts it as the schedule, without the check.
  void write_forced(const std::string& plain) {
    write_file(dir() + "/plain.txt", plain);
    std::string out;
    ASSERT_EQ(ctl("kbs encrypt --force plain.txt " + std::string(kSchedule), &out), 0) << out;
  }
};

struct CheckCase {
  const char* name;
  std::map<int, std::string> replace;  // line number -> new text
  std::string extra;                   // lines after the base
  int exit_code;
  std::vector<std::string> expected;  // "LINE: severity: text" (a prefix of the printed text)
  std::vector<std::string> agent;     // the job log messages the agent writes for it
};

TEST_F(OperatorTest, ScheduleCheckNamesEveryProblemByLineWithTheAgentsText) {
  write_data("docs/a.txt", "a");
  std::filesystem::create_directories(data("empty"));
  for (const char* sub : {"s1", "s2", "s3", "s4"})
    std::filesystem::create_directories(data(std::string("docs/") + sub));
  start_server();
  const std::string key63 = key_hex.substr(0, 63);
  const std::vector<CheckCase> cases = {
      {"clean", {}, "", 0, {}, {}},
      {"missing Dest=",
       {{5, ";"}},
       "",
       1,
       {"9: error: The required 'Dest=' option was not scpecified; aborting."},
       {"The required 'Dest=' option was not scpecified; aborting."}},
      {"two Dest=",
       {},
       "Dest=/1\n",
       1,
       {"10: error: Got too many entries for 'Dest='; Aborting."},
       {"Got too many entries for 'Dest='; Aborting."}},
      {"every missing option at once",
       {{3, ";"}, {6, ";"}},
       "",
       1,
       {"9: error: The required 'AccountId=' option was not scpecified; aborting.",
        "9: error: The required 'name=' option was not scpecified; aborting."},
       {"The required 'AccountId=' option was not scpecified; aborting."}},
      {"short acckey",
       {{8, "acckey=" + key63}},
       "",
       1,
       {"8: error: Error parsing encryption key; aborting."},
       {"Error parsing encryption key; aborting."}},
      {"acckey not hexadecimal",
       {{8, "acckey=" + key63 + "g"}},
       "",
       1,
       {"8: error: acckey= character 64 is not a hexadecimal digit"},
       {}},
      {"disabled",
       {{7, "enabled=1 "}},
       "",
       1,
       {"7: error: The schedule is disabled; aborting."},
       {"The schedule is disabled; aborting."}},
      {"header in lower case",
       {{1, "# varno backup schedule"}},
       "",
       1,
       {"1: error: Invalid KBS header; aborting."},
       {"Invalid KBS header; aborting."}},
      {"Email= after schedule_email=",
       {},
       "schedule_email=a@example.invalid\nEmail=b@example.invalid\n",
       1,
       {"11: error: FATAL: Got value for Email= when we already got value for schedule_email="},
       {"FATAL: Got value for Email= when we already got value for schedule_email="}},
      {"source missing here",
       {{9, "Src=D:\\nowhere"}},
       "",
       1,
       {"9: error: FILE: ERROR (errno 2) while attempting to stat() file: 'D:\\nowhere'; Previous "
        "error indicates the file was not found."},
       {"FILE: ERROR (errno 2) while attempting to stat() file: 'D:\\nowhere'",
        "Previous error indicates the file was not found."}},
      {"filter without a /Today/ destination",
       {},
       "filter=D:\\docs|1|*.tmp\n",
       1,
       {"10: error: FILE: ERROR: Failed to generate filter parent directories while on "
        "'D:\\docs\\...' "},
       {"FILE: ERROR: Failed to generate filter parent directories while on 'D:\\docs\\a.txt'"}},
      {"filters that never match",
       {{5, "Dest=/1/Today"}},
       "filter=D:\\docs|1|*.tmp; sub\\x.doc\nfilter=D:\\docs|1\nfilter=D:\\docs|-1|*.bak\n",
       0,
       {"10: warning: pattern 'sub\\x.doc' can never match",
        "11: warning: the agent drops this filter= line without a word: it has no second '|'",
        "12: warning: the agent drops this filter= line without a word: its flags are negative"},
       {}},
      {"an empty Sync= folder",
       {},
       "Src=D:\\empty\nSync=D:\\empty\n",
       0,
       {"11: warning: Sync= 'D:\\empty' is empty on this machine; while a source or Sync= folder "
        "is empty, the agent deletes nothing of it on the server"},
       {}},
      {"a key the agent does not know",
       {},
       "Owner=D:\\docs\n",
       0,
       {"10: warning: 'Owner=D:\\docs' begins with no key"},
       {}},
      // The agent ignores these lines without a word: what they name is never backed up.
      {"keys a slip away from a known one",
       {},
       "Scr=D:\\docs\n Src=D:\\docs\nschedule_emial=a@example.invalid\nSrc =D:\\docs\n",
       1,
       {"10: error: 'Scr=' is no key the agent knows but is close to 'Src='",
        "11: error: ' Src=' is no key the agent knows but is close to 'Src='",
        "12: error: 'schedule_emial=' is no key the agent knows but is close to 'schedule_email='",
        "13: error: 'Src =' is no key the agent knows but is close to 'Src='"},
       {}},
      // Flags that do not read as the number written turn a filter that leaves *.tmp out
      // into one that keeps only *.tmp.
      {"filter flags that flip to keeping only",
       {{5, "Dest=/1/Today"}},
       "filter=D:\\docs|0x1|*.tmp\nfilter=D:\\docs\\s1|one|*.tmp\nfilter=D:\\docs\\s2|1x|*.bak\n"
       "filter=D:\\docs\\s3| 1 |*.old\nfilter=D:\\docs\\s4|0|*.doc\n",
       1,
       {"10: error: the flags '0x1' read as 0: the patterns name the only files kept",
        "11: error: the flags 'one' read as 0: the patterns name the only files kept",
        "12: warning: the flags '1x' read as 1; write them as a decimal number"},
       {}},
  };
  for (const CheckCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> lines = base();
    for (const auto& [line, text] : c.replace) lines[static_cast<size_t>(line - 1)] = text;
    std::string plain = joined(lines) + c.extra;
    write_file(dir() + "/plain.txt", plain);
    std::string out;
    EXPECT_EQ(ctl("schedule check plain.txt", &out), c.exit_code) << out;
    for (const std::string& e : c.expected) {
      EXPECT_NE(out.find("plain.txt:" + e), std::string::npos) << "missing: " << e << "\n" << out;
    }
    int printed = 0;
    for (size_t at = out.find("plain.txt:"); at != std::string::npos;
         at = out.find("plain.txt:", at + 1)) {
      printed += out.compare(at, 11, "plain.txt: ") == 0 ? 0 : 1;  // the summary has no number
    }
    EXPECT_EQ(printed, static_cast<int>(c.expected.size())) << out;
    EXPECT_EQ(out.find(key_hex), std::string::npos) << "the account key was printed";

    // encrypt refuses what check calls an error
    std::string enc;
    int encrypted = ctl("kbs encrypt plain.txt checked.kbs", &enc);
    EXPECT_EQ(encrypted, c.exit_code == 0 ? 0 : 1) << enc;
    EXPECT_EQ(testing_support::file_exists(dir() + "/checked.kbs"), c.exit_code == 0);
    std::remove((dir() + "/checked.kbs").c_str());

    if (c.agent.empty()) continue;
    write_forced(plain);
    JobRun run = this->run();
    for (const std::string& m : c.agent) EXPECT_TRUE(run.logged(m)) << m << "\n" << run.log;
  }
}

struct ReadBackCase {
  const char* name;
  std::function<std::string(const std::string& whole)> bytes;  // from the encrypted schedule
  // Per command (kbs decrypt, queue show, schedule check): exit code and what it prints.
  std::array<std::pair<int, const char*>, 3> expect;
};

// Encrypted files read back by the operator. A damaged one (cut short, changed, another
// key) is refused with nothing written or shown; a whole one is written for its owner
// alone, and never over an existing file without --force.
TEST_F(OperatorTest, DamagedEncryptedFilesAreRefusedWhenReadBack) {
  write_data("docs/a.txt", "a");
  const std::string plain = joined(base());
  write_forced(plain);
  const std::string whole = read_file(dir() + "/" + kSchedule);
  write_file(dir() + "/hello.txt", "hello\n");
  ASSERT_EQ(ctl("kbs encrypt --force hello.txt hello.kbs"), 0);
  const std::string hello = read_file(dir() + "/hello.kbs");
  const char* refused = "is damaged|is not a schedule";  // a wrong key may unpad, 1 in 256
  const std::vector<ReadBackCase> cases = {
      {"whole",
       [](const std::string& w) { return w; },
       {{{0, "^$"}, {0, "^# Varno"}, {0, "job.kbs: 0 errors, 0 warnings"}}}},
      {"last block cut off",
       [](const std::string& w) { return w.substr(0, w.size() - 16); },
       {{{1, "is damaged"},
         {1, "is damaged"},
         {1, "job.kbs:[0-9]+: error: Unable to decrypt file; aborting. \\(the file is damaged"}}}},
      {"cut in the middle",
       [](const std::string& w) { return w.substr(0, w.size() / 32 * 16); },
       {{{1, "is damaged"}, {1, "is damaged"}, {1, "error: Unable to decrypt file"}}}},
      // The byte before the last block flips its padding length: never valid.
      {"one byte changed",
       [](std::string w) {
         w[w.size() - 17] ^= 0x40;
         return w;
       },
       {{{1, "is damaged"}, {1, "is damaged"}, {1, "error: Unable to decrypt file"}}}},
      {"random bytes",
       [](const std::string& w) { return random_bytes(w.size()); },
       {{{1, refused}, {1, refused}, {1, "error: Invalid KBS header"}}}},
      {"whole but no schedule",
       [&hello](const std::string&) { return hello; },
       {{{1, "is not a schedule"}, {0, "^hello\n$"}, {1, "error: Invalid KBS header"}}}},
  };
  const char* commands[] = {"kbs decrypt job.kbs plain.out", "queue show job.kbs",
                            "schedule check job.kbs"};
  for (const ReadBackCase& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(dir() + "/job.kbs", c.bytes(whole));
    for (int i = 0; i < 3; ++i) {
      std::filesystem::remove(dir() + "/plain.out");
      std::string out;
      EXPECT_EQ(ctl(commands[i], &out), c.expect[i].first) << commands[i] << "\n" << out;
      EXPECT_TRUE(std::regex_search(out, std::regex(c.expect[i].second))) << commands[i] << "\n"
                                                                          << out;
      if (i == 0) {
        bool written = c.expect[i].first == 0;
        EXPECT_EQ(testing_support::file_exists(dir() + "/plain.out"), written);
        if (written) {
          EXPECT_EQ(read_file(dir() + "/plain.out"), plain);
        }
      }
      if (c.expect[i].first != 0 && i == 1) {
        EXPECT_EQ(out.find("# Varno"), std::string::npos) << "a damaged queue file was shown";
      }
    }
  }

  // The plain text holds the account key: the owner's alone, and no file is overwritten
  // unless the operator says so.
  write_file(dir() + "/job.kbs", whole);
  write_file(dir() + "/plain.out", "keep me\n");
  std::string out;
  EXPECT_EQ(ctl("kbs decrypt job.kbs plain.out", &out), 1) << out;
  EXPECT_NE(out.find("exists; not overwritten (use --force)"), std::string::npos) << out;
  EXPECT_EQ(read_file(dir() + "/plain.out"), "keep me\n");
  std::filesystem::permissions(dir() + "/plain.out", std::filesystem::perms::all);
  EXPECT_EQ(ctl("kbs decrypt --force job.kbs plain.out", &out), 0) << out;
  EXPECT_EQ(read_file(dir() + "/plain.out"), plain);
  for (const char* name : {"plain.out", "fresh.out"}) {
    if (std::string(name) == "fresh.out") {
      ASSERT_EQ(ctl("kbs decrypt job.kbs fresh.out"), 0);
    }
    auto perms = std::filesystem::status(dir() + "/" + name).permissions();
    EXPECT_EQ(perms & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write)
        << name;
  }
}

TEST_F(OperatorTest, RunWaitStartsTheAgentAndExitsWithTheJobsOutcome) {
  const std::string bytes = random_bytes(3000);
  write_data("docs/a.txt", bytes);
  start_server();
  write_schedule("Src=D:\\docs\n");
  std::string out;
  ASSERT_EQ(ctl("run --wait " + std::string(kSchedule), &out), 0) << out;
  EXPECT_NE(out.find("Started the agent for 'job0000000a.kbs'"), std::string::npos) << out;
  EXPECT_NE(out.find("complete: 1 sent, 0 up to date, 0 failed, 0 deleted"), std::string::npos)
      << out;
  EXPECT_EQ(read_file(restore(1) + "/1/D Drive/docs/a.txt"), bytes);

  // Posted to an agent that is already waiting for jobs.
  {
    std::string agent_cmd =
        "cd '" + dir() + "' && VARNO_IDLE_MS=200 " + agent_shell() + " background 2>/dev/null &";
    ASSERT_EQ(testing_support::run_command(agent_cmd), 0);
    std::string status;
    for (int i = 0; i < 200 && ctl("status", &status) != 0; ++i) plat_env()->sleep_ms(10);
    ASSERT_EQ(ctl("run --wait " + std::string(kSchedule), &out), 0) << out;
    EXPECT_NE(out.find("Posted 'job0000000a.kbs' to the running agent"), std::string::npos) << out;
    EXPECT_NE(out.find("complete: 0 sent, 1 up to date, 0 failed, 0 deleted"), std::string::npos)
        << out;
  }

  // A job that fails: the login finds no server.
  stop_server();
  EXPECT_EQ(ctl("run --wait " + std::string(kSchedule), &out), 1) << out;
  EXPECT_NE(out.find("failed: Unable to start user session (Error"), std::string::npos) << out;

  // No schedule, or not the working folder.
  EXPECT_EQ(ctl("run --wait nothing.kbs", &out), 1);
  EXPECT_NE(out.find("no schedule file 'nothing.kbs'"), std::string::npos) << out;
  EXPECT_EQ(ctl("run", &out), 2);
}

// `run --wait` tells what the report tells: its counts, and an exit status that calls a run
// with failed files (or with a job log the disk would not take) neither a success nor a
// failure. Each case's claim is checked against the report the server holds and the files
// it restores.
struct OutcomeCase {
  const char* name;
  std::string schedule;    // lines after the required options
  const char* fault_plan;  // for varno-backup-faulty (failing with ENOSPC), or null
  int exit_code;
  std::string line;           // what `run --wait` prints (a part of it)
  std::string error;          // what it prints besides, or ""
  std::string report_counts;  // the report's "sent, up to date, failed" lines, or "" (none)
};

TEST_F(OperatorTest, RunWaitPrintsTheReportsCountsAndExitsByThem) {
  const std::string bytes = random_bytes(3000);
  for (const char* name : {"a.txt", "b.txt", "c.txt"})
    write_data(std::string("docs/") + name, bytes);
  // Few blocks: nothing reads the server's request lines until the case is over.
  start_server({"--block-size", "4096"});
  auto report_counts = [](const char* sent, const char* current, const char* failed) {
    return std::string("Files sent .............. ") + sent + "\n  Files already up to date  " +
           current + "\n  Files that failed ....... " + failed;
  };
  const std::vector<OutcomeCase> cases = {
      {"first run", "Src=D:\\docs\n", nullptr, 0,
       "complete: 3 sent, 0 up to date, 0 failed, 0 deleted", "", report_counts("3", "0", "0")},
      {"unchanged", "Src=D:\\docs\n", nullptr, 0,
       "complete: 0 sent, 3 up to date, 0 failed, 0 deleted", "", report_counts("0", "3", "0")},
      {"a source is missing", "Src=D:\\docs\nSrc=D:\\nowhere\n", nullptr, 4,
       "completed with failures: 0 sent, 3 up to date, 1 failed, 0 deleted", "",
       report_counts("0", "3", "1")},
      {"the working folder's disk is full", "Src=D:\\docs\nSrc=D:\\more\n",
       "log write#30 per-file sticky; outcome open#2", 4,
       "completed with failures: 1 sent, 3 up to date, 0 failed, 0 deleted",
       "the job log 'job0000000a.kbs.log' is incomplete: No space left on device",
       report_counts("1", "3", "0")},
      {"the schedule is refused", "Src=D:\\docs\nUserId=5\n", nullptr, 1,
       "failed: Got too many entries for 'UserId='; Aborting.", "", ""},
  };
  const std::string faulty =
      windows_build().empty() ? std::string(VARNO_BUILD_DIR) + "/tests/process/varno-backup-faulty"
                              : windows_build() + "/tests/process/varno-backup-faulty.exe";
  for (const OutcomeCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (!windows_build().empty() && c.fault_plan != nullptr &&
        std::string(c.fault_plan).find("log write") != std::string::npos) {
      printf(
          "note: OperatorTest.RunWaitPrintsTheReportsCountsAndExitsByThem: '%s' is not tried "
          "against the Windows agent (its faulty build cannot fail log writes)\n",
          c.name);
      continue;
    }
    if (c.fault_plan != nullptr) write_data("more/d.txt", bytes);
    write_schedule(c.schedule);
    std::string agent;
    if (c.fault_plan != nullptr) {
      setenv("VARNO_TEST_FAULT_PLAN", c.fault_plan, 1);
      setenv("VARNO_TEST_FAULT_ERRNO", "ENOSPC", 1);
      setenv("VARNO_TEST_FAULT_RECORD", (dir() + "/faults.txt").c_str(), 1);
      agent = "--agent '" + faulty + "' ";
    }
    std::string out;
    int rc = ctl("run --wait " + agent + kSchedule, &out);
    unsetenv("VARNO_TEST_FAULT_PLAN");
    unsetenv("VARNO_TEST_FAULT_ERRNO");
    unsetenv("VARNO_TEST_FAULT_RECORD");
    if (c.fault_plan != nullptr) {
      // The final outcome could only be written in place of the one the job began with.
      std::string faults = read_file(dir() + "/faults.txt");
      EXPECT_NE(faults.find("open outcome job0000000a.kbs.outcome.tmp"), std::string::npos)
          << faults;
      EXPECT_NE(faults.find("write log job0000000a.kbs.log"), std::string::npos) << faults;
    }
    EXPECT_EQ(rc, c.exit_code) << out;
    EXPECT_NE(out.find(c.line), std::string::npos) << out;
    if (!c.error.empty()) {
      EXPECT_NE(out.find(c.error), std::string::npos) << out;
    }
    if (c.report_counts.empty()) continue;
    std::string report = this->report();
    EXPECT_NE(report.find(c.report_counts), std::string::npos) << report;
    std::string restored = restore(1);
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
      EXPECT_EQ(read_file(restored + "/1/D Drive/docs/" + name), bytes) << name;
  }
}

// A server address that does not work: `hosts check` names the line and the cause, and a
// job that cannot connect logs the address it tried and the system's error before its
// "Unable to start user session" line, which `run --wait` passes on.
struct HostsCase {
  const char* name;
  std::string hosts;  // "PORT" stands for the test server's port
  int check_exit;
  std::string check;  // what `hosts check` prints (a part of it)
  std::string cause;  // what the job log and `run --wait` name, or "" (the job runs)
};

TEST_F(OperatorTest, ConnectionFailuresNameTheAddressAndTheCause) {
  write_data("docs/a.txt", "a");
  start_server();
  const std::string port = std::to_string(server->port());
  const std::vector<HostsCase> cases = {
      {"working", "# the test server\n127.0.0.1:PORT\n", 0,
       "etc/hosts:2: 127.0.0.1:PORT: the backup server answered", ""},
      {"wrong port", "127.0.0.1:1\n", 1, "etc/hosts:1: error: 127.0.0.1:1: Connection refused",
       "127.0.0.1:1: Connection refused"},
      {"unknown host", "no-such-host.invalid:PORT\n", 1,
       "etc/hosts:1: error: no-such-host.invalid:PORT: host not found",
       "no-such-host.invalid:PORT: host not found"},
      {"no port", "127.0.0.1:\n", 1, "etc/hosts:1: error: '127.0.0.1:': no port",
       "127.0.0.1:0: no port (write host:port)"},
      {"port 70000", "127.0.0.1:70000\n", 1,
       "etc/hosts:1: error: '127.0.0.1:70000': the port is not a port (1 to 65535)",
       "127.0.0.1:70000: port 70000 is not a port (1 to 65535)"},
      {"no server line", "127.0.0.1 PORT\n", 1,
       "etc/hosts:1: warning: no ':' (host:port); the agent skips this line",
       "'etc/hosts' names no server (no line of the form host:port)"},
      {"second server works", "127.0.0.1:1\n127.0.0.1:PORT\n127.0.0.1:2\n", 1,
       "etc/hosts:3: warning: the agent uses only the first 2 servers", ""},
  };
  auto with_port = [&](std::string text) {
    for (size_t at; (at = text.find("PORT")) != std::string::npos;) text.replace(at, 4, port);
    return text;
  };
  write_schedule("Src=D:\\docs\n");
  for (const HostsCase& c : cases) {
    SCOPED_TRACE(c.name);
    write_file(dir() + "/etc/hosts", with_port(c.hosts));
    size_t seen = server->output(0).size();
    std::string out;
    EXPECT_EQ(ctl("hosts check", &out), c.check_exit) << out;
    EXPECT_NE(out.find(with_port(c.check)), std::string::npos) << out;

    int rc = ctl("run --wait " + std::string(kSchedule), &out);
    std::string log = read_file(dir() + "/" + kSchedule + ".log");
    if (c.cause.empty()) {
      EXPECT_EQ(rc, 0) << out;
      continue;
    }
    EXPECT_EQ(rc, 1) << out;
    const std::string tried = "Could not connect to a backup server: " + with_port(c.cause);
    size_t at = log.find(tried);
    EXPECT_NE(at, std::string::npos) << log;
    EXPECT_LT(at, log.find("Unable to start user session (Error ")) << log;
    EXPECT_NE(out.find(with_port(c.cause)), std::string::npos) << out;
    EXPECT_EQ(server->output().find("conn ", seen), std::string::npos) << "the server was reached";
  }
}

// A stop asked with `varno-ctl stop`, or by stopping the service (SIGTERM to `run --wait`):
// the job stops and `run --wait` says so with exit code 3.
TEST_F(OperatorTest, RunWaitExitsThreeWhenTheJobIsStopped) {
  std::vector<bool> ways = {false, true};
  if (!windows_build().empty()) {
    // Wine ends a program on SIGTERM without its console handler.
    printf(
        "note: OperatorTest.RunWaitExitsThreeWhenTheJobIsStopped: SIGTERM to run --wait "
        "is not tried against the Windows agent (Wine does not pass it on)\n");
    ways = {false};
  }
  for (bool by_signal : ways) {
    SCOPED_TRACE(by_signal ? "SIGTERM to run --wait" : "varno-ctl stop");
    std::filesystem::remove_all(data());
    write_data("docs/big.bin", random_bytes(1 << 20));  // 16-byte blocks: long enough to stop
    start_server();
    // The server logs every request; nothing else reads its pipe here, and a full pipe
    // would stall the server and with it the job.
    struct Drain {
      kfs_test::DevServer* server;
      std::atomic<bool> on{true};
      std::thread reader{[this] {
        while (on) (void)server->output();
      }};
      void stop() {
        on = false;
        if (reader.joinable()) reader.join();
      }
      ~Drain() { stop(); }
    } drain{server.get()};
    write_schedule("Src=D:\\docs\n");
    pid_t pid = fork();
    if (pid == 0) {
      if (chdir(dir().c_str()) != 0 || freopen("run.out", "w", stdout) == nullptr) _exit(127);
      dup2(fileno(stdout), STDERR_FILENO);
      if (!windows_build().empty()) {
        const std::string command = "exec " + ctl_shell() + " run --wait " + kSchedule;
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
      }
      const std::string ctl_path = std::string(VARNO_BUILD_DIR) + "/tools/varno-ctl";
      execl(ctl_path.c_str(), ctl_path.c_str(), "run", "--wait", kSchedule,
            static_cast<char*>(nullptr));
      _exit(127);
    }
    ASSERT_GT(pid, 0);
    std::string status;
    bool asked = false;
    int wstatus = 0;
    bool ended = false;
    for (int i = 0; i < 6000 && !ended; ++i) {
      if (!asked && ctl("status", &status) == 0 &&
          status.find("Backing up...") != std::string::npos) {
        asked = by_signal ? kill(pid, SIGTERM) == 0 : ctl("stop") == 0;
      }
      ended = waitpid(pid, &wstatus, WNOHANG) == pid;
      if (!ended) plat_env()->sleep_ms(10);
    }
    if (!ended) {
      kill(pid, SIGKILL);
      waitpid(pid, &wstatus, 0);
    }
    std::string out = read_file(dir() + "/run.out");
    ASSERT_TRUE(asked) << "the job ended before it could be stopped\n" << out;
    ASSERT_TRUE(ended) << out << "\nagent.log:\n"
                       << read_file(dir() + "/agent.log") << "\njob log:\n"
                       << read_file(dir() + "/" + kSchedule + ".log");
    EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 3) << wstatus << "\n" << out;
    EXPECT_NE(out.find("stopped on request"), std::string::npos) << out;
    // The job log ends with the outcome, and the queued report agrees with it.
    std::string log = read_file(dir() + "/" + kSchedule + ".log");
    EXPECT_TRUE(std::regex_search(log, std::regex("\\] Backup job stopped by the user\\.\r\n$")))
        << log;
    EXPECT_NE(queued_report().find("terminated by the user"), std::string::npos);
    drain.stop();
    stop_server();
  }
}

TEST_F(OperatorTest, StatusJsonIsOneValidObjectPerChange) {
  write_data("docs/a.txt", random_bytes(8000));  // 500 blocks: changes to watch
  // Slower queries keep the job running until the watcher, started in the background, is up.
  start_server({"--fault", "query delay 2"});
  // Quote, backslash, tab, valid UTF-8 and a byte that is not UTF-8.
  const std::string name = "Q\"uote\\back\t\xC3\xA9\xE9";
  std::vector<std::string> lines = {"# Varno Backup Schedule",
                                    "UserId=1001",
                                    "AccountId=1",
                                    "Schedule=1",
                                    "Dest=/1",
                                    "name=" + name,
                                    "enabled=1",
                                    "acckey=" + key_hex,
                                    "Src=D:\\docs"};
  std::string plain;
  for (const std::string& l : lines) plain += l + "\n";
  write_file(dir() + "/plain.txt", plain);
  ASSERT_EQ(ctl("kbs encrypt plain.txt " + std::string(kSchedule)), 0);

  std::string none;
  EXPECT_EQ(ctl("status --json", &none), 1);
  EXPECT_EQ(none, "{\"running\":false,\"error\":\"no agent is running (no progress board)\"}\n");

  bool watching = false;
  std::string one;
  JobRun run = this->run([&](const ProgressBoard* board) {
    if (board == nullptr || watching) return;
    watching = true;
    ctl("status --json", &one);
    std::string cmd =
        "cd '" + dir() + "' && " + ctl_shell() + " status --watch --json > watch.jsonl 2>&1 &";
    testing_support::run_command(cmd);
  });
  ASSERT_TRUE(watching);
  ASSERT_TRUE(run.logged("Backup job completed normally.")) << run.log;
  std::string watch;
  for (int i = 0; i < 500; ++i) {  // the watcher ends once it has seen "Complete"
    watch = read_file(dir() + "/watch.jsonl");
    if (watch.find("\"complete\":true") != std::string::npos) break;
    plat_env()->sleep_ms(10);
  }
  write_file(dir() + "/one.json", one);
  // Python's json module, which nobody here wrote, must read every object.
  std::string check =
      "cd '" + dir() +
      "' && python3 -c '\n"
      "import json\n"
      "one = json.loads(open(\"one.json\", encoding=\"utf-8\").read())\n"
      "objs = [json.loads(l) for l in open(\"watch.jsonl\", encoding=\"utf-8\")]\n"
      "assert len(objs) >= 2, objs\n"
      "assert objs[-1][\"complete\"] and objs[-1][\"status\"] == \"Complete\", objs[-1]\n"
      "assert objs[-1][\"items\"][\"backed_up\"] == 1, objs[-1]\n"
      "assert objs[-1][\"bytes\"][\"done\"] == 8000, objs[-1]\n"
      "assert all(a != b for a, b in zip(objs, objs[1:]))\n"
      "for o in objs + [one]:\n"
      "    assert o[\"running\"] is True\n"
      "    assert o[\"schedule\"] in (\"\", \"Q\\\"uote\\\\back\\t\\u00e9\\u00e9\"), o\n"
      "assert objs[-1][\"schedule\"] == \"Q\\\"uote\\\\back\\t\\u00e9\\u00e9\"\n"
      "assert len(one[\"started\"]) == 23\n"
      "' > json.out 2>&1";
  EXPECT_EQ(testing_support::run_command(check), 0)
      << read_file(dir() + "/json.out") << "\none: " << one << "\nwatch:\n"
      << watch;
}

// While root's job runs, "nobody" neither sees it, stops it nor hands it a job, and is
// told why; a datagram sent past varno-ctl's own check is dropped by the agent.
TEST_F(OperatorTest, AnotherUserNeitherWatchesStopsNorPostsToTheAgent) {
  SKIP_AGAINST_WINDOWS_AGENT(
      "the other-user checks are the POSIX layer's; Windows keeps its objects' security");
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
  write_data("docs/secret-name.txt", random_bytes(4000));  // 250 blocks: time to act
  start_server({"--fault", "query delay 2"});
  write_schedule("Src=D:\\docs\n");
  struct Case {
    const char* args;
    const char* says;
  };
  const std::vector<Case> cases = {
      {"status --json", "the running agent belongs to another user"},
      {"status", "the running agent belongs to another user"},
      {"stop", "the running agent belongs to another user; only that user or root may stop it"},
      {"post other.kbs", "the agent on the job mailslot runs as another user"},
  };
  std::vector<std::pair<int, std::string>> seen;
  bool sent_raw = false;
  JobRun job = run([&](const ProgressBoard* board) {
    if (board == nullptr || !seen.empty() || strcmp(board->status, "Backing up...") != 0) return;
    for (const Case& c : cases) {
      std::string out = dir() + "/nobody.out";
      int rc = testing_support::run_command("setpriv --reuid=65534 --regid=65534 --clear-groups '" +
                                            std::string(VARNO_BUILD_DIR) + "/tools/varno-ctl' " +
                                            c.args + " > '" + out + "' 2>&1");
      seen.emplace_back(rc, read_file(out));
    }
    pid_t child = fork();
    if (child == 0) {
      if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      std::string name = "varno-mailslot:" + ipc_object_name(JOB_MAILSLOT_NAME);
      memcpy(address.sun_path + 1, name.data(), name.size());
      int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
      _exit(sendto(fd, "other.kbs", 10, 0, reinterpret_cast<sockaddr*>(&address),
                   static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())) == 10
                ? 0
                : 1);
    }
    int status = -1;
    sent_raw = child > 0 && waitpid(child, &status, 0) == child && status == 0;
  });
  ASSERT_EQ(seen.size(), cases.size()) << "the job ended before nobody could try";
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].args);
    EXPECT_EQ(seen[i].first, 1) << seen[i].second;
    EXPECT_NE(seen[i].second.find(cases[i].says), std::string::npos) << seen[i].second;
    EXPECT_EQ(seen[i].second.find("secret-name"), std::string::npos) << seen[i].second;
  }
  EXPECT_TRUE(sent_raw);
  EXPECT_TRUE(job.logged("Backup job completed normally.")) << job.log;
  EXPECT_NE(job.agent_log.find("Ignored 1 job mailslot message(s) from another user (uid 65534)."),
            std::string::npos)
      << job.agent_log;
  EXPECT_EQ(job.agent_log.find("other.kbs"), std::string::npos) << job.agent_log;
  EXPECT_TRUE(regular_files(restore(1) + "/1")["D Drive/docs/secret-name.txt"] ==
              read_file(data("docs/secret-name.txt")))
      << "the server does not hold the file the job backed up";
}

TEST_F(OperatorTest, HelpAndVersion) {
  std::string out;
  EXPECT_EQ(ctl("--help", &out), 0);
  for (const char* word :
       {"run", "status", "stop", "schedule check", "kbs encrypt", "queue show"}) {
    EXPECT_NE(out.find(std::string("varno-ctl ") + word), std::string::npos) << word << "\n" << out;
  }
  EXPECT_EQ(ctl("schedule --help", &out), 0);
  EXPECT_NE(out.find("schedule check PLAIN"), std::string::npos) << out;
  EXPECT_EQ(ctl("--version", &out), 0);
  EXPECT_TRUE(std::regex_match(out, std::regex("varno-ctl [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << out;
  EXPECT_EQ(ctl("no-such-command", &out), 2);

  // The agent answers without touching any file: agent.log keeps the last run's lines.
  const std::string agent = "cd '" + dir() + "' && " + agent_shell();
  write_file(dir() + "/agent.log", "the last run\n");
  for (const char* ask : {" --help", " --version", " --help background job.kbs"}) {
    SCOPED_TRACE(ask);
    ASSERT_EQ(testing_support::run_command(agent + ask + " > agent.answer"), 0);
    std::string answer = lf_lines(read_file(dir() + "/agent.answer"));
    EXPECT_TRUE(
        std::regex_match(answer, std::regex("usage: varno-backup background \\[SCHEDULE\\]"
                                            "\n[\\s\\S]*|varno-backup [0-9]+\\.[0-9]+\\.[0-9]+\n")))
        << answer;
    EXPECT_EQ(read_file(dir() + "/agent.log"), "the last run\n");
  }
  EXPECT_EQ(testing_support::run_command(agent + " --helpx 2>/dev/null"), 2);
  EXPECT_NE(read_file(dir() + "/agent.log").find("Invalid command-line argument usage."),
            std::string::npos);

  const std::string server = std::string(VARNO_BUILD_DIR) + "/tools/kfs-devserver/kfs-devserver";
  const std::string answer = dir() + "/server-answer.txt";
  ASSERT_EQ(testing_support::run_command(server + " --version > " + answer), 0);
  EXPECT_TRUE(
      std::regex_match(read_file(answer), std::regex("kfs-devserver [0-9]+\\.[0-9]+\\.[0-9]+\n")));
  for (const char* help : {" --help", " restore --help"}) {
    ASSERT_EQ(testing_support::run_command(server + help + " > " + answer), 0) << help;
    EXPECT_NE(read_file(answer).find("restore --store DIR --dest N"), std::string::npos) << help;
  }
}

// The guide's annotated example: every key, read by the parser, and clean for the check.
TEST_F(OperatorTest, TheGuidesExampleScheduleIsCleanAndNamesEveryKey) {
  std::string guide = read_file(std::string(VARNO_SOURCE_DIR) + "/docs/operating.md");
  const std::string marker = "<!-- example schedule -->";
  size_t at = guide.find(marker);
  ASSERT_NE(at, std::string::npos) << "the guide lost its example marker";
  size_t open = guide.find("```\n", at);
  ASSERT_NE(open, std::string::npos);
  size_t close = guide.find("\n```", open + 4);
  ASSERT_NE(close, std::string::npos);
  std::string example = guide.substr(open + 4, close + 1 - (open + 4));

  // The example's folders exist on "this machine", with files in them (an empty Sync=
  // folder is warned about): D: is the test's data folder.
  std::istringstream in(example);
  std::string line;
  while (std::getline(in, line)) {
    std::string path;
    if (line.rfind("Src=D:\\", 0) == 0) path = line.substr(7);
    if (line.rfind("filter=D:\\", 0) == 0) path = line.substr(10, line.find('|') - 10);
    if (path.empty()) continue;
    for (char& ch : path) ch = ch == '\\' ? '/' : ch;
    std::filesystem::create_directories(data(path));
    write_file(data(path + "/file.txt"), "x\n");
  }
  write_file(dir() + "/plain.txt", example);
  std::string out;
  EXPECT_EQ(ctl("schedule check plain.txt", &out), 0) << out;
  EXPECT_NE(out.find("plain.txt: 0 errors, 0 warnings"), std::string::npos) << out;

  ASSERT_EQ(schedule_parse_plain(example.data(), example.size()), 0);
  const JobSettings& j = job_settings();
  for (const ScheduleOption& o : j.options)
    EXPECT_TRUE(o.seen) << o.key << " is not in the example";
  EXPECT_GT(list_count(j.sources), 0);
  EXPECT_GT(list_count(j.filters), 0);
  EXPECT_GT(list_count(j.exclusions), 0);
  EXPECT_GT(list_count(j.sync_paths), 0);
  EXPECT_GE(list_count(j.recipients), 2);  // Email= and schedule_email=
  EXPECT_NE(example.find("\nhtml="), std::string::npos);
  job_settings_free();
}

}  // namespace
}  // namespace engine_test
