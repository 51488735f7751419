// varno-ctl run: what the desktop client does to run a job. The job goes to the running
// agent's mailslot, or, when no agent listens, a new agent is started for it in this
// working folder. With --wait the job is followed to its end through agent.log (which says
// when the job began and ended); how it ended, with the report's counts, is read from the
// job's outcome file, which the agent writes for that purpose.
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "agent/runtime/ipc_names.h"
#include "agent/schedule/outcome.h"
#include "platform/env.h"
#include "platform/error.h"
#include "platform/launch.h"
#include "platform/mailslot.h"
#include "platform/system.h"
#include "tools/varno-ctl/board.h"
#include "tools/varno-ctl/ctl.h"

namespace {

constexpr size_t kMaxMessage = 1024;  // path + NUL, as the agent reads it
constexpr uint32_t kPostTimeoutMs = 5000;
constexpr uint32_t kPollMs = 250;
constexpr int kMaxDeliveries = 5;
constexpr uint32_t kAgentExitWaitMs = 60000;
constexpr size_t kStampLength = 24;  // "YYYY-MM-DD hh:mm:ss.mmmm"

// SIGTERM (a service being stopped) asks the job to stop instead of leaving it half done.
volatile sig_atomic_t g_terminate = 0;
void on_terminate(int) {
  g_terminate = 1;
}

int usage() {
  fprintf(stderr, "usage: varno-ctl run [--wait] [--agent PATH] SCHEDULE\n");
  return CTL_USAGE;
}

bool executable(const std::string& path) {
  std::error_code ec;
  auto status = std::filesystem::status(path, ec);
  return !path.empty() && !ec && std::filesystem::is_regular_file(status) &&
         (status.permissions() &
          (std::filesystem::perms::owner_exec | std::filesystem::perms::group_exec |
           std::filesystem::perms::others_exec)) != std::filesystem::perms::none;
}

// The agent installed beside this program, or the build tree's, or the one on the path.
std::string find_agent(const std::string& given) {
  if (!given.empty()) return given;
  const std::string name = std::string("varno-backup") + plat_program_suffix();
  std::string dir = plat_program_dir();
  if (!dir.empty()) {
    if (executable(dir + "/" + name)) return dir + "/" + name;
    if (executable(dir + "/../agent/" + name)) return dir + "/../agent/" + name;
  }
  const char* path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(plat_search_path_separator(), start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (end > start && executable(candidate)) return candidate;
    start = end + 1;
  }
  return "";
}

// The messages of a log file, one per line, without their time prefixes.
std::vector<std::string> log_messages(const std::string& windows_path) {
  std::vector<std::string> out;
  FILE* f = plat_env()->open_stream(windows_path, "rb");
  if (f == nullptr) return out;
  std::string text;
  char chunk[8192];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
  fclose(f);
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) break;  // a line still being written
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() < kStampLength + 2 || line.compare(kStampLength, 2, "] ") != 0) continue;
    out.push_back(line);
  }
  return out;
}

std::string message_of(const std::string& line) {
  return line.substr(kStampLength + 2);
}

// Where agent.log stood when a job was delivered. An agent rewrites the log when it starts
// (a new first line); otherwise only the lines after the mark are new. Positions, not
// times: the clock may be set back (daylight saving time) during a nightly job.
struct LogMark {
  std::string first;
  size_t count = 0;

  static LogMark now() {
    std::vector<std::string> lines = log_messages("agent.log");
    return {lines.empty() ? "" : lines[0], lines.size()};
  }
  std::vector<std::string> since() const {
    std::vector<std::string> lines = log_messages("agent.log");
    size_t skip = !lines.empty() && lines[0] == first ? count : 0;
    std::vector<std::string> out;
    for (size_t i = std::min(skip, lines.size()); i < lines.size(); ++i)
      out.push_back(message_of(lines[i]));
    return out;
  }
};

bool agent_running() {
  BoardReader reader;
  return reader.open(true) == 0;
}

struct Run {
  std::string schedule;
  std::string agent;
  bool wait = false;
  ChildProcess child;  // the agent this run started, if any
  bool started = false;
  LogMark mark;  // agent.log when the job was last delivered

