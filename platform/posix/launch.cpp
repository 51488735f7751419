#include "platform/launch.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/path.h"
#include "platform/posix/native_error.h"
#include "platform/retry.h"

extern char** environ;

namespace {

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// The C runtime's splitting of a command line: 2n backslashes before a quote give n
// backslashes and the quote groups; 2n+1 give n backslashes and a literal quote;
// backslashes elsewhere are literal.
std::vector<std::string> split_command_line(std::string_view line) {
  std::vector<std::string> args;
  size_t i = 0;
  const size_t n = line.size();
  while (true) {
    while (i < n && is_blank(line[i])) ++i;
    if (i >= n) break;
    std::string arg;
    bool quoted = false;
    while (i < n && (quoted || !is_blank(line[i]))) {
      if (line[i] == '\\') {
        size_t run = 0;
        while (i < n && line[i] == '\\') {
          ++run;
          ++i;
        }
        if (i < n && line[i] == '"') {
          arg.append(run / 2, '\\');
          if (run % 2 == 1) {
            arg.push_back('"');
            ++i;
          }
        } else {
          arg.append(run, '\\');
        }
      } else if (line[i] == '"') {
        quoted = !quoted;
        ++i;
      } else {
        arg.push_back(line[i++]);
      }
    }
    args.push_back(std::move(arg));
  }
  return args;
}

bool is_executable_file(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

// `name` (no separator) in the directories of PATH; an empty entry is the working directory.
bool search_path(const std::string& name, std::string* found) {
  const char* path = getenv("PATH");
  if (path == nullptr) return false;
  std::string_view dirs(path);
  while (true) {
    size_t colon = dirs.find(':');
    std::string dir(dirs.substr(0, colon));
    std::string candidate = dir.empty() ? "./" + name : dir + "/" + name;
    if (is_executable_file(candidate)) {
      *found = candidate;
      return true;
    }
    if (colon == std::string_view::npos) return false;
    dirs.remove_prefix(colon + 1);
  }
}

// Starts `program` with `args` in its own session, reaped by a background thread.
int spawn_detached(const std::string& program, const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  posix_spawnattr_t attr;
  posix_spawn_file_actions_t actions;
  if (posix_spawnattr_init(&attr) != 0) return fail_with(ENOMEM);
  if (posix_spawn_file_actions_init(&actions) != 0) {
    posix_spawnattr_destroy(&attr);
    return fail_with(ENOMEM);
  }
  // The host process (a JVM) blocks and handles signals of its own; the program starts
  // with none blocked and every handler at its default.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  sigdelset(&all, SIGKILL);
  sigdelset(&all, SIGSTOP);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);

  pid_t pid = -1;
  int r = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (r != 0) return fail_with(r);
  std::thread([pid] {
    int status;
    (void)plat_retry_eintr([&] { return waitpid(pid, &status, 0); });
  }).detach();
  return 0;
}

}  // namespace

uint32_t plat_current_process_id() {
  return static_cast<uint32_t>(getpid());
}

int plat_start_command_line(std::string_view command_line) {
  std::vector<std::string> args = split_command_line(command_line);
  if (args.empty() || args[0].empty()) return fail_with(ENOENT);
  std::string program;
  const std::string& name = args[0];
  if (name.find_first_of("\\/:") != std::string::npos) {
    if (plat_native_path(name, &program) != 0) return -1;
    if (!is_executable_file(program)) return fail_with(ENOENT);
  } else if (is_executable_file("./" + name)) {
    program = "./" + name;
  } else if (!search_path(name, &program)) {
    return fail_with(ENOENT);
  }
  return spawn_detached(program, args);
}

int plat_shell_open(std::string_view path) {
  std::string native;
  if (path.empty()) return fail_with(ENOENT);
  if (plat_native_path(path, &native) != 0) return -1;
  // The shell refuses what does not exist (ERROR_FILE_NOT_FOUND) before looking for a program.
  struct stat st {};
  if (stat(native.c_str(), &st) != 0) return fail_with(errno);
  std::string opener;
  if (!search_path("xdg-open", &opener)) return fail_with(ENOENT);
  return spawn_detached(opener, {"xdg-open", native});
}

std::string plat_program_command_line(const std::string& program,
                                      const std::vector<std::string>& arguments, bool quiet) {
  // The shell's single quotes keep every byte; a quote itself is closed, escaped, reopened.
  auto quote = [](const std::string& s) {
    std::string out = "'";
    for (char c : s) {
      if (c == '\'') {
        out += "'\\''";
      } else {
        out.push_back(c);
      }
    }
    return out + "'";
  };
  std::string line = "exec " + quote(program);
  for (const std::string& a : arguments) line += " " + quote(a);
  line += " </dev/null";
  if (quiet) line += " >/dev/null 2>&1";
  return line;
}
