#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/capability.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tests/support/fs_fixture.h"
#include "util/fs.h"

using testing_support::make_dirs;
using testing_support::write_file;

namespace {

struct Seen {
  std::string path;
  uint32_t mode;
  int64_t mtime;
  uint64_t size;
  uint64_t size_on_disk;
};

struct Recorder {
  std::vector<Seen> seen;
  // Per-path answers; everything else continues.
  std::vector<std::pair<std::string, int>> answers;

  static int callback(const walk_entry* e, void* user) {
    auto* r = static_cast<Recorder*>(user);
    EXPECT_EQ(e->flags & 1, 1);
    EXPECT_EQ(static_cast<size_t>(e->path_length), strlen(e->path));
    r->seen.push_back({e->path, e->mode, e->mtime, e->size, e->size_on_disk});
    for (auto& [path, answer] : r->answers) {
      if (path == e->path) return answer;
    }
    return WALK_CONTINUE;
  }

  std::vector<std::string> paths() const {
    std::vector<std::string> out;
    for (const Seen& s : seen) out.push_back(s.path);
    return out;
  }
  std::vector<std::string> sorted() const {
    std::vector<std::string> out = paths();
    std::sort(out.begin(), out.end());
    return out;
  }
  const Seen* find(const std::string& path) const {
    for (const Seen& s : seen) {
      if (s.path == path) return &s;
    }
    return nullptr;
  }
};

int walk(const char* path, int flags, Recorder* r, const char* pattern = nullptr) {
  walk_request request{flags, pattern, Recorder::callback, r};
  return dir_walk(path, &request);
}

size_t index_of(const std::vector<std::string>& v, const std::string& s) {
  return static_cast<size_t>(std::find(v.begin(), v.end(), s) - v.begin());
}

int open_descriptors() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

class WalkTest : public fs_fixture::DriveD {
 protected:
  void SetUp() override {
    DriveD::SetUp();
    write_file(d("a.txt"), "x");
    write_file(d("sub/b.txt"), std::string(8192, 'b'));
    write_file(d("sub/deep/c.txt"), "");
    write_file(d("other/e.txt"), "eee");
    write_file(d("pagefile.sys"), "p");
    write_file(d("shortcut.LNK"), "l");
    write_file(d("$Recycle.Bin/gone.txt"), "g");
    write_file(d("sub\\name"), "a backslash in a name");
    ASSERT_EQ(symlink(d("sub").c_str(), d("link").c_str()), 0);
    ASSERT_EQ(symlink(d("a.txt").c_str(), d("filelink").c_str()), 0);
    ASSERT_EQ(mkfifo(d("fifo").c_str(), 0600), 0);
  }
};

TEST_F(WalkTest, PostOrderReportsContentsBeforeTheirFolderAndPassesOverReparsePoints) {
  Recorder r;
  ASSERT_EQ(walk("D:\\", WALK_RECURSE, &r), 0);
  EXPECT_EQ(errno, 0);
  std::vector<std::string> expected = {
      "D:\\a.txt",      "D:\\other",     "D:\\other\\e.txt",    "D:\\sub",
      "D:\\sub\\b.txt", "D:\\sub\\deep", "D:\\sub\\deep\\c.txt"};
  EXPECT_EQ(r.sorted(), expected);
  std::vector<std::string> order = r.paths();
  EXPECT_LT(index_of(order, "D:\\sub\\deep\\c.txt"), index_of(order, "D:\\sub\\deep"));
  EXPECT_LT(index_of(order, "D:\\sub\\deep"), index_of(order, "D:\\sub"));
  EXPECT_LT(index_of(order, "D:\\sub\\b.txt"), index_of(order, "D:\\sub"));
}

TEST_F(WalkTest, PreOrderReportsFoldersFirst) {
  Recorder r;
  ASSERT_EQ(walk("D:\\", WALK_RECURSE | WALK_DIRS_FIRST, &r), 0);
  std::vector<std::string> order = r.paths();
  ASSERT_EQ(order.size(), 7u);
  EXPECT_LT(index_of(order, "D:\\sub"), index_of(order, "D:\\sub\\deep"));
  EXPECT_LT(index_of(order, "D:\\sub\\deep"), index_of(order, "D:\\sub\\deep\\c.txt"));
}

TEST_F(WalkTest, SkipPrunesOneFolderAndTheWalkGoesOn) {
  Recorder r;
  r.answers = {{"D:\\sub", WALK_SKIP}};
  ASSERT_EQ(walk("D:\\", WALK_RECURSE | WALK_DIRS_FIRST, &r), 0);
  std::vector<std::string> expected = {"D:\\a.txt", "D:\\other", "D:\\other\\e.txt", "D:\\sub"};
  EXPECT_EQ(r.sorted(), expected);
}

TEST_F(WalkTest, SkipInPostOrderActsAsContinue) {
  Recorder r;
  r.answers = {{"D:\\sub\\b.txt", WALK_SKIP}};
  ASSERT_EQ(walk("D:\\", WALK_RECURSE, &r), 0);
  EXPECT_EQ(r.seen.size(), 7u);
}

TEST_F(WalkTest, StopEndsAtOnceWithSuccess) {
  Recorder r;
  r.answers = {{"D:\\sub\\deep", WALK_STOP}};
  errno = EBADF;
  ASSERT_EQ(walk("D:\\", WALK_RECURSE | WALK_DIRS_FIRST, &r), 0);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(r.seen.back().path, "D:\\sub\\deep");
  EXPECT_EQ(r.find("D:\\sub\\deep\\c.txt"), nullptr);
}

TEST_F(WalkTest, AnyOtherAnswerEndsTheWalkButOnlyErrorFails) {
  Recorder stop_by_code;
  stop_by_code.answers = {{"D:\\a.txt", 7}};
  EXPECT_EQ(walk("D:\\", 0, &stop_by_code), 0);
  EXPECT_EQ(stop_by_code.seen.back().path, "D:\\a.txt");

  Recorder failing;
  failing.answers = {{"D:\\sub\\b.txt", WALK_ERROR}};
  EXPECT_EQ(walk("D:\\", WALK_RECURSE, &failing), -1);
  EXPECT_EQ(failing.seen.back().path, "D:\\sub\\b.txt");
}

TEST_F(WalkTest, NoIgnoreReportsExcludedNamesButStillNoReparsePoints) {
  Recorder r;
  ASSERT_EQ(walk("D:\\", WALK_RECURSE | WALK_NO_IGNORE, &r), 0);
  std::vector<std::string> got = r.sorted();
  for (const char* p :
       {"D:\\pagefile.sys", "D:\\shortcut.LNK", "D:\\$Recycle.Bin", "D:\\$Recycle.Bin\\gone.txt"}) {
    EXPECT_NE(r.find(p), nullptr) << p;
  }
  for (const char* p :
       {"D:\\link", "D:\\filelink", "D:\\fifo", "D:\\sub\\name", "D:\\link\\b.txt"}) {
    EXPECT_EQ(r.find(p), nullptr) << p;
  }
}

TEST_F(WalkTest, AWalkStartedOnAnExcludedFolderReportsNothingAndClosesItsListing) {
  int before = open_descriptors();
  Recorder r;
  EXPECT_EQ(walk("D:\\$Recycle.Bin", WALK_RECURSE, &r), 0);
  EXPECT_TRUE(r.seen.empty());
  EXPECT_EQ(open_descriptors(), before);
}

TEST_F(WalkTest, PatternsMatchNamesAndFoldersAreStillEntered) {
  Recorder exact;
  ASSERT_EQ(walk("D:\\", WALK_RECURSE, &exact, "*.TXT"), 0);
  EXPECT_TRUE(exact.seen.empty());

  Recorder nocase;
  ASSERT_EQ(walk("D:\\", WALK_RECURSE | WALK_NOCASE, &nocase, "*.TXT"), 0);
  std::vector<std::string> expected = {"D:\\a.txt", "D:\\other\\e.txt", "D:\\sub\\b.txt",
                                       "D:\\sub\\deep\\c.txt"};
  EXPECT_EQ(nocase.sorted(), expected);

  Recorder empty_pattern;
  ASSERT_EQ(walk("D:\\", WALK_RECURSE, &empty_pattern, ""), 0);
  EXPECT_EQ(empty_pattern.seen.size(), 7u);
}

TEST_F(WalkTest, WithoutRecursionOnlyTheTopLevelIsReported) {
  Recorder r;
  ASSERT_EQ(walk("D:\\sub", 0, &r), 0);
  std::vector<std::string> expected = {"D:\\sub\\b.txt", "D:\\sub\\deep"};
  EXPECT_EQ(r.sorted(), expected);
}

TEST_F(WalkTest, EntriesCarryModeTimeAndSizeOnDiskByTheRealClusterSize) {
  struct statvfs vfs {};
  ASSERT_EQ(statvfs(d("").c_str(), &vfs), 0);
  uint64_t cluster = vfs.f_bsize;
  write_file(d("ro.txt"), std::string(cluster + 1, 'r'));
  ASSERT_EQ(chmod(d("ro.txt").c_str(), 0444), 0);
  timespec times[2] = {{1600000000, 0}, {1600000123, 999999999}};
  ASSERT_EQ(utimensat(AT_FDCWD, d("sub/b.txt").c_str(), times, 0), 0);

  Recorder r;
  ASSERT_EQ(walk("D:\\", WALK_RECURSE, &r), 0);
  const Seen* a = r.find("D:\\a.txt");
  const Seen* b = r.find("D:\\sub\\b.txt");
  const Seen* c = r.find("D:\\sub\\deep\\c.txt");
  const Seen* ro = r.find("D:\\ro.txt");
  const Seen* sub = r.find("D:\\sub");
  ASSERT_TRUE(a && b && c && ro && sub);
  EXPECT_EQ(a->size, 1u);
  EXPECT_EQ(a->size_on_disk, cluster);
  EXPECT_EQ(c->size_on_disk, 0u);
  EXPECT_EQ(b->size, 8192u);
  EXPECT_EQ(b->size_on_disk, (8192 + cluster - 1) / cluster * cluster);
  EXPECT_EQ(ro->size_on_disk, 2 * cluster);
  EXPECT_EQ(b->mtime, 1600000123);
  EXPECT_EQ(a->mode, 0x81FFu);
  EXPECT_EQ(ro->mode, 0x8124u);
  EXPECT_EQ(sub->mode, 0x41FFu);
  EXPECT_EQ(sub->size, 0u);
  EXPECT_EQ(sub->size_on_disk, 0u);
}

TEST_F(WalkTest, RelativeStartPathsAreMadeAbsolute) {
  Recorder r;
  ASSERT_EQ(walk("d\\sub\\deep", 0, &r), 0);
  ASSERT_EQ(r.seen.size(), 1u);
  EXPECT_EQ(r.seen[0].path, "D:\\sub\\deep\\c.txt");
}

TEST_F(WalkTest, StartFailuresAndMissingRequests) {
  Recorder r;
  errno = 0;
  EXPECT_EQ(walk("D:\\missing", WALK_RECURSE, &r), -1);
  EXPECT_EQ(errno, ENOENT);
  errno = 0;
  EXPECT_EQ(walk("missing-relative", WALK_RECURSE, &r), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(walk("Q:\\unmapped", WALK_RECURSE, &r), -1);
  EXPECT_EQ(dir_walk("D:\\", nullptr), -1);
  walk_request no_callback{WALK_RECURSE, nullptr, nullptr, nullptr};
  EXPECT_EQ(dir_walk("D:\\missing", &no_callback), 0);
  EXPECT_TRUE(r.seen.empty());
}

TEST_F(WalkTest, MountPointsAreNeitherReportedNorEntered) {
  make_dirs(d("tmpfs"));
  make_dirs(d("bind"));
  fs_fixture::ScopedMount tmp("none", d("tmpfs"), "tmpfs", 0);
  fs_fixture::ScopedMount bind(d("other"), d("bind"), nullptr, MS_BIND);
  if (!tmp.mounted() && !bind.mounted()) GTEST_SKIP() << "mounting is not permitted here";
  if (tmp.mounted()) write_file(d("tmpfs/inside.txt"), "i");
  Recorder r;
  ASSERT_EQ(walk("D:\\", WALK_RECURSE, &r), 0);
  for (const Seen& s : r.seen) {
    if (tmp.mounted()) {
      EXPECT_EQ(s.path.find("tmpfs"), std::string::npos) << s.path;
    }
    if (bind.mounted()) {
      EXPECT_EQ(s.path.find("bind"), std::string::npos) << s.path;
    }
  }
  EXPECT_NE(r.find("D:\\other\\e.txt"), nullptr);
}

// Runs `body` in a child whose effective capabilities are empty, so permission bits bind
// even for root; answers the child's exit code.
template <typename Body>
int without_capabilities(Body body) {
  pid_t pid = fork();
  if (pid == 0) {
    cap_t none = cap_init();
    if (cap_set_proc(none) != 0) _exit(99);
    cap_free(none);
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

TEST_F(WalkTest, FoldersWithoutAccessArePassedOver) {
  write_file(d("locked/secret.txt"), "s");
  ASSERT_EQ(chmod(d("locked").c_str(), 0), 0);
  int code = without_capabilities([] {
    Recorder r;
    if (walk("D:\\", WALK_RECURSE, &r) != 0) return 1;
    if (r.find("D:\\locked\\secret.txt") != nullptr) return 2;
    if (r.find("D:\\sub\\deep\\c.txt") == nullptr) return 3;
    if (r.find("D:\\locked") == nullptr) return 4;
    return 0;
  });
  if (code == 99) GTEST_SKIP() << "cannot drop capabilities";
  EXPECT_EQ(code, 0);
}

TEST(RoundingTest, SizesRoundUpToWholeClusters) {
  EXPECT_EQ(round_up_to_cluster(1, 4096), 4096u);
  EXPECT_EQ(round_up_to_cluster(0, 4096), 0u);
  EXPECT_EQ(round_up_to_cluster(8192, 4096), 8192u);
  EXPECT_EQ(round_up_to_cluster(8193, 4096), 12288u);
  EXPECT_EQ(round_up_to_cluster(5, 0), 5u);
  EXPECT_EQ(round_up_to_cluster(5, -512), 5u);
  EXPECT_EQ(round_up_to_cluster(0xFFFFFFFFFull, 512), 0x1000000000ull);
}

TEST(FiletimeTest, ConvertsToUnixSeconds) {
  EXPECT_EQ(filetime_to_unix_seconds(116444736000000000ull), 0);
  EXPECT_EQ(filetime_to_unix_seconds(116444736000000000ull + 9999999), 0);
  EXPECT_EQ(filetime_to_unix_seconds(116444736000000000ull + 16000001230000000ull), 1600000123);
  // Past 2038 the seconds keep counting instead of wrapping.
  EXPECT_EQ(filetime_to_unix_seconds(116444736000000000ull + 40000000000000000ull), 4000000000ll);
}

}  // namespace

namespace {

// Makes `count` nested folders of `width`-character names below `base` without ever
// naming the whole path (it may pass the native limit); answers the deepest folder's fd.
int make_deep(const std::string& base, int count, size_t width) {
  int fd = open(base.c_str(), O_RDONLY | O_DIRECTORY);
  for (int i = 0; i < count && fd >= 0; ++i) {
    std::string name(width, static_cast<char>('a' + i % 26));
    if (mkdirat(fd, name.c_str(), 0755) != 0) return -1;
    int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
  }
  return fd;
}

TEST_F(WalkTest, NamesThatWouldOverflowThePathBufferArePassedOver) {
  make_dirs(d("deep"));
  // "D:\deep" + 20 levels of "\" + 200 characters = 4027 characters.
  int fd = make_deep(d("deep"), 20, 200);
  ASSERT_GE(fd, 0);
  std::string fits(UTIL_PATH_BUFFER - 1 - 4027 - 1, 'f');  // the path is exactly 4095 long
  std::string too_long = fits + "g";
  for (const std::string& name : {fits, too_long, std::string("short")}) {
    int f = openat(fd, name.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(f, 0);
    close(f);
  }
  close(fd);
  Recorder r;
  ASSERT_EQ(walk("D:\\deep", WALK_RECURSE, &r), 0);
  size_t longest = 0;
  bool saw_short = false;
  for (const Seen& s : r.seen) {
    longest = std::max(longest, s.path.size());
    saw_short |= s.path.size() > 5 && s.path.compare(s.path.size() - 6, 6, "\\short") == 0;
  }
  EXPECT_EQ(longest, UTIL_PATH_BUFFER - 1);
  EXPECT_TRUE(saw_short);
  EXPECT_EQ(r.seen.size(), 20u + 2u);
}

}  // namespace
