#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <map>
#include <sstream>

#include "platform/env.h"
#include "platform/error.h"
#include "platform/path.h"
#include "tests/support/test_support.h"

using testing_support::ScopedCwd;
using testing_support::TempDir;
using testing_support::write_file;

namespace {

class DirSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(dir_.file("etc/drives"), "D:=" + dir_.file("d") + "\n");
    write_file(dir_.file("d/file.txt"), "12345");
    write_file(dir_.file("d/Desktop.INI"), "x");
    write_file(dir_.file("d/back\\slash"), "x");
    testing_support::make_dirs(dir_.file("d/folder"));
    cwd_ = std::make_unique<ScopedCwd>(dir_.path());
  }
  std::vector<PlatFindData> list(const std::string& pattern) {
    std::vector<PlatFindData> out;
    PlatFindData data;
    PlatFindHandle find = plat_env()->find_first(pattern, &data);
    if (!find) return out;
    do {
      out.push_back(data);
    } while (plat_env()->find_next(find.get(), &data) == 0);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(plat_last_error(), PLAT_ERROR_NO_MORE_FILES);
    return out;
  }
  std::string d(const std::string& rel) { return dir_.file("d/" + rel); }
  TempDir dir_;
  std::unique_ptr<ScopedCwd> cwd_;
};

TEST_F(DirSearchTest, DotEntriesComeFirstThenTheFolderWithoutBackslashNames) {
  ASSERT_EQ(chmod(d("").c_str(), 0555), 0);
  std::vector<PlatFindData> all = list("D:\\*");
  chmod(d("").c_str(), 0755);
  ASSERT_EQ(all.size(), 5u);
  EXPECT_STREQ(all[0].name, ".");
  EXPECT_EQ(all[0].attributes, PLAT_ATTR_DIRECTORY | PLAT_ATTR_READONLY);
  EXPECT_STREQ(all[1].name, "..");
  std::map<std::string, PlatFindData> by_name;
  for (const PlatFindData& e : all) by_name[e.name] = e;
  EXPECT_EQ(by_name.count("back\\slash"), 0u);
  EXPECT_EQ(by_name["file.txt"].size_low, 5u);
  EXPECT_EQ(by_name["file.txt"].attributes, PLAT_ATTR_NORMAL);
  EXPECT_EQ(by_name["folder"].attributes, PLAT_ATTR_DIRECTORY);
}

TEST_F(DirSearchTest, ReparsePointsAreFlaggedAndNeverOpened) {
  ASSERT_EQ(symlink(d("folder").c_str(), d("link").c_str()), 0);
  ASSERT_EQ(symlink("/nonexistent", d("dangling").c_str()), 0);
  ASSERT_EQ(mkfifo(d("fifo").c_str(), 0600), 0);  // opening it would block
  int s = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string sock = d("sock");
  ASSERT_LT(sock.size(), sizeof(addr.sun_path));
  memcpy(addr.sun_path, sock.c_str(), sock.size());
  ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  close(s);
  std::map<std::string, uint32_t> attrs;
  for (const PlatFindData& e : list("D:\\*")) attrs[e.name] = e.attributes;
  for (const char* n : {"link", "dangling", "fifo", "sock"}) {
    EXPECT_TRUE(attrs[n] & PLAT_ATTR_REPARSE_POINT) << n;
  }
  EXPECT_FALSE(attrs["folder"] & PLAT_ATTR_REPARSE_POINT);
  EXPECT_FALSE(attrs["file.txt"] & PLAT_ATTR_REPARSE_POINT);
}

