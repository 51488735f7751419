#include "tests/support/engine_world.h"

#include <fcntl.h>
#include <grp.h>
#include <openssl/rand.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "agent/runtime/ipc_names.h"
#include "platform/env.h"
#include "platform/named_object.h"

namespace fs = std::filesystem;
using testing_support::read_file;
using testing_support::write_file;

namespace engine_test {

namespace {

const std::string kBuild = VARNO_BUILD_DIR;
const std::string kAgent = kBuild + "/agent/varno-backup";
const std::string kCtl = kBuild + "/tools/varno-ctl";
const std::string kServer = kBuild + "/tools/kfs-devserver/kfs-devserver";
constexpr uint64_t kPatienceMs = 90000;  // only a hang reaches it

std::string shell_quoted(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string wine_prefix() {
  const char* prefix = getenv("WINEPREFIX");
  return prefix != nullptr && *prefix != '\0' ? prefix : windows_build() + "/wine";
}

// The agent's command line, behind the words of VARNO_TEST_AGENT_WRAPPER when that is set
// (`make soak` runs a backup under valgrind so; against the Windows agent it is Wine's).
std::vector<std::string> agent_command(const std::string& program) {
  if (!windows_build().empty()) {
    std::string exe =
        windows_build() + "/" + (program.empty() ? "agent/varno-backup" : program) + ".exe";
    std::vector<std::string> words = wine_command(exe);
    words.insert(words.end(), {"background", kSchedule});
    return words;
  }
  std::vector<std::string> words;
  if (const char* wrapper = getenv("VARNO_TEST_AGENT_WRAPPER")) {
    std::istringstream in(wrapper);
    for (std::string word; in >> word;) words.push_back(word);
  }
  words.insert(words.end(),
               {program.empty() ? kAgent : kBuild + "/" + program, "background", kSchedule});
  return words;
}

// The commands of varno-ctl that reach the running agent's named objects.
bool reaches_agent(const std::string& args) {
  std::string first = args.substr(0, args.find(' '));
  return first == "post" || first == "run" || first == "status" || first == "stop";
}

// A JSON string's value from `text` at `at` (just past its opening quote); the bytes
// varno-ctl writes as they are stay so, escapes are undone.
std::string json_string(const std::string& text, size_t at) {
  std::string out;
  while (at < text.size() && text[at] != '"') {
    char c = text[at++];
    if (c != '\\' || at >= text.size()) {
      out += c;
      continue;
    }
    char e = text[at++];
    switch (e) {
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'u': {
        unsigned code =
            at + 4 <= text.size()
                ? static_cast<unsigned>(strtoul(text.substr(at, 4).c_str(), nullptr, 16))
                : 0;
        at += 4;
        if (code < 0x100) {  // below U+0100: the byte itself (bytes that are not UTF-8)
          out += static_cast<char>(code);
        } else if (code < 0x800) {
          out += static_cast<char>(0xC0 | (code >> 6));
          out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
          out += static_cast<char>(0xE0 | (code >> 12));
          out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
          out += static_cast<char>(0x80 | (code & 0x3F));
        }
        break;
      }
      default:
        out += e;
    }
  }
  return out;
}

void copy_field(char* field, size_t size, const std::string& value) {
  memset(field, 0, size);
  memcpy(field, value.data(), std::min(size, value.size()));
}

// One line of `varno-ctl status --json` as the board it shows; false for any other line.
bool board_from_json(const std::string& line, ProgressBoard* board) {
  if (line.rfind("{\"running\":true,", 0) != 0) return false;
  auto text = [&](const std::string& key) {
    size_t at = line.find("\"" + key + "\":\"");
    return at == std::string::npos ? std::string() : json_string(line, at + key.size() + 4);
  };
  auto number = [&](const std::string& key) -> uint64_t {
    size_t at = line.find("\"" + key + "\":");
    return at == std::string::npos ? 0 : strtoull(line.c_str() + at + key.size() + 3, nullptr, 10);
  };
  ProgressBoard b{};
  copy_field(b.status, sizeof b.status, text("status"));
  copy_field(b.schedule_name, sizeof b.schedule_name, text("schedule"));
  copy_field(b.current_item, sizeof b.current_item, text("current_item"));
  b.item_size = number("item_size");
  b.item_done = number("item_done");
  b.items_backed_up = number("backed_up");
  b.items_current = number("current");
  b.items_failed = number("failed");
  b.total_bytes = number("total");
  b.done_bytes = number("done");
  *board = b;
  return true;
}

// The Windows agent's board followed into a file by the Windows build's board-follow
// (varno-ctl's JSON of the board at each change), started with the agent: it waits for the
// board, and its handle keeps the board alive after the agent ends, so its last line is the
// board as the agent left it.
class BoardWatch {
 public:
  BoardWatch(const std::string& dir, std::string file) : file_(std::move(file)) {
    std::vector<std::string> words =
        wine_command(windows_build() + "/tests/process/board-follow.exe");
    words.push_back(std::to_string(kPatienceMs));
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      int out = open(file_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      int null = open("/dev/null", O_RDWR);
      if (chdir(dir.c_str()) != 0 || out < 0 || null < 0) _exit(127);
      dup2(out, 1);
      dup2(null, 2);
      dup2(null, 0);
      execvp(argv[0], argv.data());
      _exit(127);
    }
  }
  ~BoardWatch() { finish(); }

  void poll() { read(); }

  // Once the agent has ended: the follower's last lines, then its end. A Windows board
  // does not tell its reader that its maker has gone, so the follower is ended once it has
  // been quiet for a while.
  void finish() {
    uint64_t start = plat_env()->tick_ms();
    uint64_t quiet_since = start;
    size_t size = testing_support::read_file(file_).size();
    while (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) != pid_) {
      uint64_t now = plat_env()->tick_ms();
      size_t grown = testing_support::read_file(file_).size();
      if (grown != size) {
        size = grown;
        quiet_since = now;
      }
      if (now - quiet_since > 500 || now - start > 5000) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        break;
      }
      plat_env()->sleep_ms(10);
    }
    pid_ = -1;
    read();
  }

