// Helpers shared by the tests: temporary folders that clean up after themselves and small
// file utilities. Tests use real files, never an in-memory stand-in.
#pragma once

#include <memory>
#include <string>

namespace testing_support {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + relative
  std::string file(const std::string& relative) const;

 private:
  std::string path_;
};

// Makes `dir` the working directory for the scope and rereads the drive map there.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir);
  ~ScopedCwd();
  ScopedCwd(const ScopedCwd&) = delete;
  ScopedCwd& operator=(const ScopedCwd&) = delete;

 private:
  std::string previous_;
};

// A folder reached through a drive letter: `dir` itself on Windows; on Linux, D: of a drive
// map made in `dir`, which is the working folder while this lives.
class DriveFolder {
 public:
  explicit DriveFolder(const TempDir& dir);
  const std::string& root() const { return root_; }

 private:
  std::unique_ptr<ScopedCwd> cwd_;
  std::string root_;
};

void write_file(const std::string& path, const std::string& contents);
std::string read_file(const std::string& path);
// A text file the system writes as Windows text (the logs), with each CR LF read as LF.
std::string read_text_file(const std::string& path);
bool file_exists(const std::string& path);
void make_dirs(const std::string& path);

// Runs a shell command, answering its exit status (128 + signal when killed).
int run_command(const std::string& command);

// Sets an environment variable of this process (an empty value sets it empty).
void set_env(const char* name, const char* value);
// Makes the local time UTC, for tests that print times.
void use_utc();
// A pipe as two C runtime descriptors, binary on Windows. 0, or -1.
int make_pipe(int fds[2]);

}  // namespace testing_support