  // 0 when the job was posted or an agent was started for it.
  int deliver() {
    mark = LogMark::now();
    // The last job's outcome must not pass for this one's, should the agent fail to write.
    (void)plat_env()->delete_file(outcome_path(schedule.c_str()));
    std::string name = ipc_object_name(JOB_MAILSLOT_NAME);
    if (plat_mailslot_send(name.c_str(), schedule.c_str(), schedule.size() + 1, kPostTimeoutMs) ==
        0) {
      printf("Posted '%s' to the running agent\n", schedule.c_str());
      fflush(stdout);
      return 0;
    }
    if (errno == EACCES) {
      fprintf(stderr, "varno-ctl: %s\n", kOtherUsersAgent);
      return -1;
    }
    if (errno != ECONNREFUSED && errno != ENOENT) {
      fprintf(stderr, "varno-ctl: cannot post to the job mailslot: %s\n",
              plat_error_message(errno));
      return -1;
    }
    if (!executable(agent)) {
      fprintf(stderr, "varno-ctl: no agent is running and %s (use --agent PATH)\n",
              agent.empty() ? "varno-backup cannot be found"
                            : ("'" + agent + "' cannot be run").c_str());
      return -1;
    }
    // Its own process group, so a Ctrl-C of this command does not stop the job.
    std::string line = plat_program_command_line(agent, {"background", schedule}, !wait);
    if (plat_env()->process_start(line.c_str(), &child) != 0) {
      fprintf(stderr, "varno-ctl: cannot start '%s': %s\n", agent.c_str(),
              plat_error_message(errno));
      return -1;
    }
    started = true;
    printf("Started the agent for '%s'\n", schedule.c_str());
    fflush(stdout);
    return 0;
  }

  bool child_running() {
    if (!started || !child.valid()) return false;
    return plat_env()->process_wait(child, 0) == PLAT_WAIT_TIMEOUT;
  }

  int follow();
  int outcome();
};

// What `run --wait` has seen of its job so far.
struct Follower {
  std::string begin_a, begin_b, end_a, end_b;  // the agent log's lines for this job
  bool terminal = false;
  bool begun = false;
  bool done = false;
  bool stop_sent = false;
  std::string last_status;
  BoardReader board;
  bool board_open = false;

  explicit Follower(const std::string& schedule)
      : begin_a("procjob('" + schedule + "') begin"),
        begin_b("initial " + begin_a),
        end_a("procjob('" + schedule + "') complete"),
        end_b("initial " + end_a),
        terminal(isatty(STDOUT_FILENO) != 0) {}

  void scan(const LogMark& mark) {
    for (const std::string& m : mark.since()) {
      if (m == begin_a || m == begin_b) begun = true;
      if (m == end_a || m == end_b) done = true;
    }
  }

  // A service stop (SIGTERM) becomes one stop request for the running job.
  void pass_on_stop() {
    if (!begun || g_terminate == 0 || stop_sent) return;
    char word[] = "stop";
    char* stop_argv[] = {word, nullptr};
    stop_sent = true;
    (void)ctl_stop(1, stop_argv);
  }

  void show_progress() {
    if (!begun) return;
    if (!board_open) board_open = board.open(true) == 0;
    if (!board_open) return;
    ProgressBoard b = board.read();
    std::string status = board_field(b.status, sizeof b.status);
    if (terminal) {
      board_draw_bar(b, true);
    } else if (status != last_status) {
      printf("Status: %s\n", status.c_str());
      fflush(stdout);
    }
    last_status = status;
  }
};

// Waits for the job to begin and end, delivering it again when the agent it went to ended
// without taking it (it was about to exit, another agent held the mailslot, or it skipped
// the path as the job it had just run).
int Run::follow() {
  Follower f(schedule);
  int deliveries = 1;
  std::signal(SIGTERM, on_terminate);
  for (;;) {
    f.scan(mark);
    if (f.done) break;
    f.pass_on_stop();
    f.show_progress();
    if (!child_running() && !agent_running()) {
      f.scan(mark);  // the line may have been written just before the agent ended
      if (f.done) break;
      if (f.begun) {
        if (f.terminal) printf("\n");
        fprintf(stderr,
                "varno-ctl: the agent ended before the job did; see agent.log and '%s.log'\n",
                schedule.c_str());
        return CTL_FAILED;
      }
      if (deliveries >= kMaxDeliveries) {
        fprintf(stderr, "varno-ctl: the job was not taken after %d attempts; see agent.log\n",
                deliveries);
        return CTL_FAILED;
      }
      ++deliveries;
      if (deliver() != 0) return CTL_FAILED;
    }
    plat_env()->sleep_ms(kPollMs);
  }
  if (f.terminal && f.board_open) printf("\n");
  return outcome();
}