  const ProgressBoard* board() const { return seen_ ? &board_ : nullptr; }

 private:
  void read() {
    std::string all = testing_support::read_file(file_);
    size_t end;
    while ((end = all.find('\n', parsed_)) != std::string::npos) {
      std::string line = all.substr(parsed_, end - parsed_);
      parsed_ = end + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (board_from_json(line, &board_)) seen_ = true;
    }
  }

  std::string file_;
  pid_t pid_ = -1;
  size_t parsed_ = 0;
  ProgressBoard board_{};
  bool seen_ = false;
};

// The agent started in `dir` (as `user` when that is not -1), its stderr in agent.stderr.
pid_t spawn_agent(const std::string& dir, int user, const std::string& program) {
  std::vector<std::string> words = agent_command(program);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir.c_str()) != 0) _exit(127);
    if (user >= 0 && (setgroups(0, nullptr) != 0 || setgid(user) != 0 || setuid(user) != 0))
      _exit(127);
    if (freopen("agent.stderr", "a", stderr) == nullptr) _exit(127);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

}  // namespace

const std::string& windows_build() {
  static const std::string build = [] {
    const char* given = getenv("VARNO_TEST_WINDOWS_BUILD");
    return given != nullptr ? std::string(given) : std::string();
  }();
  return build;
}

std::vector<std::string> wine_command(const std::string& program) {
  const char* wine = getenv("VARNO_TEST_WINE");
  return {wine != nullptr && *wine != '\0' ? wine : "/usr/lib/wine/wine64", program};
}

std::string random_bytes(size_t n) {
  std::string out(n, '\0');
  if (n > 0) RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(n));
  return out;
}

std::vector<std::string> JobRun::messages() const {
  static const std::regex kLine(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{4}\] (.*)$)");
  std::vector<std::string> out;
  std::istringstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();  // the logs are text files
    std::smatch m;
    if (std::regex_match(line, m, kLine)) {
      out.push_back(m[1]);
    } else {
      out.push_back(line);  // the rest of a message that held a line feed
    }
  }
  return out;
}

