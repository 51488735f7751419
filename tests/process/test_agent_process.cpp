// The agent and varno-ctl as real processes in a temporary working directory. Every test
// gets its own object names through VARNO_IPC_NAMESPACE, and short watchdog and idle
// times through the test knobs. Tests whose jobs must hang, wait or drive the board run
// varno-backup-testjobs: the same agent with scripted jobs in place of procjob.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "agent/runtime/ipc_names.h"
#include "platform/env.h"
#include "platform/mailslot.h"
#include "platform/named_object.h"
#include "tests/support/engine_world.h"
#include "tests/support/test_support.h"

using testing_support::file_exists;
using testing_support::make_dirs;
using testing_support::read_file;
using testing_support::TempDir;
using testing_support::write_file;

namespace {

const std::string kAgent = std::string(VARNO_BUILD_DIR) + "/agent/varno-backup";
const std::string kTestAgent =
    std::string(VARNO_BUILD_DIR) + "/tests/process/varno-backup-testjobs";
constexpr uint64_t kPatienceMs = 60000;  // generous: only a hang reaches it

bool wait_until(const std::function<bool()>& done) {
  uint64_t give_up = plat_env()->tick_ms() + kPatienceMs;
  while (!done()) {
    if (plat_env()->tick_ms() > give_up) return false;
    plat_env()->sleep_ms(5);
  }
  return true;
}

// True once `pid` has ended (without reaping it).
bool has_ended(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

struct Output {
  int status;
  std::string text;  // stdout and stderr together
};

class AgentProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Short: the mailslot name must fit a socket address.
    static int serial = 0;
    ns_ = ".t" + std::to_string(getpid()) + "." + std::to_string(++serial);
    setenv("VARNO_IPC_NAMESPACE", ns_.c_str(), 1);
    setenv("VARNO_IDLE_MS", "1", 1);
    unsetenv("VARNO_WATCHDOG_MS");
  }
  void TearDown() override {
    for (pid_t pid : running_) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    (void)SharedMemory::unlink(ipc_object_name(PROGRESS_BOARD_NAME).c_str());
    (void)NamedEvent::unlink(ipc_object_name(TERMINATE_EVENT_NAME).c_str());
    NameGuard(ipc_object_name(PROGRESS_BOARD_NAME).c_str()).remove();
  }

  // Starts the agent in the test folder with `args`; its stderr goes to agent.stderr.
  // Schedules named hang*, busy*, gate* and progress* need the scripted jobs.
  pid_t start_agent(const std::vector<std::string>& args, const std::string& program = kTestAgent) {
    std::vector<std::string> words = {program};
    if (!engine_test::windows_build().empty()) {  // the Windows build's, under Wine
      words = engine_test::wine_command(engine_test::windows_build() +
                                        program.substr(strlen(VARNO_BUILD_DIR)) + ".exe");
    }
    words.insert(words.end(), args.begin(), args.end());
    pid_t pid = fork();
    if (pid == 0) {
      if (chdir(dir_.path().c_str()) != 0) _exit(127);
      FILE* err = freopen("agent.stderr", "w", stderr);
      (void)err;
      std::vector<char*> argv;
      for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    if (pid > 0) running_.push_back(pid);
    return pid;
  }

  // Waits for the agent to end; its exit status, or -1 after killing a hung one.
  int wait_agent(pid_t pid) {
    int status = 0;
    bool ended = wait_until([&] { return waitpid(pid, &status, WNOHANG) == pid; });
    std::erase(running_, pid);
    if (!ended) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      ADD_FAILURE() << "the agent did not end";
      return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  int run_agent(const std::vector<std::string>& args, const std::string& program = kTestAgent) {
    return wait_agent(start_agent(args, program));
  }

  Output ctl(const std::string& args) {
    std::string command =
        "cd '" + dir_.path() + "' && " + engine_test::agent_ctl_shell() + " " + args + " 2>&1";
    Output out{-1, ""};
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) out.text.append(chunk, n);
    int status = pclose(pipe);
    out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (!engine_test::windows_build().empty()) out.text = engine_test::lf_lines(out.text);
    return out;
  }

  void post_raw(const std::string& bytes) {
    std::string name = ipc_object_name(JOB_MAILSLOT_NAME);
    ASSERT_EQ(plat_mailslot_send(name.c_str(), bytes.data(), bytes.size(), 5000), 0);
  }

  std::string agent_log() { return read_file(dir_.file("agent.log")); }

  // The agent log's messages without their time prefixes; every line must have one.
  std::vector<std::string> messages(const std::string& log) {
    static const std::regex kLine(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{4}\] (.*))");
    std::vector<std::string> out;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::smatch m;
      if (!std::regex_match(line, m, kLine)) {
        ADD_FAILURE() << "not a log line: " << line;
        continue;
      }
      out.push_back(m[1]);
    }
    return out;
  }

  bool log_has(const std::string& path, const std::string& text) {
    return read_file(path).find(text) != std::string::npos;
  }

  // Waits until the file holds `text`; false at once when the agent `pid` ended first.
  bool wait_for_text(pid_t pid, const std::string& path, const std::string& text) {
    bool seen = false;
    wait_until([&] { return (seen = log_has(path, text)) || has_ended(pid); });
    if (!seen) seen = log_has(path, text);
    if (!seen) ADD_FAILURE() << "never saw '" << text << "'; agent.log:\n" << agent_log();
    return seen;
  }

  bool board_exists() {
    if (!engine_test::windows_build().empty()) return ctl("status").status == 0;
    SharedMemory m;
    return m.open_existing(ipc_object_name(PROGRESS_BOARD_NAME).c_str(), 1, true) == 0;
  }

  std::string mailslot_name() { return ipc_object_name(JOB_MAILSLOT_NAME); }

  std::vector<std::string> start_lines(const char* schedule_line) {
    return {"Initialized log file 'agent.log'", schedule_line,
            "Successfully created hTerminateBackupEvent event",
            "ipc_rx_setup(" + mailslot_name() + ") succeeded.", "ckfs_init() succeeded."};
  }

  static void append(std::vector<std::string>* to, const std::vector<std::string>& more) {
    to->insert(to->end(), more.begin(), more.end());
  }

  static std::vector<std::string> job_lines(const std::string& path) {
    return {"procjob('" + path + "') begin", "See '" + path + ".log' for details.",
            "procjob('" + path + "') complete"};
  }

  TempDir dir_;
  std::string ns_;
  std::vector<pid_t> running_;
};

