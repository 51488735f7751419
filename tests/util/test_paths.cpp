#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

#include "platform/error.h"
#include "platform/path.h"
#include "tests/support/fs_fixture.h"
#include "util/fs.h"

using testing_support::make_dirs;
using testing_support::write_file;

namespace {

class FsHelpersTest : public fs_fixture::DriveD {};

std::string absolute(const char* path) {
  char out[UTIL_PATH_BUFFER];
  errno = 0;
  if (make_absolute_path(path, out) == nullptr) return "<" + std::to_string(errno) + ">";
  return out;
}

std::string parent(const char* path, int* length = nullptr) {
  char out[UTIL_PATH_BUFFER];
  memset(out, 'x', sizeof(out));
  int n = parent_directory(out, path);
  if (length != nullptr) *length = n;
  EXPECT_EQ(static_cast<size_t>(n), strlen(out));
  return out;
}

std::set<std::string> listing(const char* path) {
  std::set<std::string> names;
  PlatFindData data;
  PlatFindHandle find = find_first(path, &data);
  if (!find) return {"<none>"};
  do {
    names.insert(data.name);
  } while (plat_env()->find_next(find.get(), &data) == 0);
  return names;
}

TEST_F(FsHelpersTest, AbsolutePathsAreCopiedAndRelativeFoldersResolved) {
  make_dirs(d("x/y"));
  EXPECT_EQ(absolute("D:\\not\\checked\\at\\all"), "D:\\not\\checked\\at\\all");
  EXPECT_EQ(absolute("\\\\srv\\share\\x"), "\\\\srv\\share\\x");
  EXPECT_EQ(absolute("d\\x\\y"), "D:\\x\\y");
  EXPECT_EQ(absolute("d\\x\\..\\x\\.\\y\\"), "D:\\x\\y");
  EXPECT_EQ(absolute("d"), "D:\\");
  EXPECT_EQ(absolute("d\\missing"), "<" + std::to_string(ENOENT) + ">");
  write_file(d("file.txt"), "f");
  EXPECT_EQ(absolute("d\\file.txt"), "<" + std::to_string(ENOTDIR) + ">");
  EXPECT_EQ(absolute(""), "<" + std::to_string(ENOENT) + ">");
}

TEST_F(FsHelpersTest, AbsolutePathsNeverMoveTheCurrentDirectory) {
  make_dirs(d("x/y"));
  std::string before = std::filesystem::current_path();
  EXPECT_EQ(absolute("d\\x\\y"), "D:\\x\\y");
  EXPECT_EQ(absolute("d\\missing"), "<" + std::to_string(ENOENT) + ">");
  EXPECT_EQ(std::filesystem::current_path(), before);
}

TEST_F(FsHelpersTest, LinkedFoldersResolveToTheirTarget) {
  make_dirs(d("real/inner"));
  ASSERT_EQ(symlink(d("real").c_str(), d("alias").c_str()), 0);
  EXPECT_EQ(absolute("d\\alias\\inner"), "D:\\real\\inner");
}

TEST_F(FsHelpersTest, AbsolutePathsThatDoNotFitAreRefused) {
  std::string long_path = "D:\\" + std::string(UTIL_PATH_BUFFER, 'a');
  EXPECT_EQ(absolute(long_path.c_str()), "<" + std::to_string(ERANGE) + ">");
  std::string just_fits = "D:\\" + std::string(UTIL_PATH_BUFFER - 4, 'a');
  EXPECT_EQ(absolute(just_fits.c_str()), just_fits);
}

TEST_F(FsHelpersTest, ParentDirectories) {
  int n = -1;
  EXPECT_EQ(parent("D:\\", &n), "");
  EXPECT_EQ(n, 0);
  EXPECT_EQ(parent("D:\\top", &n), "D:\\");
  EXPECT_EQ(n, 3);
  EXPECT_EQ(parent("D:\\top\\"), "D:\\");
  EXPECT_EQ(parent("D:\\a\\b\\c"), "D:\\a\\b");
  EXPECT_EQ(parent("D:\\a\\b\\c\\"), "D:\\a\\b");
  EXPECT_EQ(parent("\\\\srv\\share\\dir"), "\\\\srv\\share");
  EXPECT_EQ(parent("\\\\srv"), "\\\\srv");
  make_dirs(d("rel/child"));
  EXPECT_EQ(parent("d\\rel\\child"), "D:\\rel");
  EXPECT_EQ(parent("d\\no-such-folder", &n), "");
  EXPECT_EQ(n, 0);
}

TEST_F(FsHelpersTest, FindFirstCollapsesDoubledBackslashes) {
  write_file(d("x/one.txt"), "1");
  write_file(d("x/y/two.txt"), "2");
  std::set<std::string> clean = listing("D:\\x\\y");
  EXPECT_EQ(clean, (std::set<std::string>{".", "..", "two.txt"}));
  EXPECT_EQ(listing("D:\\\\x\\\\\\y"), clean);
  EXPECT_EQ(listing("D:\\x\\y\\"), clean);
  EXPECT_EQ(listing("D:\\x\\y\\\\"), clean);
  EXPECT_EQ(listing("d\\\\x\\y"), clean);
  EXPECT_EQ(listing("D:\\"), (std::set<std::string>{".", "..", "x"}));
}

TEST_F(FsHelpersTest, FindFirstOfTheCurrentDirectoryAndOfNothing) {
  std::set<std::string> here = listing(".");
  EXPECT_TRUE(here.count("etc"));
  EXPECT_TRUE(here.count("d"));
  EXPECT_EQ(listing(""), std::set<std::string>{"<none>"});
  PlatFindData data;
  EXPECT_FALSE(find_first("D:\\missing", &data));
  EXPECT_EQ(plat_last_error(), PLAT_ERROR_PATH_NOT_FOUND);
}

TEST_F(FsHelpersTest, ClusterSizeComesFromTheVolumeAndIsCachedPerLetter) {
  struct statvfs vfs {};
  ASSERT_EQ(statvfs(d("").c_str(), &vfs), 0);
  EXPECT_EQ(get_cluster_size("D:\\anything\\below"), static_cast<int>(vfs.f_bsize));
  EXPECT_EQ(get_cluster_size("d:"), static_cast<int>(vfs.f_bsize));
  EXPECT_EQ(get_cluster_size("relative\\path"), static_cast<int>(vfs.f_bsize));
  EXPECT_EQ(get_cluster_size(""), 0);
  EXPECT_EQ(get_cluster_size(nullptr), 0);
  EXPECT_EQ(get_cluster_size("Q:\\unmapped"), 0);
  EXPECT_EQ(get_cluster_size("\\\\nosuch\\share\\x"), 0);

  // The figure stays with the letter for the process, even when the map changes.
  write_file(dir_.file("etc/drives"), "D:=/nonexistent\n");
  plat_drive_map_reload();
  EXPECT_EQ(get_cluster_size("D:\\"), static_cast<int>(vfs.f_bsize));
  // A failed answer is not kept.
  EXPECT_EQ(get_cluster_size("E:\\"), 0);
  write_file(dir_.file("etc/drives"), "E:=" + d("") + "\n");
  plat_drive_map_reload();
  EXPECT_EQ(get_cluster_size("E:\\"), static_cast<int>(vfs.f_bsize));
}

TEST_F(FsHelpersTest, ClusterSizeOfAShare) {
  write_file(dir_.file("etc/drives"), "\\\\fs1\\docs=" + d("") + "\n");
  plat_drive_map_reload();
  struct statvfs vfs {};
  ASSERT_EQ(statvfs(d("").c_str(), &vfs), 0);
  EXPECT_EQ(get_cluster_size("\\\\fs1\\docs\\deep\\file"), static_cast<int>(vfs.f_bsize));
  EXPECT_EQ(get_cluster_size("\\\\fs1\\docs"), static_cast<int>(vfs.f_bsize));
}

class VolumesTest : public fs_fixture::DriveD {};

std::vector<VolumeRecord> volumes() {
  List* list = get_volumes();
  std::vector<VolumeRecord> out;
  for (int i = 0; i < list_count(list); ++i) {
    EXPECT_EQ(list_item_length(list, i), sizeof(VolumeRecord));
    out.push_back(*reinterpret_cast<const VolumeRecord*>(list_item(list, i)));
  }
  list_free(list);
  return out;
}

TEST_F(VolumesTest, DriveMapInLetterOrderWithFloppiesUntouched) {
  write_file(dir_.file("etc/drives"), "B:=/nonexistent-b\nA:=" + d("") + "\nD:=" + d("") +
                                          "\nG:=/nonexistent-g\n\\\\fs1\\docs=/tmp\n");
  plat_drive_map_reload();
  std::vector<VolumeRecord> v = volumes();
  ASSERT_EQ(v.size(), 5u);
  EXPECT_STREQ(v[0].root, "A:\\");
  EXPECT_STREQ(v[1].root, "B:\\");
  EXPECT_STREQ(v[2].root, "C:\\");
  EXPECT_STREQ(v[3].root, "D:\\");
  EXPECT_STREQ(v[4].root, "G:\\");
  for (int i : {0, 1}) {
    EXPECT_EQ(v[i].type, VOLUME_FLOPPY);
    EXPECT_STREQ(v[i].label, "");
    EXPECT_STREQ(v[i].serial, "");
    EXPECT_STREQ(v[i].file_system, "");
  }
  EXPECT_EQ(v[3].type, VOLUME_FIXED);
  // The serial is the file-system id folded to 32 bits.
  struct statfs sf {};
  ASSERT_EQ(statfs(d("").c_str(), &sf), 0);
  uint32_t words[2];
  memcpy(words, &sf.f_fsid, sizeof(words));
  uint32_t serial = words[0] ^ words[1];
  char expected[16];
  snprintf(expected, sizeof(expected), "%04X-%04X", serial >> 16, serial & 0xFFFF);
  EXPECT_STREQ(v[3].serial, expected);
  EXPECT_STRNE(v[3].file_system, "");
  // A letter whose folder is missing: no root directory, empty facts.
  EXPECT_EQ(v[4].type, VOLUME_UNKNOWN);
  EXPECT_STREQ(v[4].serial, "0000-0000");
  EXPECT_STREQ(v[4].file_system, "");
}

TEST_F(VolumesTest, MemoryFileSystemsAreRamDisks) {
  make_dirs(d("ram"));
  if (mount("none", d("ram").c_str(), "tmpfs", 0, nullptr) != 0)
    GTEST_SKIP() << "mounting is not permitted here";
  write_file(dir_.file("etc/drives"), "R:=" + d("ram") + "\n");
  plat_drive_map_reload();
  std::vector<VolumeRecord> v = volumes();
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(v[1].type, VOLUME_RAMDISK);
  EXPECT_STREQ(v[1].file_system, "tmpfs");
}

TEST_F(VolumesTest, CommandLineListsOneLinePerVolume) {
  write_file(dir_.file("etc/drives"), "A:=/nonexistent-a\nD:=" + d("") + "\n");
  plat_drive_map_reload();
  std::string expected;
  for (const VolumeRecord& v : volumes()) {
    expected += std::string(v.root) + "\t" + std::to_string(v.type) + "\t" + v.label + "\t" +
                v.serial + "\t" + v.file_system + "\n";
  }
  std::string out = dir_.file("volumes.txt");
  std::string ctl = std::string(VARNO_BUILD_DIR) + "/tools/varno-ctl";
  ASSERT_EQ(testing_support::run_command("'" + ctl + "' volumes > '" + out + "'"), 0);
  EXPECT_EQ(testing_support::read_file(out), expected);
  EXPECT_EQ(expected.substr(0, 9), "A:\\\t1\t\t\t\n");
  EXPECT_EQ(testing_support::run_command("'" + ctl + "' volumes extra 2>/dev/null"), 2);
}

}  // namespace
