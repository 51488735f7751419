// A whole backup world for the engine's process tests: a working folder with its own
// etc/ (drive map, server address, report templates), a data folder mapped as D:, the real
// kfs-devserver on an ephemeral loopback port with a store folder, an encrypted schedule,
// and the real varno-backup and varno-ctl. Every run yields what the job left behind: the
// job log, agent.log, the server's request lines, and the last state of the progress board.
//
// With VARNO_TEST_WINDOWS_BUILD naming a Windows build folder, the agent is that build's
// varno-backup.exe (or the faulty agent's .exe) under Wine, D: is the data folder through
// the Wine prefix's dosdevices link, and whatever talks to the agent's named objects is
// varno-ctl.exe under Wine: Wine's objects are not the Linux ones. The server, the restore
// and the file tools stay native.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent/runtime/progress.h"
#include "tests/support/kfs_peers.h"
#include "tests/support/test_support.h"

namespace engine_test {

// The schedule file's name: its last eight characters before the dot are the schedule id.
inline constexpr const char kSchedule[] = "job0000000a.kbs";

struct JobRun {
  int status = -1;        // exit status of the agent
  std::string log;        // the job log
  std::string agent_log;  // agent.log
  std::string server;     // the server's lines for this run (with --verbose)
  ProgressBoard board{};  // the board as the agent left it
  bool board_seen = false;

  // The job log's messages without their time prefixes, one per line.
  std::vector<std::string> messages() const;
  // True when some job log message equals `message` (without its line feed).
  bool logged(const std::string& message) const;
  // Job log messages that begin with `prefix`.
  int count_logged(const std::string& prefix) const;
  // The server's lines without their "conn N " prefixes.
  std::string requests() const;
  // Server lines that contain `text`.
  int count_server(const std::string& text) const;
  // The index of the first job log message equal to `message`, or -1.
  int position(const std::string& message) const;
};

class EngineWorld : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  const std::string& dir() const { return work_.path(); }
  // The local (POSIX) path of D:\<relative>, relative written with "/".
  std::string data(const std::string& relative = "") const;
  void write_data(const std::string& relative, const std::string& bytes);

  // Starts kfs-devserver with --verbose and the given flags (block size 16 unless given).
  void start_server(std::vector<std::string> flags = {});
  void stop_server();

  // Writes and encrypts the schedule: the required options (UserId 1001, Dest /1 unless
  // `lines` names Dest=, the test's account key, html=0, a recipient) and then `lines`.
  void write_schedule(const std::string& lines);

  // Runs the agent on the schedule until it ends (under the words of the environment's
  // VARNO_TEST_AGENT_WRAPPER, such as a valgrind command line, when that is set). `while_running`
  // is called every few milliseconds with the live board (null until the board exists).
  JobRun run(const std::function<void(const ProgressBoard*)>& while_running = nullptr);

  // Restores the destination `user` into a fresh folder; its path, or "" on failure.
  std::string restore(uint32_t user);
  // Every regular file below `root`, by path relative to it, with its bytes.
  static std::map<std::string, std::string> regular_files(const std::string& root);

  // `varno-ctl ARGS` run in the working folder: exit status and output. Against the Windows
  // agent, the commands that reach the agent (post, run, status, stop) are varno-ctl.exe's.
  int ctl(const std::string& args, std::string* output = nullptr);
  // For tests that start programs through the shell: the quoted words that run the agent
  // (or `program` of the build folder, as agent_program), and varno-ctl for the commands
  // that reach the agent; Wine's when the tests run against the Windows agent.
  static std::string agent_shell(const std::string& program = "");
  static std::string ctl_shell();

  // The report of the last run: the mail the server stored, or else the queued mail.
  std::string report();
  std::string queued_report();

  // Files of the working folder (store included) that hold the account key in clear,
  // as hexadecimal text in either case or as its 32 raw bytes.
  std::vector<std::string> files_with_key() const;

  // When set, run() starts the agent as this user and group (the test itself stays root).
  int run_as_user = -1;
  // When set, run() starts this program of the build folder in place of the shipped agent
  // ("tests/process/varno-backup-faulty").
  std::string agent_program;
  // The agent run() is waiting for, or -1: `while_running` may end it (SIGKILL) to play a
  // crash.
  pid_t running_agent = -1;

  std::string key_hex;    // 64 hexadecimal digits, random per test
  std::string key_bytes;  // the same 32 bytes
  std::unique_ptr<kfs_test::DevServer> server;

 private:
  JobRun run_windows(const std::function<void(const ProgressBoard*)>& while_running);
  void collect(JobRun* result);
  // One turn of waiting for the agent: true once it ended (*status set), killed when it
  // outlives `give_up`; drains the server's lines meanwhile.
  bool agent_ended(pid_t pid, int* status, uint64_t give_up, uint64_t* next_drain);

  testing_support::TempDir work_;
  testing_support::TempDir side_;  // the fixture's own files, out of the working folder
  int drive_lock_ = -1;            // held while this test owns the prefix's D:
  std::string namespace_;
  size_t server_seen_ = 0;
  std::vector<std::string> mails_seen_;
};

std::string random_bytes(size_t n);

// The Windows build folder when the tests run against the Windows agent, else "".
const std::string& windows_build();
// The command line that starts `program` (a Windows program path) under Wine.
std::vector<std::string> wine_command(const std::string& program);

// The quoted words that run varno-ctl for the commands that reach the agent.
std::string agent_ctl_shell();
// `text` with its CR LF line ends as LF (the Windows programs' text mode).
std::string lf_lines(const std::string& text);

// A test that cannot run against the Windows agent says why, on one line.
#define SKIP_AGAINST_WINDOWS_AGENT(reason)                               \
  do {                                                                   \
    if (!::engine_test::windows_build().empty())                         \
      GTEST_SKIP() << "not run against the Windows agent: " << (reason); \
  } while (0)

}  // namespace engine_test