TEST_F(AgentProcessTest, WithoutArgumentsTheUsageLineIsLoggedAndExitIs1) {
  SKIP_AGAINST_WINDOWS_AGENT(
      "the Windows agent's start trace goes to the debugger, not to standard error");
  EXPECT_EQ(run_agent({}, kAgent), 1);
  EXPECT_EQ(messages(agent_log()),
            (std::vector<std::string>{"Initialized log file 'agent.log'",
                                      "varno-backup.exe: Invalid command-line argument usage."}));
  std::string trace = read_file(dir_.file("agent.stderr"));
  EXPECT_EQ(trace,
            "varno-backup.exe: Started.\n"
            "varno-backup.exe: Initialized log file 'agent.log'\n");
}

TEST_F(AgentProcessTest, FirstArgumentMustContainTheWordExactly) {
  EXPECT_EQ(run_agent({"Background"}, kAgent), 2) << "the test is case-sensitive";
  EXPECT_EQ(messages(agent_log()).back(), "varno-backup.exe: Invalid command-line argument usage.");
  EXPECT_EQ(run_agent({"foreground", "x"}, kAgent), 2);
  EXPECT_EQ(run_agent({"xbackgroundx"}, kAgent), 0) << "a substring is enough";
  EXPECT_EQ(messages(agent_log()).back(), "Backup thread exited normally.");
  EXPECT_FALSE(file_exists(dir_.file("x.log")));
}

TEST_F(AgentProcessTest, WithoutScheduleItWaits30ReadsThenGivesUp) {
  SKIP_AGAINST_WINDOWS_AGENT("it checks the mailslot name is free through the Linux mailslot");
  EXPECT_EQ(run_agent({"background"}, kAgent), 0);
  std::vector<std::string> expected =
      start_lines("No initial backup schedule specified; Waiting to receive via IPC.");
  for (int left = 29; left >= 1; --left) {
    expected.push_back("No additional jobs found; Waiting " + std::to_string(left) +
                       " more seconds before giving up.");
  }
  expected.push_back(
      "Additional job check timeout (30 seconds) exceeded, giving up looking for jobs.");
  expected.push_back("Backup thread exited normally.");
  EXPECT_EQ(messages(agent_log()), expected);
  EXPECT_FALSE(board_exists()) << "names are removed at a normal end";
  MailslotReceiver rx;
  EXPECT_EQ(plat_mailslot_create(mailslot_name().c_str(), &rx), 0) << "mailslot name is free";
}

