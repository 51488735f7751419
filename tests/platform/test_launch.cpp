// Starting programs from Windows command lines, and the single-instance lock.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/instance.h"
#include "platform/launch.h"
#include "tests/support/test_support.h"

using testing_support::file_exists;
using testing_support::make_dirs;
using testing_support::read_file;
using testing_support::ScopedCwd;
using testing_support::TempDir;
using testing_support::write_file;

namespace {

// A script that writes its arguments, one a line, to `output` in the working directory
// (renamed into place when complete).
void write_recorder(const std::string& path, const std::string& output) {
  write_file(path, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > " + output +
                       ".tmp && mv " + output + ".tmp " + output + "\n");
  ASSERT_EQ(chmod(path.c_str(), 0755), 0);
}

// Waits (no time assertion) for a file a detached program writes.
std::string await_file(const std::string& path) {
  for (int i = 0; i < 600 && !file_exists(path); ++i) usleep(20000);
  EXPECT_TRUE(file_exists(path)) << path;
  return file_exists(path) ? read_file(path) : std::string();
}

}  // namespace

// Quotes group, 2n backslashes before a quote give n, 2n+1 give n and a literal quote,
// other backslashes are literal; the program name may hold spaces when quoted.
TEST(LaunchTest, CommandLineIsSplitAsTheCRuntimeDoes) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  write_recorder(dir.file("my launcher"), "args.txt");
  ASSERT_EQ(plat_start_command_line(R"("my launcher" plain "two words" a\"b c\d "x\\" tail)"), 0);
  EXPECT_EQ(await_file(dir.file("args.txt")), "plain\ntwo words\na\"b\nc\\d\nx\\\ntail\n");
}

TEST(LaunchTest, WorkingDirectoryComesBeforeTheSearchPath) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  make_dirs(dir.file("bin"));
  write_recorder(dir.file("bin/tool.exe"), "from-path.txt");
  ASSERT_EQ(setenv("PATH", (dir.file("bin") + ":/usr/bin:/bin").c_str(), 1), 0);
  ASSERT_EQ(plat_start_command_line("tool.exe 1"), 0);
  EXPECT_EQ(await_file(dir.file("from-path.txt")), "1\n");
  write_recorder(dir.file("tool.exe"), "from-cwd.txt");
  ASSERT_EQ(plat_start_command_line("\"tool.exe\" 2"), 0);
  EXPECT_EQ(await_file(dir.file("from-cwd.txt")), "2\n");
}

TEST(LaunchTest, MissingProgramsFailWithENOENT) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  ASSERT_EQ(setenv("PATH", dir.file("nothing").c_str(), 1), 0);
  errno = 0;
  EXPECT_EQ(plat_start_command_line("\"varno.exe\" 1 2"), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(plat_start_command_line(""), -1);
  write_file(dir.file("plain.txt"), "not a program");
  EXPECT_EQ(plat_start_command_line("plain.txt"), -1);  // not executable
  errno = 0;
  EXPECT_EQ(plat_shell_open("plain.txt"), -1);  // exists, but no xdg-open on this PATH
  EXPECT_EQ(errno, ENOENT);
}

TEST(InstanceLockTest, SecondOpenInTheSameProcessFails) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  make_dirs(dir.file("etc"));
  EXPECT_EQ(plat_instance_lock("etc\\.lock"), 0);
  errno = 0;
  EXPECT_EQ(plat_instance_lock("etc\\.lock"), -1);
  EXPECT_EQ(errno, EWOULDBLOCK);
  EXPECT_EQ(plat_instance_lock("missing\\.lock"), -1);
  EXPECT_EQ(errno, ENOENT);
}

// The lock is not inherited: a started program does not keep it alive, and another
// process sees it taken only while this one holds it.
TEST(InstanceLockTest, StartedProgramsDoNotInheritTheLock) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  make_dirs(dir.file("etc"));
  ASSERT_EQ(plat_instance_lock("etc\\.lock"), 0);
  ASSERT_EQ(setenv("PATH", "/usr/bin:/bin", 1), 0);
  write_file(dir.file("probe"),
             "#!/bin/sh\nls -l /proc/$$/fd > fds.tmp; "
             "if flock -n etc/.lock true; then r=free; else r=held; fi; "
             "echo $r >> fds.tmp; mv fds.tmp fds.txt\n");
  ASSERT_EQ(chmod(dir.file("probe").c_str(), 0755), 0);
  ASSERT_EQ(plat_start_command_line("probe"), 0);
  std::string out = await_file(dir.file("fds.txt"));
  EXPECT_EQ(out.find(".lock"), std::string::npos) << out;
  EXPECT_NE(out.find("held"), std::string::npos) << out;
}
