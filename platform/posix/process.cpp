#include "platform/posix/posix_env.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/retry.h"

extern char** environ;

namespace {

// Words the shell runs itself: they need no program on the search path.
constexpr const char* kShellWords[] = {
    ":",      ".",     "[",     "alias",  "break", "cd",   "command", "continue", "echo",
    "eval",   "exec",  "exit",  "export", "false", "for",  "if",      "printf",   "read",
    "return", "set",   "shift", "test",   "times", "trap", "true",    "type",     "ulimit",
    "umask",  "unset", "until", "wait",   "while", "case", "{",       "(",        "!",
};

std::string first_word(const char* line) {
  const char* p = line;
  while (*p == ' ' || *p == '\t') ++p;
  std::string word;
  if (*p == '"' || *p == '\'') {
    char quote = *p++;
    while (*p != '\0' && *p != quote) word.push_back(*p++);
    return word;
  }
  while (*p != '\0' && *p != ' ' && *p != '\t' && *p != ';' && *p != '&' && *p != '|' &&
         *p != '<' && *p != '>' && *p != '\n') {
    word.push_back(*p++);
  }
  return word;
}

bool executable(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// Whether the command's program exists; assignments and shell words always pass.
bool program_found(const char* line) {
  std::string word = first_word(line);
  if (word.empty() || word.find('=') != std::string::npos) return true;
  for (const char* w : kShellWords) {
    if (word == w) return true;
  }
  if (word.find('/') != std::string::npos) return executable(word);
  const char* path = getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = end > start ? dirs.substr(start, end - start) : std::string(".");
    candidate.push_back('/');
    candidate.append(word);
    if (executable(candidate)) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_), status_(other.status_), reaped_(other.reaped_) {
  other.pid_ = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    // What the destructor would do for the child given up.
    if (pid_ > 0 && !reaped_) {
      int status;
      (void)plat_retry_eintr([&] { return waitpid(pid_, &status, WNOHANG); });
    }
    pid_ = other.pid_;
    status_ = other.status_;
    reaped_ = other.reaped_;
    other.pid_ = -1;
  }
  return *this;
}

ChildProcess::~ChildProcess() {
  // Reap an ended child so it does not linger as a zombie; a running one is left alone.
  if (pid_ > 0 && !reaped_) {
    int status;
    (void)plat_retry_eintr([&] { return waitpid(pid_, &status, WNOHANG); });
  }
}

int posix_process_start(const char* command_line, ChildProcess* child) {
  if (command_line == nullptr || !program_found(command_line)) {
    errno = ENOENT;
    return -1;
  }
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t empty;
  sigemptyset(&empty);
  posix_spawnattr_setsigmask(&attr, &empty);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  char sh[] = "/bin/sh";
  char dash_c[] = "-c";
  std::string line = command_line;
  char* argv[] = {sh, dash_c, line.data(), nullptr};
  pid_t pid = -1;
  int rc = posix_spawn(&pid, "/bin/sh", nullptr, &attr, argv, environ);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    errno = rc;
    return -1;
  }
  *child = ChildProcess(pid);
  return 0;
}

PlatWaitResult posix_process_wait(Env* env, ChildProcess& child, uint32_t timeout_ms) {
  if (!child.valid()) {
    errno = ECHILD;
    return PLAT_WAIT_FAILED;
  }
  if (child.ended()) return PLAT_WAIT_ENDED;
  // Polled on the Env's clock, so a wrapped clock governs the time-out too.
  uint64_t deadline = env->tick_ms() + timeout_ms;
  for (;;) {
    int status = 0;
    pid_t r = plat_retry_eintr([&] { return waitpid(child.get(), &status, WNOHANG); });
    if (r == child.get()) {
      child.record_end(status);
      return PLAT_WAIT_ENDED;
    }
    if (r == -1) return PLAT_WAIT_FAILED;
    uint64_t now = env->tick_ms();
    if (now >= deadline) return PLAT_WAIT_TIMEOUT;
    env->sleep_ms(static_cast<uint32_t>(deadline - now < 10 ? deadline - now : 10));
  }
}

int posix_process_exit_code(const ChildProcess& child, uint32_t* code) {
  if (!child.valid() || !child.ended()) {
    errno = child.valid() ? EBUSY : ECHILD;
    return -1;
  }
  const int status = child.wait_status();
  if (WIFEXITED(status)) {
    *code = static_cast<uint32_t>(WEXITSTATUS(status));
  } else if (WIFSIGNALED(status)) {
    *code = 128u + static_cast<uint32_t>(WTERMSIG(status));
  } else {
    *code = 255;
  }
  return 0;
}

int posix_process_terminate(ChildProcess& child) {
  if (!child.valid()) {
    errno = ESRCH;
    return -1;
  }
  if (child.ended()) return 0;
  if (kill(-child.get(), SIGKILL) != 0 && kill(child.get(), SIGKILL) != 0) return -1;
  return 0;
}