TEST_F(AgentProcessTest, InitialScheduleThenOneLookAtTheMailslot) {
  make_dirs(dir_.file("jobs"));
  EXPECT_EQ(run_agent({"background", "jobs\\C.kbs", "ignored"}, kAgent), 0);
  std::vector<std::string> expected = start_lines("Initial backup schedule: 'jobs\\C.kbs'");
  append(&expected, {"initial procjob('jobs\\C.kbs') begin", "See 'jobs\\C.kbs.log' for details.",
                     "initial procjob('jobs\\C.kbs') complete",
                     "Additional job check timeout (1 seconds) exceeded, giving up looking for "
                     "jobs.",
                     "Backup thread exited normally."});
  EXPECT_EQ(messages(agent_log()), expected);
  std::vector<std::string> job = messages(read_file(dir_.file("jobs/C.kbs.log")));
  ASSERT_GE(job.size(), 1u);
  EXPECT_EQ(job[0], "Initialized log file 'jobs\\C.kbs.log'");
}

TEST_F(AgentProcessTest, PostedJobsRunInOrderAndARepeatOfTheLastIsSkipped) {
  SKIP_AGAINST_WINDOWS_AGENT("it posts raw messages through the Linux mailslot");
  pid_t agent = start_agent({"background", "gateC"});
  ASSERT_TRUE(wait_for_text(agent, dir_.file("gateC.log"), "waiting for"));
  EXPECT_EQ(ctl("post gateC").status, 0);  // repeats the initial job
  Output posted = ctl("post A");
  EXPECT_EQ(posted.status, 0) << posted.text;
  EXPECT_EQ(ctl("post B").status, 0);
  post_raw(std::string("\0", 1));  // a 1-byte message is passed over
  EXPECT_EQ(ctl("post A").status, 0);
  EXPECT_EQ(ctl("post A").status, 0);
  write_file(dir_.file("gateC.go"), "");
  EXPECT_EQ(wait_agent(agent), 0);

  std::vector<std::string> expected = start_lines("Initial backup schedule: 'gateC'");
  const std::string skip = "The job that just completed was queued to run again; Skipping.";
  append(&expected, {"initial procjob('gateC') begin", "See 'gateC.log' for details.",
                     "initial procjob('gateC') complete", skip});
  append(&expected, job_lines("A"));
  append(&expected, job_lines("B"));
  append(&expected, job_lines("A"));
  append(&expected, {skip, "Finished processing backup jobs; Exiting normally.",
                     "Backup thread exited normally."});
  EXPECT_EQ(messages(agent_log()), expected);
  EXPECT_TRUE(log_has(dir_.file("A.log"), "] Initialized log file 'A.log'\r\n"));
  EXPECT_TRUE(log_has(dir_.file("B.log"), "] Initialized log file 'B.log'\r\n"));
}

TEST_F(AgentProcessTest, EmptyMessageEndsTheJobLoop) {
  SKIP_AGAINST_WINDOWS_AGENT("it posts raw messages through the Linux mailslot");
  pid_t agent = start_agent({"background", "gateC"});
  ASSERT_TRUE(wait_for_text(agent, dir_.file("gateC.log"), "waiting for"));
  EXPECT_EQ(ctl("post A").status, 0);
  post_raw("");
  EXPECT_EQ(ctl("post B").status, 0);
  write_file(dir_.file("gateC.go"), "");
  EXPECT_EQ(wait_agent(agent), 0);
  std::vector<std::string> got = messages(agent_log());
  std::vector<std::string> tail(got.end() - 5, got.end());
  std::vector<std::string> expected = job_lines("A");
  append(&expected,
         {"Finished processing backup jobs; Exiting normally.", "Backup thread exited normally."});
  EXPECT_EQ(tail, expected);
  EXPECT_FALSE(file_exists(dir_.file("B.log")));
}

TEST_F(AgentProcessTest, OversizedMessageBeforeAnyJobCountsAsAnIdleSecond) {
  SKIP_AGAINST_WINDOWS_AGENT("it posts raw messages through the Linux mailslot");
  setenv("VARNO_IDLE_MS", "200", 1);  // room to post while the agent still looks
  pid_t agent = start_agent({"background"}, kAgent);
  ASSERT_TRUE(wait_for_text(agent, dir_.file("agent.log"), "ckfs_init() succeeded."));
  post_raw(std::string(1500, 'o'));
  EXPECT_EQ(ctl("post A").status, 0);
  EXPECT_EQ(wait_agent(agent), 0);
  std::vector<std::string> got = messages(agent_log());
  EXPECT_EQ(got[got.size() - 2],
            "Additional job check timeout (30 seconds) exceeded, giving up looking for jobs.");
  EXPECT_FALSE(file_exists(dir_.file("A.log"))) << "queued behind the message that never fits";
}