bool JobRun::logged(const std::string& message) const {
  return position(message) >= 0;
}

int JobRun::position(const std::string& message) const {
  std::vector<std::string> all = messages();
  auto it = std::find(all.begin(), all.end(), message);
  return it == all.end() ? -1 : static_cast<int>(it - all.begin());
}

int JobRun::count_logged(const std::string& prefix) const {
  int n = 0;
  for (const std::string& m : messages()) n += m.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

std::string JobRun::requests() const {
  static const std::regex kConn(R"(^conn \d+ )");
  std::string out;
  std::istringstream in(server);
  std::string line;
  while (std::getline(in, line)) out += std::regex_replace(line, kConn, "") + "\n";
  return out;
}

int JobRun::count_server(const std::string& text) const {
  int n = 0;
  std::istringstream in(server);
  std::string line;
  while (std::getline(in, line)) n += line.find(text) != std::string::npos ? 1 : 0;
  return n;
}

void EngineWorld::SetUp() {
  static int serial = 0;
  namespace_ = ".e" + std::to_string(getpid()) + "." + std::to_string(++serial);
  setenv("VARNO_IPC_NAMESPACE", namespace_.c_str(), 1);
  setenv("VARNO_IDLE_MS", "1", 1);
  setenv("VARNO_RECONNECT_WAIT_MS", "1", 1);
  setenv("VARNO_LOCK_WAIT_MS", "1", 1);
  unsetenv("VARNO_WATCHDOG_MS");
  unsetenv("VARNO_COMMAND_LIMIT_MS");
  key_bytes = random_bytes(32);
  static const char kHex[] = "0123456789abcdef";
  key_hex.clear();
  for (unsigned char c : key_bytes) {
    key_hex += kHex[c >> 4];
    key_hex += kHex[c & 15];
  }
  fs::create_directories(dir() + "/etc");
  fs::create_directories(dir() + "/store");
  fs::create_directories(data());
  for (const auto& e : fs::directory_iterator(std::string(VARNO_SOURCE_DIR) + "/etc")) {
    if (e.path().extension() == ".emt")
      fs::copy_file(e.path(), dir() + "/etc/" + e.path().filename().string());
  }
  write_file(dir() + "/etc/drives", "D:=" + data() + "\n");
  if (!windows_build().empty()) {
    // One prefix, one D:: tests that run side by side take turns.
    std::string devices = wine_prefix() + "/dosdevices";
    drive_lock_ =
        open((devices + "/.varno-process-tests").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(drive_lock_, 0) << devices << ": " << strerror(errno);
    ASSERT_EQ(flock(drive_lock_, LOCK_EX), 0);
    std::error_code ec;
    fs::remove(devices + "/d:", ec);
    fs::create_directory_symlink(data(), devices + "/d:", ec);
    ASSERT_FALSE(ec) << ec.message();
  }
}

void EngineWorld::TearDown() {
  server.reset();
  (void)SharedMemory::unlink(ipc_object_name(PROGRESS_BOARD_NAME).c_str());
  (void)NamedEvent::unlink(ipc_object_name(TERMINATE_EVENT_NAME).c_str());
  NameGuard(ipc_object_name(PROGRESS_BOARD_NAME).c_str()).remove();
  if (drive_lock_ >= 0) {
    close(drive_lock_);  // the link stays until the next test sets its own
    drive_lock_ = -1;
  }
}

std::string EngineWorld::data(const std::string& relative) const {
  return dir() + "/data" + (relative.empty() ? "" : "/" + relative);
}

void EngineWorld::write_data(const std::string& relative, const std::string& bytes) {
  write_file(data(relative), bytes);
}

void EngineWorld::start_server(std::vector<std::string> flags) {
  if (std::find(flags.begin(), flags.end(), "--block-size") == flags.end()) {
    flags.insert(flags.begin(), {"--block-size", "16"});
  }
  flags.push_back("--verbose");
  server = std::make_unique<kfs_test::DevServer>(dir() + "/store", flags);
  ASSERT_NE(server->port(), 0);
  write_file(dir() + "/etc/hosts", "127.0.0.1:" + std::to_string(server->port()) + "\n");
  server_seen_ = 0;
}

void EngineWorld::stop_server() {
  server.reset();
}

void EngineWorld::write_schedule(const std::string& lines) {
  std::string text = "# Varno Backup Schedule\nUserId=1001\nAccountId=1\nSchedule=1\n";
  if (lines.find("Dest=") == std::string::npos) text += "Dest=/1\n";
  text += "name=Process test\nenabled=1\nacckey=" + key_hex + "\nhtml=0\n";
  text += "schedule_email=owner@example.invalid\n";
  text += lines;
  std::string plain = dir() + "/schedule.txt";
  write_file(plain, text);
  // --force: tests write schedules the agent must refuse or whose sources are missing.
  ASSERT_EQ(ctl("kbs encrypt --force schedule.txt " + std::string(kSchedule)), 0);
  fs::remove(plain);
}

bool EngineWorld::agent_ended(pid_t pid, int* status, uint64_t give_up, uint64_t* next_drain) {
  if (waitpid(pid, status, WNOHANG) == pid) return true;
  if (plat_env()->tick_ms() > give_up) {
    kill(pid, SIGKILL);
    waitpid(pid, status, 0);
    ADD_FAILURE() << "the agent did not end";
    return true;
  }
  // A server that cannot write its lines would stall the run.
  if (server && plat_env()->tick_ms() > *next_drain) {
    server->output(0);
    *next_drain = plat_env()->tick_ms() + 500;
  }
  return false;
}

JobRun EngineWorld::run(const std::function<void(const ProgressBoard*)>& while_running) {
  if (!windows_build().empty()) return run_windows(while_running);
  JobRun result;
  pid_t pid = spawn_agent(dir(), run_as_user, agent_program);
  EXPECT_GT(pid, 0);
  if (pid <= 0) return result;
  running_agent = pid;

  SharedMemory memory;
  SharedView view;
  int status = 0;
  bool ended = false;
  uint64_t give_up = plat_env()->tick_ms() + kPatienceMs;
  uint64_t next_drain = plat_env()->tick_ms() + 500;
  while (!ended) {
    if (!view.valid() && memory.open_existing(ipc_object_name(PROGRESS_BOARD_NAME).c_str(),
                                              PROGRESS_BOARD_SIZE, true) == 0) {
      if (memory.map(&view) != 0) view.reset();
    }
    if (while_running) {
      ProgressBoard live;
      if (view.valid()) memcpy(&live, view.data(), sizeof live);
      while_running(view.valid() ? &live : nullptr);
    }
    ended = agent_ended(pid, &status, give_up, &next_drain);
    if (ended) break;
    plat_env()->sleep_ms(2);
  }
  running_agent = -1;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (view.valid()) {
    memcpy(&result.board, view.data(), sizeof result.board);
    result.board_seen = true;
  }
  collect(&result);
  return result;
}

void EngineWorld::collect(JobRun* result) {
  result->log = read_file(dir() + "/" + kSchedule + ".log");
  result->agent_log = read_file(dir() + "/agent.log");
  if (server) {
    std::string all = server->output();
    result->server = all.substr(std::min(server_seen_, all.size()));
    server_seen_ = all.size();
  }
}

JobRun EngineWorld::run_windows(const std::function<void(const ProgressBoard*)>& while_running) {
  static int serial = 0;
  JobRun result;
  // The follower first: it is waiting when the agent makes its board.
  BoardWatch watch(dir(), side_.path() + "/board" + std::to_string(++serial) + ".jsonl");
  pid_t pid = spawn_agent(dir(), run_as_user, agent_program);
  EXPECT_GT(pid, 0);
  if (pid <= 0) return result;
  running_agent = pid;
  int status = 0;
  uint64_t give_up = plat_env()->tick_ms() + kPatienceMs;
  uint64_t next_drain = plat_env()->tick_ms() + 500;
  for (;;) {
    watch.poll();
    if (while_running) {
      ProgressBoard live{};
      if (watch.board() != nullptr) live = *watch.board();
      while_running(watch.board() != nullptr ? &live : nullptr);
    }
    if (agent_ended(pid, &status, give_up, &next_drain)) break;
    plat_env()->sleep_ms(5);
  }
  running_agent = -1;
  watch.finish();
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (watch.board() != nullptr) {
    result.board = *watch.board();
    result.board_seen = true;
  }
  collect(&result);
  return result;
}

std::string EngineWorld::restore(uint32_t user) {
  static int serial = 0;
  std::string to = dir() + "/restored" + std::to_string(++serial);
  std::string command = shell_quoted(kServer) + " restore --store " +
                        shell_quoted(dir() + "/store") + " --dest " + std::to_string(user) +
                        " --account-key " + key_hex + " --to " + shell_quoted(to) +
                        " > /dev/null 2>&1";
  int rc = system(command.c_str());
  if (rc != 0) {
    ADD_FAILURE() << "restore failed: " << rc;
    return "";
  }
  return to;
}

std::map<std::string, std::string> EngineWorld::regular_files(const std::string& root) {
  std::map<std::string, std::string> out;
  std::error_code ec;
  if (!fs::is_directory(root, ec)) return out;
  for (auto it = fs::recursive_directory_iterator(root, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_symlink(ec) || !it->is_regular_file(ec)) continue;
    out[fs::relative(it->path(), root).string()] = read_file(it->path().string());
  }
  return out;
}

int EngineWorld::ctl(const std::string& args, std::string* output) {
  bool windows = !windows_build().empty() && reaches_agent(args);
  std::string program = windows ? ctl_shell() : shell_quoted(kCtl);
  std::string command = "cd " + shell_quoted(dir()) + " && " + program + " " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char chunk[4096];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) text.append(chunk, n);
  int status = pclose(pipe);
  if (windows) text = lf_lines(text);  // the Windows program's text mode
  if (output != nullptr) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string EngineWorld::agent_shell(const std::string& program) {
  if (windows_build().empty())
    return shell_quoted(program.empty() ? kAgent : kBuild + "/" + program);
  std::vector<std::string> words = agent_command(program);
  words.resize(words.size() - 2);  // without "background" and the schedule
  std::string out;
  for (const std::string& w : words) out += (out.empty() ? "" : " ") + shell_quoted(w);
  return out;
}

std::string EngineWorld::ctl_shell() {
  return agent_ctl_shell();
}

std::string lf_lines(const std::string& text) {
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) plain += text[i];
  }
  return plain;
}