std::string counts_text(const OutcomeRecord& r) {
  char text[200];
  snprintf(text, sizeof text,
           "%" PRIu64 " sent, %" PRIu64 " up to date, %" PRIu64 " failed, %" PRIu64 " deleted",
           r.sent, r.up_to_date, r.failed, r.deleted);
  return text;
}

std::string read_outcome_file(const std::string& windows_path) {
  FILE* f = plat_env()->open_stream(windows_path, "rb");
  if (f == nullptr) return "";
  std::string text;
  char chunk[4096];
  size_t n;
  while (text.size() < 65536 && (n = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
  fclose(f);
  return text;
}

int Run::outcome() {
  if (started) (void)plat_env()->process_wait(child, kAgentExitWaitMs);
  const char* job = schedule.c_str();
  const std::string path = outcome_path(job);
  OutcomeRecord r;
  if (!outcome_parse(read_outcome_file(path), &r) || r.state == "running") {
    fprintf(stderr,
            "varno-ctl: job '%s' ended without saying how: '%s' %s (see agent.log and '%s.log')\n",
            job, path.c_str(),
            r.state == "running" ? "was not updated" : "is missing or unreadable", job);
    return CTL_FAILED;
  }
  if (!r.log_error.empty()) {
    fprintf(stderr, "varno-ctl: the job log '%s.log' is incomplete: %s\n", job,
            r.log_error.c_str());
  }
  if (r.state == "stopped") {
    printf("Job '%s' stopped on request: %s (see '%s.log')\n", job, counts_text(r).c_str(), job);
    return CTL_STOPPED;
  }
  if (r.state != "complete") {
    fprintf(stderr, "varno-ctl: job '%s' failed: %s (see '%s.log')\n", job,
            r.reason.empty() ? "no reason was given" : r.reason.c_str(), job);
    return CTL_FAILED;
  }
  if (r.failed == 0 && r.reason.empty() && r.log_error.empty()) {
    printf("Job '%s' complete: %s (see '%s.log')\n", job, counts_text(r).c_str(), job);
    return CTL_OK;
  }
  printf("Job '%s' completed with failures: %s (see '%s.log')\n", job, counts_text(r).c_str(), job);
  if (!r.reason.empty()) fprintf(stderr, "varno-ctl: job '%s': %s\n", job, r.reason.c_str());
  return CTL_PARTIAL;
}

}  // namespace

int ctl_run(int argc, char** argv) {
  Run run;
  std::string agent;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--wait") == 0) {
      run.wait = true;
    } else if (strcmp(argv[i], "--agent") == 0 && i + 1 < argc) {
      agent = argv[++i];
    } else if (argv[i][0] == '-' || !run.schedule.empty()) {
      return usage();
    } else {
      run.schedule = argv[i];
    }
  }
  if (run.schedule.empty()) return usage();
  if (run.schedule.size() + 1 > kMaxMessage) {
    fprintf(stderr, "varno-ctl: schedule path too long (at most %zu bytes)\n", kMaxMessage - 1);
    return CTL_FAILED;
  }
  PlatFileStatus st{};
  if (plat_env()->file_status(run.schedule, &st) != 0 || !st.is_regular) {
    fprintf(stderr, "varno-ctl: no schedule file '%s' in this working folder\n",
            run.schedule.c_str());
    return CTL_FAILED;
  }
  if (plat_env()->file_status("etc/hosts", &st) != 0) {
    fprintf(stderr,
            "varno-ctl: no etc/hosts here: run varno-ctl in the agent's working folder "
            "(the folder that holds etc/)\n");
    return CTL_FAILED;
  }
  run.agent = find_agent(agent);
  if (run.deliver() != 0) return CTL_FAILED;
  if (!run.wait) return CTL_OK;
  return run.follow();
}