TEST_F(AgentProcessTest, StuckJobIsTerminatedByTheWatchdog) {
  setenv("VARNO_WATCHDOG_MS", "200", 1);
  EXPECT_EQ(run_agent({"background", "hang"}), 0);
  std::vector<std::string> expected = start_lines("Initial backup schedule: 'hang'");
  append(&expected, {"initial procjob('hang') begin", "See 'hang.log' for details.",
                     "Backup thread timed out after 3600 seconds; Aborting backup.",
                     "Backup thread terminated successfully.", "Backup thread exited abnormally."});
  EXPECT_EQ(messages(agent_log()), expected);
  EXPECT_FALSE(board_exists());
}

TEST_F(AgentProcessTest, StuckPostedJobIsTerminatedToo) {
  setenv("VARNO_WATCHDOG_MS", "1000", 1);
  setenv("VARNO_IDLE_MS", "100", 1);  // idle reads show life; room to post meanwhile
  pid_t agent = start_agent({"background"});
  ASSERT_TRUE(wait_for_text(agent, dir_.file("agent.log"), "ckfs_init() succeeded."));
  make_dirs(dir_.file("jobs"));
  EXPECT_EQ(ctl("post 'jobs\\hang.kbs'").status, 0);
  EXPECT_EQ(wait_agent(agent), 0);
  std::vector<std::string> got = messages(agent_log());
  ASSERT_GE(got.size(), 5u);
  std::vector<std::string> tail(got.end() - 5, got.end());
  EXPECT_EQ(tail,
            (std::vector<std::string>{
                "procjob('jobs\\hang.kbs') begin", "See 'jobs\\hang.kbs.log' for details.",
                "Backup thread timed out after 3600 seconds; Aborting backup.",
                "Backup thread terminated successfully.", "Backup thread exited abnormally."}));
}

TEST_F(AgentProcessTest, LongJobThatShowsLifeIsNeverKilled) {
  setenv("VARNO_WATCHDOG_MS", "1000", 1);
  setenv("VARNO_TEST_BUSY_MS", "4000", 1);  // four watchdog slices
  EXPECT_EQ(run_agent({"background", "busy"}), 0);
  std::string log = agent_log();
  EXPECT_EQ(log.find("timed out"), std::string::npos) << log;
  std::vector<std::string> got = messages(log);
  EXPECT_EQ(got.back(), "Backup thread exited normally.");
  EXPECT_TRUE(log_has(dir_.file("busy.log"), "Test job: busy done"));
}

TEST_F(AgentProcessTest, AnotherProcessFollowsTheBoardAndStopsTheJobOnce) {
  pid_t agent = start_agent({"background", "progress"});
  ASSERT_TRUE(wait_for_text(agent, dir_.file("progress.log"), "waiting for a stop request"));
  Output status = ctl("status");
  EXPECT_EQ(status.status, 0);
  EXPECT_EQ(status.text,
            "Schedule:     Stub schedule\n"
            "Status:       Backing up...\n"
            "Current item: C:\\data\\c.txt (250 of 500 bytes)\n"
            "Items:        1 backed up, 0 current, 1 failed\n"
            "Bytes:        500 of 1000 (50%)\n");
  Output stop = ctl("stop");
  EXPECT_EQ(stop.status, 0) << stop.text;
  EXPECT_EQ(wait_agent(agent), 0);
  EXPECT_TRUE(log_has(dir_.file("progress.log"),
                      "Test job: stop request seen; later polls answering stop: 0\r\n"));

  Output after = ctl("status");
  EXPECT_EQ(after.status, 1);
  EXPECT_NE(after.text.find("no agent is running"), std::string::npos) << after.text;
  EXPECT_EQ(ctl("stop").status, 1);
  Output post = ctl("post 'C:\\x.kbs'");
  EXPECT_EQ(post.status, 1);
  EXPECT_NE(post.text.find("no agent is listening"), std::string::npos) << post.text;
}