std::string agent_ctl_shell() {
  if (windows_build().empty()) return shell_quoted(kCtl);
  std::string out;
  for (const std::string& w : wine_command(windows_build() + "/tools/varno-ctl.exe"))
    out += (out.empty() ? "" : " ") + shell_quoted(w);
  return out;
}

std::string EngineWorld::queued_report() {
  std::string queue = std::string(kSchedule) + ".eml";
  if (!testing_support::file_exists(dir() + "/" + queue)) return "";
  std::string text;
  EXPECT_EQ(ctl("queue show " + queue, &text), 0) << text;
  return text;
}

std::string EngineWorld::report() {
  std::vector<std::string> mails;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir() + "/store/mail", ec))
    mails.push_back(e.path().string());
  std::sort(mails.begin(), mails.end());
  for (const std::string& m : mails) {
    if (std::find(mails_seen_.begin(), mails_seen_.end(), m) == mails_seen_.end()) {
      mails_seen_.push_back(m);
      return read_file(m);
    }
  }
  return queued_report();
}

std::vector<std::string> EngineWorld::files_with_key() const {
  std::vector<std::string> out;
  const std::string needles[] = {lower(key_hex), upper(key_hex), key_bytes};
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir(), ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_symlink(ec) || !it->is_regular_file(ec)) continue;
    std::string bytes = read_file(it->path().string());
    for (const std::string& needle : needles) {
      if (bytes.find(needle) != std::string::npos) {
        out.push_back(it->path().string());
        break;
      }
    }
  }
  return out;
}

}  // namespace engine_test