TEST_F(DirSearchTest, NamePatternsIgnoreCaseAndMissingFoldersFail) {
  std::vector<PlatFindData> hits = list("D:\\desktop.ini");
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_STREQ(hits[0].name, "Desktop.INI");
  PlatFindData data;
  EXPECT_FALSE(plat_env()->find_first("D:\\nothing-like-this", &data));
  EXPECT_EQ(plat_last_error(), PLAT_ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(plat_env()->find_first("D:\\missing\\*", &data));
  EXPECT_EQ(plat_last_error(), PLAT_ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(plat_env()->find_first("D:\\file.txt\\*", &data));
  EXPECT_EQ(plat_last_error(), PLAT_ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(plat_env()->find_first("Q:\\*", &data));
  EXPECT_EQ(plat_last_error(), PLAT_ERROR_PATH_NOT_FOUND);
}

// A folder that lists but cannot be searched: its entries are still listed, each with the
// error of its status read, as FindNextFile lists every entry of a readable folder.
TEST_F(DirSearchTest, EntriesWhoseStatusCannotBeReadAreListedWithTheError) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to list as another user";
  testing_support::make_dirs(d("locked/sub"));
  write_file(d("locked/a.txt"), "12345");
  ASSERT_EQ(symlink("a.txt", d("locked/link").c_str()), 0);
  ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(d("locked").c_str(), 0644), 0);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    std::string out;
    PlatFindData data;
    PlatFindHandle find = plat_env()->find_first("D:\\locked\\*", &data);
    if (!find) _exit(3);
    do {
      out += std::string(data.name) + " " + std::to_string(data.attributes) + " " +
             std::to_string(data.status_error) + " " + std::to_string(data.size_low) + "\n";
    } while (plat_env()->find_next(find.get(), &data) == 0);
    if (write(fds[1], out.data(), out.size()) != static_cast<ssize_t>(out.size())) _exit(4);
    _exit(0);
  }
  close(fds[1]);
  std::string got;
  char chunk[512];
  ssize_t n;
  while ((n = read(fds[0], chunk, sizeof chunk)) > 0) got.append(chunk, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  chmod(d("locked").c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::map<std::string, std::string> by_name;
  std::istringstream in(got);
  std::string name, rest;
  while (in >> name && std::getline(in, rest)) by_name[name] = rest;
  ASSERT_EQ(by_name.size(), 5u) << got;
  EXPECT_EQ(by_name["."], " 16 0 0");  // the folder itself is known
  EXPECT_EQ(by_name["a.txt"], " 128 13 0");
  EXPECT_EQ(by_name["sub"], " 16 13 0");
  EXPECT_EQ(by_name["link"], " 1024 13 0");
}

TEST_F(DirSearchTest, TimesAreFiletimes) {
  timespec times[2] = {{1000000000, 0}, {1234567890, 500000000}};
  ASSERT_EQ(utimensat(AT_FDCWD, d("file.txt").c_str(), times, 0), 0);
  for (const PlatFindData& e : list("D:\\file.txt")) {
    EXPECT_EQ(e.last_write_time, 116444736000000000ull + 12345678905000000ull);
    EXPECT_EQ(e.last_access_time, 116444736000000000ull + 10000000000000000ull);
  }
}

TEST_F(DirSearchTest, StatusOpensAndExclusiveCreation) {
  PlatFileStatus st{};
  ASSERT_EQ(plat_env()->file_status("D:\\file.txt", &st), 0);
  EXPECT_TRUE(st.is_regular);
  EXPECT_EQ(st.size, 5u);
  ASSERT_EQ(plat_env()->file_status("D:\\folder", &st), 0);
  EXPECT_TRUE(st.is_directory);
  errno = 0;
  EXPECT_EQ(plat_env()->file_status("D:\\missing", &st), -1);
  EXPECT_EQ(errno, ENOENT);

  int fd = plat_env()->create_new("D:\\new.bin", 0640);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(plat_env()->close_file(fd), 0);
  struct stat s {};
  ASSERT_EQ(stat(d("new.bin").c_str(), &s), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(s.st_mode & 0777, 0640u & ~mask);
  errno = 0;
  EXPECT_EQ(plat_env()->create_new("D:\\new.bin", 0600), -1);
  EXPECT_EQ(errno, EEXIST);
  ASSERT_EQ(symlink(d("elsewhere").c_str(), d("dangling").c_str()), 0);
  EXPECT_EQ(plat_env()->create_new("D:\\dangling", 0600), -1);
  EXPECT_FALSE(testing_support::file_exists(d("elsewhere")));

  ASSERT_EQ(mkfifo(d("fifo").c_str(), 0600), 0);
  fd = plat_env()->open_read("D:\\fifo");  // must not wait for a writer
  ASSERT_GE(fd, 0);
  plat_env()->close_file(fd);
}

TEST_F(DirSearchTest, FullDirectoryPaths) {
  std::string full;
  ASSERT_EQ(plat_env()->full_directory_path("d\\folder", &full), 0);
  EXPECT_EQ(full, "D:\\folder");
  ASSERT_EQ(plat_env()->full_directory_path(".", &full), 0);
  char* real = realpath(dir_.path().c_str(), nullptr);
  std::string expected = std::string("C:") + real;
  free(real);
  for (char& c : expected) c = c == '/' ? '\\' : c;
  EXPECT_EQ(full, expected);
  errno = 0;
  EXPECT_EQ(plat_env()->full_directory_path("d\\file.txt", &full), -1);
  EXPECT_EQ(errno, ENOTDIR);
}

}  // namespace