TEST_F(AgentProcessTest, WatchRedrawsUntilComplete) {
  pid_t agent = start_agent({"background", "progress"});
  ASSERT_TRUE(wait_for_text(agent, dir_.file("progress.log"), "waiting for a stop request"));
  std::string command =
      "cd '" + dir_.path() + "' && " + engine_test::agent_ctl_shell() + " status --watch 2>&1";
  FILE* watch = popen(command.c_str(), "r");
  ASSERT_NE(watch, nullptr);
  char line[512];
  ASSERT_NE(fgets(line, sizeof line, watch), nullptr);
  EXPECT_TRUE(std::regex_search(line, std::regex(R"(^\[#{15}\.{15}\]  50%  Backing up\.\.\.  )")))
      << line;
  EXPECT_EQ(ctl("stop").status, 0);
  std::string rest;
  while (fgets(line, sizeof line, watch) != nullptr) rest += line;
  rest = engine_test::lf_lines(rest);  // the Windows varno-ctl's text mode
  int status = pclose(watch);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << rest;
  EXPECT_NE(rest.find("Status:       Complete\n"), std::string::npos) << rest;
  EXPECT_NE(rest.find("Current item: (none)\n"), std::string::npos) << rest;
  EXPECT_EQ(wait_agent(agent), 0);
}

TEST_F(AgentProcessTest, SecondAgentLeavesTheFirstOneAlone) {
  SKIP_AGAINST_WINDOWS_AGENT("the second agent's error code is the POSIX EADDRINUSE");
  pid_t first = start_agent({"background", "gateC"});
  ASSERT_TRUE(wait_for_text(first, dir_.file("gateC.log"), "waiting for"));
  make_dirs(dir_.file("second"));
  pid_t second = fork();
  if (second == 0) {
    if (chdir(dir_.file("second").c_str()) != 0) _exit(127);
    execl(kAgent.c_str(), kAgent.c_str(), "background", static_cast<char*>(nullptr));
    _exit(127);
  }
  running_.push_back(second);
  EXPECT_EQ(wait_agent(second), 0);
  std::vector<std::string> got = messages(read_file(dir_.file("second/agent.log")));
  ASSERT_GE(got.size(), 2u);
  EXPECT_EQ(got[got.size() - 2], "ipc_rx_setup(" + mailslot_name() + ") failed with error code: " +
                                     std::to_string(EADDRINUSE) + ".");
  EXPECT_EQ(got.back(), "Backup thread exited abnormally.");
  EXPECT_TRUE(board_exists()) << "the first agent still holds the board";
  EXPECT_EQ(ctl("status").status, 0);
  EXPECT_EQ(ctl("post A").status, 0);
  write_file(dir_.file("gateC.go"), "");
  EXPECT_EQ(wait_agent(first), 0);
  EXPECT_TRUE(file_exists(dir_.file("A.log")));
  EXPECT_FALSE(board_exists());
}

TEST_F(AgentProcessTest, ObjectsOfAKilledAgentDoNotStopTheNextOne) {
  SKIP_AGAINST_WINDOWS_AGENT("Wine removes a killed program's objects, so none are left behind");
  pid_t killed = start_agent({"background", "gateC"});
  ASSERT_TRUE(wait_for_text(killed, dir_.file("gateC.log"), "waiting for"));
  kill(killed, SIGKILL);
  EXPECT_EQ(wait_agent(killed), 128 + SIGKILL);
  ASSERT_TRUE(board_exists()) << "a killed agent cannot clean up";
  Output status = ctl("status");
  EXPECT_EQ(status.status, 1);
  EXPECT_NE(status.text.find("left behind"), std::string::npos) << status.text;
  EXPECT_EQ(ctl("stop").status, 0);  // a stop into the stale event...

  pid_t next = start_agent({"background", "progress"});
  ASSERT_TRUE(wait_for_text(next, dir_.file("progress.log"), "waiting for a stop request"));
  EXPECT_EQ(ctl("status").status, 0) << "...is not seen by the next agent";
  EXPECT_EQ(ctl("stop").status, 0);
  EXPECT_EQ(wait_agent(next), 0);
  EXPECT_FALSE(board_exists());
}

TEST_F(AgentProcessTest, CtlUsageErrors) {
  for (const char* args :
       {"post", "post a b", "post ''", "status --bogus", "status a b", "stop x"}) {
    Output out = ctl(args);
    EXPECT_EQ(out.status, 2) << args;
    EXPECT_EQ(out.text.rfind("usage: varno-ctl ", 0), 0u) << args << ": " << out.text;
  }
  Output too_long = ctl("post " + std::string(1024, 'p'));
  EXPECT_EQ(too_long.status, 1);
  EXPECT_NE(too_long.text.find("too long"), std::string::npos);
}

}  // namespace
