// The Env contract: the POSIX Env and a forwarding wrapper answer alike (one table of
// cases run against both), and faults planned through FaultEnv reach the caller.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <functional>
#include <sstream>
#include <string>

#include "platform/env.h"
#include "platform/retry.h"
#include "tests/support/fault_env.h"
#include "tests/support/test_support.h"

using testing_support::FaultEnv;
using testing_support::read_file;
using testing_support::ScopedCwd;
using testing_support::TempDir;
using testing_support::write_file;

namespace {

std::string code(long rc) {
  return rc >= 0 ? std::to_string(rc) : "err:" + std::to_string(errno);
}

// Each case works in a fresh working directory and answers a transcript of what it saw.
struct Case {
  const char* name;
  std::function<std::string(Env*, const TempDir&)> run;
  const char* expected;
};

const Case kCases[] = {
    {"write, size, read at an offset and at the end",
     [](Env* env, const TempDir&) {
       EnvFile f(env, env->open_file("a.bin", PLAT_OPEN_READ | PLAT_OPEN_WRITE | PLAT_OPEN_CREATE));
       char buffer[8] = {};
       std::ostringstream out;  // "<<" runs its operands in order; "+" would not
       out << code(plat_write_all(env, f.get(), "hello world", 11)) << ' '
           << code(env->file_size(f.get())) << ' ' << code(env->read_at(f.get(), buffer, 5, 6));
       out << buffer << ' ' << code(env->read_at(f.get(), buffer, 5, 11)) << ' ' << code(f.close());
       return out.str();
     },
     "11 11 5world 0 0"},
    {"seek then read; a negative offset is refused",
     [](Env* env, const TempDir& dir) {
       write_file(dir.file("s.txt"), "0123456789");
       EnvFile f(env, env->open_read("s.txt"));
       char buffer[4] = {};
       std::ostringstream out;
       out << code(env->seek(f.get(), 7)) << ' ' << code(env->read(f.get(), buffer, 3));
       out << buffer << ' ' << code(env->seek(f.get(), -1));
       return out.str();
     },
     "0 3789 err:22"},
    {"create_new refuses a taken name, even a dangling link",
     [](Env* env, const TempDir& dir) {
       EnvFile f(env, env->create_new("n.txt", 0600));
       std::ostringstream out;
       out << f.valid() << ' ' << code(env->create_new("n.txt", 0600)) << ' '
           << symlink("nowhere", dir.file("link").c_str()) << ' '
           << code(env->create_new("link", 0600));
       return out.str();
     },
     "1 err:17 0 err:17"},
    {"publish_new_file appears whole, owner-only, and never replaces",
     [](Env* env, const TempDir& dir) {
       std::ostringstream out;
       out << code(env->publish_new_file("k.bin", 0600, "key", 3)) << ' '
           << code(env->publish_new_file("k.bin", 0600, "new", 3)) << ' '
           << read_file(dir.file("k.bin"));
       struct stat st {};
       out << ' ' << stat(dir.file("k.bin").c_str(), &st) << ' ' << std::oct << (st.st_mode & 0777);
       return out.str();
     },
     "0 err:17 key 0 600"},
    {"an exclusive open shuts out a second one until closed",
     [](Env* env, const TempDir& dir) {
       write_file(dir.file("q.dat"), "old");
       EnvFile first(env, env->open_exclusive(
                              "q.dat", PLAT_OPEN_WRITE | PLAT_OPEN_CREATE | PLAT_OPEN_TRUNCATE));
       std::ostringstream out;
       out << first.valid() << ' ' << code(env->open_exclusive("q.dat", PLAT_OPEN_READ)) << ' '
           << code(first.close());
       EnvFile again(env, env->open_exclusive("q.dat", PLAT_OPEN_READ));
       out << ' ' << again.valid() << " [" << read_file(dir.file("q.dat")) << ']';
       return out.str();
     },
     "1 err:13 0 1 []"},
    {"open_read of a FIFO answers at once",
     [](Env* env, const TempDir& dir) {
       std::ostringstream out;
       out << mkfifo(dir.file("fifo").c_str(), 0600) << ' ';
       EnvFile f(env, env->open_read("fifo"));
       out << f.valid();
       return out.str();
     },
     "0 1"},
    {"names: folders, rename over, delete, exists, status",
     [](Env* env, const TempDir& dir) {
       write_file(dir.file("x"), "12345");
       write_file(dir.file("y"), "old");
       PlatFileStatus st{};
       std::ostringstream out;
       out << code(env->make_dir("d")) << ' ' << code(env->make_dir("d")) << ' '
           << code(env->dir_usable("d")) << ' ' << code(env->rename_file("x", "y")) << ' '
           << code(env->file_exists("x")) << ' ' << code(env->file_exists("y")) << ' '
           << code(env->file_status("y", &st));
       out << ':' << st.size << ' ' << code(env->delete_file("y")) << ' '
           << code(env->delete_file("y")) << ' ' << code(env->remove_dir("d")) << ' '
           << code(env->sync_dir("."));
       return out.str();
     },
     "0 err:17 1 0 0 1 0:5 0 err:2 0 0"},
    {"directory search starts with the folder itself",
     [](Env* env, const TempDir& dir) {
       write_file(dir.file("only.txt"), "x");
       PlatFindData data{};
       PlatFindHandle find = env->find_first("*", &data);
       std::string first = find ? data.name : "none";
       int entries = 0;
       while (find && env->find_next(find.get(), &data) == 0) ++entries;
       return first + " " + std::to_string(entries) + " " + std::to_string(errno);
     },
     ". 2 2"},
    {"a child's exit code comes back; a missing program does not start",
     [](Env* env, const TempDir&) {
       ChildProcess child;
       uint32_t exit_code = 0;
       std::ostringstream out;
       out << code(env->process_start("exit 3", &child)) << ' ' << env->process_wait(child, 10000)
           << ' ' << code(env->process_exit_code(child, &exit_code));
       out << ':' << exit_code << ' ' << code(env->process_start("no-such-program-here", &child));
       return out.str();
     },
     "0 0 0:3 err:2"},
};

TEST(EnvContract, PosixEnvAndAWrapperAnswerAlike) {
  Env* posix = plat_env();
  EnvWrapper wrapper(posix);
  FaultEnv unplanned(posix);
  for (Env* env : {posix, static_cast<Env*>(&wrapper), static_cast<Env*>(&unplanned)}) {
    for (const Case& c : kCases) {
      TempDir dir;
      ScopedCwd cwd(dir.path());
      EXPECT_EQ(c.run(env, dir), c.expected) << c.name;
    }
  }
  EXPECT_EQ(unplanned.fired(), 0);
  EXPECT_EQ(unplanned.open_descriptors(), 0) << "every EnvFile closed what it held";
}

TEST(EnvFaults, ReadFailsInTheMiddleOfAFile) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  write_file(dir.file("data.bin"), "aaaabbbbccccdddd");
  FaultEnv env;
  env.fail_nth(FaultEnv::kRead, 3, EIO);
  EnvFile f(&env, env.open_read("data.bin"));
  ASSERT_TRUE(f.valid());
  std::string got;
  char chunk[4];
  ssize_t n;
  while ((n = env.read(f.get(), chunk, sizeof chunk)) > 0)
    got.append(chunk, static_cast<size_t>(n));
  EXPECT_EQ(n, -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(got, "aaaabbbb") << "two reads came through before the planned failure";
  // Only the planned call failed: the file goes on where it stopped.
  EXPECT_EQ(env.read(f.get(), chunk, sizeof chunk), 4);
  EXPECT_EQ(std::string(chunk, 4), "cccc");
  EXPECT_EQ(env.fired(), 1);
  EXPECT_EQ(f.close(), 0);
  EXPECT_EQ(env.open_descriptors(), 0);
}

TEST(EnvFaults, WritesCutShortAreCompletedAndFullDisksReported) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  FaultEnv env;
  env.max_write = 3;
  EnvFile f(&env, env.open_file("w.bin", PLAT_OPEN_WRITE | PLAT_OPEN_CREATE));
  ASSERT_EQ(plat_write_all(&env, f.get(), "0123456789", 10), 10);
  EXPECT_EQ(env.calls(FaultEnv::kWrite), 4) << "3 + 3 + 3 + 1 bytes";
  env.fail_nth(FaultEnv::kAny, 2, ENOSPC);  // the second write from here
  EXPECT_EQ(plat_write_all(&env, f.get(), "abcdef", 6), -1);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(f.close(), 0);
  EXPECT_EQ(read_file(dir.file("w.bin")), "0123456789abc");
}

// The zero-byte rule of plat_write_fully: a write that takes nothing is a failure.
TEST(EnvFaults, AWriteThatTakesNothingFailsWithEio) {
  int calls = 0;
  auto stuck = [&calls](const void*, size_t) -> ssize_t { return ++calls == 1 ? 2 : 0; };
  errno = 0;
  EXPECT_EQ(plat_write_fully(stuck, "abcd", 4), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(plat_write_fully(stuck, "", 0), 0) << "nothing to write makes no call";
  EXPECT_EQ(calls, 2);
}

}  // namespace
