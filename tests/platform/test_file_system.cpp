// The POSIX file system service, by Windows-form paths through the drive map.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <filesystem>
#include <string>

#include "platform/env.h"
#include "tests/support/test_support.h"

using testing_support::file_exists;
using testing_support::read_file;
using testing_support::ScopedCwd;
using testing_support::TempDir;
using testing_support::write_file;

namespace {

TEST(FileSystemTest, FilesByRelativeAndDrivePaths) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  Env* fs = plat_env();
  ASSERT_EQ(fs->make_dir("sub"), 0);
  EXPECT_EQ(fs->make_dir("sub"), -1);
  EXPECT_EQ(errno, EEXIST);
  int fd = fs->open_file("sub\\a.bin", PLAT_OPEN_READ | PLAT_OPEN_WRITE | PLAT_OPEN_CREATE);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  EXPECT_EQ(fs->write(fd, "hello world", 11), 11);
  EXPECT_EQ(fs->file_size(fd), 11);
  char buffer[16] = {};
  EXPECT_EQ(fs->read_at(fd, buffer, 5, 6), 5);
  EXPECT_STREQ(buffer, "world");
  EXPECT_EQ(fs->read_at(fd, buffer, 5, 11), 0);  // end of file
  EXPECT_EQ(fs->sync(fd), 0);
  EXPECT_EQ(fs->close_file(fd), 0);
  EXPECT_EQ(read_file(dir.file("sub/a.bin")), "hello world");

  // Truncation on open; C: maps to "/".
  std::string absolute = "C:" + dir.path() + "\\sub\\a.bin";
  fd = fs->open_file(absolute, PLAT_OPEN_WRITE | PLAT_OPEN_TRUNCATE);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(fs->file_size(fd), 0);
  EXPECT_EQ(fs->read_at(fd, buffer, 1, 0), -1);  // opened for writing only
  fs->close_file(fd);

  EXPECT_EQ(fs->file_exists("sub\\a.bin"), 1);
  EXPECT_EQ(fs->file_exists("sub"), 0);  // a folder is not a file
  EXPECT_EQ(fs->file_exists("sub\\none"), 0);
  EXPECT_EQ(fs->dir_usable("sub"), 1);
  EXPECT_EQ(fs->dir_usable("sub\\a.bin"), 0);
  EXPECT_EQ(fs->sync_dir("sub"), 0);
  EXPECT_EQ(fs->sync_dir("."), 0);

  // Rename replaces an existing target.
  write_file(dir.file("sub/b.bin"), "old");
  write_file(dir.file("sub/a.bin"), "new");
  EXPECT_EQ(fs->rename_file("sub\\a.bin", "sub\\b.bin"), 0);
  EXPECT_EQ(read_file(dir.file("sub/b.bin")), "new");
  EXPECT_FALSE(file_exists(dir.file("sub/a.bin")));

  EXPECT_EQ(fs->remove_dir("sub"), -1);  // not empty
  EXPECT_EQ(fs->delete_file("sub\\b.bin"), 0);
  EXPECT_EQ(fs->delete_file("sub\\b.bin"), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(fs->remove_dir("sub"), 0);
  EXPECT_EQ(fs->dir_usable("sub"), 0);
}

TEST(FileSystemTest, UnmappedDriveIsNotFound) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  Env* fs = plat_env();
  EXPECT_EQ(fs->open_file("Q:\\x", PLAT_OPEN_READ), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(fs->file_exists("Q:\\x"), 0);
  EXPECT_EQ(fs->dir_usable("Q:\\"), 0);
  EXPECT_EQ(fs->make_dir("Q:\\d"), -1);
}

TEST(FileSystemTest, FolderWithoutSearchPermissionIsNotUsable) {
  if (geteuid() == 0) GTEST_SKIP() << "root enters every folder";
  TempDir dir;
  ScopedCwd cwd(dir.path());
  ASSERT_EQ(mkdir("closed", 0600), 0);
  EXPECT_EQ(plat_env()->dir_usable("closed"), 0);
}

// The wrapper forwards everything; a double overrides one call.
TEST(FileSystemTest, WrapperForwardsAndOverridesOneCall) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  struct NoRename : EnvWrapper {
    NoRename() : EnvWrapper(plat_env()) {}
    int rename_file(std::string_view, std::string_view) override {
      errno = EACCES;
      return -1;
    }
  } fs;
  int fd = fs.open_file("f", PLAT_OPEN_WRITE | PLAT_OPEN_CREATE);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(fs.write(fd, "x", 1), 1);
  EXPECT_EQ(fs.close_file(fd), 0);
  EXPECT_EQ(fs.rename_file("f", "g"), -1);
  EXPECT_EQ(errno, EACCES);
  EXPECT_EQ(fs.file_exists("f"), 1);
  EXPECT_EQ(fs.delete_file("f"), 0);
}

}  // namespace
