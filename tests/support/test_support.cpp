#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "platform/path.h"

namespace fs = std::filesystem;

namespace testing_support {

TempDir::TempDir() {
#ifdef _WIN32
  // The system's temporary folder; a name nobody else has, made atomically.
  std::random_device random;
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    fs::path candidate = fs::temp_directory_path() / ("varno-test-" + std::to_string(random()));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) path_ = candidate.string();
  }
  if (path_.empty()) ADD_FAILURE() << "no temporary folder could be made";
#else
  const char* base = getenv("TMPDIR");
  std::string templ = std::string(base != nullptr && *base ? base : "/tmp") + "/varno-test-XXXXXX";
  char* made = mkdtemp(templ.data());
  if (made == nullptr) {
    ADD_FAILURE() << "mkdtemp failed";
    return;
  }
  path_ = made;
#endif
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  // Tests may leave folders without permissions; give them back so removal works.
  for (auto it = fs::recursive_directory_iterator(
           path_, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
  }
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& relative) const {
  return path_ + "/" + relative;
}

ScopedCwd::ScopedCwd(const std::string& dir) {
  previous_ = fs::current_path().string();
  fs::current_path(dir);
  plat_drive_map_reload();
}

ScopedCwd::~ScopedCwd() {
  std::error_code ec;
  fs::current_path(previous_, ec);
  plat_drive_map_reload();
}

DriveFolder::DriveFolder(const TempDir& dir) {
#ifdef _WIN32
  root_ = dir.path();
#else
  write_file(dir.file("etc/drives"), "D:=" + dir.file("d") + "\n");
  make_dirs(dir.file("d"));
  cwd_ = std::make_unique<ScopedCwd>(dir.path());
  root_ = "D:";
#endif
}

void write_file(const std::string& path, const std::string& contents) {
  fs::path p(path);
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  if (!out) ADD_FAILURE() << "cannot write " << path;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string read_text_file(const std::string& path) {
  std::string text = read_file(path);
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out.push_back(text[i]);
  }
  return out;
}

bool file_exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));
}

void make_dirs(const std::string& path) {
  fs::create_directories(path);
}

int run_command(const std::string& command) {
  int status = system(command.c_str());
  if (status == -1) return -1;
#ifdef _WIN32
  return status;  // the command's exit code itself
#else
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
#endif
}

void set_env(const char* name, const char* value) {
#ifdef _WIN32
  ASSERT_EQ(_putenv_s(name, value), 0) << name;
#else
  ASSERT_EQ(setenv(name, value, 1), 0) << name;
#endif
}

void use_utc() {
#ifdef _WIN32
  set_env("TZ", "UTC0");  // the C runtime's form: a name and the hours west of UTC
  _tzset();
#else
  set_env("TZ", "UTC");
  tzset();
#endif
}

int make_pipe(int fds[2]) {
#ifdef _WIN32
  return _pipe(fds, 4096, _O_BINARY);
#else
  return pipe(fds);
#endif
}

}  // namespace testing_support
