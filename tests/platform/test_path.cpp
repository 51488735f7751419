#include <gtest/gtest.h>

#include <cerrno>
#include <clocale>

#include "platform/error.h"
#include "platform/path.h"
#include "tests/support/test_support.h"

using testing_support::ScopedCwd;
using testing_support::TempDir;
using testing_support::write_file;

namespace {

std::string native(const std::string& w) {
  std::string out;
  errno = 0;
  if (plat_native_path(w, &out) != 0) return "<" + std::to_string(errno) + ">";
  return out;
}

std::string windows(const std::string& n) {
  std::string out;
  errno = 0;
  if (plat_windows_path(n, &out) != 0) return "<" + std::to_string(errno) + ">";
  return out;
}

class NativePathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    write_file(dir_.file("etc/drives"),
               "# test drives\n"
               "D:=/mnt/data/\n"
               "  e: = /srv/e  \n"
               "\\\\FS1\\Docs=/srv/docs\n"
               "\\\\fs1\\docs\\sub=/ignored\n"
               "not a line\n"
               "F:=relative/ignored\n"
               "G:=/mnt/data/deeper\n");
    cwd_ = std::make_unique<ScopedCwd>(dir_.path());
  }
  TempDir dir_;
  std::unique_ptr<ScopedCwd> cwd_;
};

TEST_F(NativePathTest, DriveLettersInAnyCase) {
  EXPECT_EQ(native("C:\\Users\\bob\\file.txt"), "/Users/bob/file.txt");
  EXPECT_EQ(native("c:\\Users"), "/Users");
  EXPECT_EQ(native("D:\\a\\b"), "/mnt/data/a/b");
  EXPECT_EQ(native("d:/a/b"), "/mnt/data/a/b");
  EXPECT_EQ(native("E:\\x"), "/srv/e/x");
  EXPECT_EQ(native("C:\\"), "/");
  EXPECT_EQ(native("C:"), "/");
  EXPECT_EQ(native("D:\\"), "/mnt/data");
  EXPECT_EQ(native("D:"), "/mnt/data");
}

TEST_F(NativePathTest, DoubledAndTrailingSeparatorsCollapse) {
  EXPECT_EQ(native("C:\\\\Users\\\\\\bob\\"), "/Users/bob");
  EXPECT_EQ(native("D:\\a\\\\b\\\\"), "/mnt/data/a/b");
  EXPECT_EQ(native("\\\\fs1\\\\docs\\\\x"), "/srv/docs/x");
}

TEST_F(NativePathTest, DotDotNeverClimbsAboveTheDriveRoot) {
  EXPECT_EQ(native("D:\\..\\..\\etc\\passwd"), "/mnt/data/etc/passwd");
  EXPECT_EQ(native("D:\\a\\.\\b\\..\\c"), "/mnt/data/a/c");
  EXPECT_EQ(native("\\\\fs1\\docs\\..\\x"), "/srv/docs/x");
}

TEST_F(NativePathTest, UncRootsWithAndWithoutTrailingBackslash) {
  EXPECT_EQ(native("\\\\fs1\\docs"), "/srv/docs");
  EXPECT_EQ(native("\\\\fs1\\docs\\"), "/srv/docs");
  EXPECT_EQ(native("\\\\FS1\\DOCS\\Reports\\q1.xls"), "/srv/docs/Reports/q1.xls");
  EXPECT_EQ(native("//fs1/docs/a"), "/srv/docs/a");
}

TEST_F(NativePathTest, UnmappedDrivesAndSharesAreNotFound) {
  EXPECT_EQ(native("Q:\\x"), "<2>");
  EXPECT_EQ(plat_last_error(), PLAT_ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(native("F:\\x"), "<2>");  // a relative native root is refused
  EXPECT_EQ(native("\\\\fs1\\other\\x"), "<2>");
  EXPECT_EQ(native("\\\\fs1"), "<2>");
  EXPECT_EQ(native("\\\\"), "<2>");
  EXPECT_EQ(native(""), "<2>");
}

TEST_F(NativePathTest, RelativePathsStayRelative) {
  EXPECT_EQ(native("etc\\drives"), "etc/drives");
  EXPECT_EQ(native("agent.log"), "agent.log");
  EXPECT_EQ(native("a\\\\b\\"), "a/b");
  EXPECT_EQ(native("..\\x"), "../x");
  EXPECT_EQ(native("\\Windows"), "/Windows");  // rooted: the current drive, C:
}

TEST_F(NativePathTest, LongPathPrefixIsDropped) {
  EXPECT_EQ(native("\\\\?\\D:\\a"), "/mnt/data/a");
}

TEST_F(NativePathTest, NativeToWindowsPicksTheLongestRoot) {
  EXPECT_EQ(windows("/home/bob/x"), "C:\\home\\bob\\x");
  EXPECT_EQ(windows("/"), "C:\\");
  EXPECT_EQ(windows("/mnt/data"), "D:\\");
  EXPECT_EQ(windows("/mnt/data/a/b"), "D:\\a\\b");
  EXPECT_EQ(windows("/mnt/database"), "C:\\mnt\\database");  // not a component boundary
  EXPECT_EQ(windows("/mnt/data/deeper/z"), "G:\\z");
  EXPECT_EQ(windows("/srv/docs/r.txt"), "\\\\fs1\\docs\\r.txt");
  EXPECT_EQ(windows("/srv/docs"), "\\\\fs1\\docs");
  EXPECT_EQ(windows("//mnt//data//a/"), "D:\\a");
  EXPECT_EQ(windows("rel/x"), "rel\\x");
}

TEST_F(NativePathTest, NamesHoldingABackslashHaveNoWindowsForm) {
  EXPECT_EQ(windows("/tmp/a\\b"), "<22>");
}

TEST_F(NativePathTest, RoundTripsThroughBothForms) {
  for (const char* w : {"C:\\a\\b c\\d.txt", "D:\\x", "E:\\", "\\\\fs1\\docs\\q"}) {
    std::string n = native(w);
    EXPECT_EQ(native(windows(n)), n) << w;
  }
}

TEST_F(NativePathTest, DriveMapListsLettersInOrderThenShares) {
  std::vector<DriveMapping> map = plat_drive_map();
  ASSERT_EQ(map.size(), 5u);
  EXPECT_EQ(map[0].windows_root, "C:");
  EXPECT_EQ(map[0].native_root, "/");
  EXPECT_EQ(map[1].windows_root, "D:");
  EXPECT_EQ(map[1].native_root, "/mnt/data");
  EXPECT_EQ(map[2].windows_root, "E:");
  EXPECT_EQ(map[3].windows_root, "G:");
  EXPECT_EQ(map[4].windows_root, "\\\\fs1\\docs");
}

TEST(PathMapTest, CanBeMappedAwayFromRoot) {
  TempDir dir;
  write_file(dir.file("etc/drives"), "C:=" + dir.path() + "/c\n");
  ScopedCwd cwd(dir.path());
  EXPECT_EQ(native("C:\\x"), dir.path() + "/c/x");
  EXPECT_EQ(windows(dir.path() + "/c/x"), "C:\\x");
  EXPECT_EQ(windows("/usr"), "<2>");
}

// A root the way an operator may type it must still prefix the resolved paths below it;
// a line with a NUL in it names no folder the system could find, and "\\?\" no share.
TEST(PathMapTest, RootsAreKeptInTheSystemsOwnSpelling) {
  TempDir dir;
  write_file(
      dir.file("etc/drives"),
      "E:=" + dir.path() + "//e/./\n" + std::string("F:=/f\0x\n", 8) + "G:=//\n" + "\\\\?\\s=/s\n");
  ScopedCwd cwd(dir.path());
  EXPECT_EQ(plat_drive_map().size(), 3u);  // C:, E: and G:; "\\?\s" is no share
  EXPECT_EQ(native("E:\\x"), dir.path() + "/e/x");
  EXPECT_EQ(windows(dir.path() + "/e/x"), "E:\\x");
  EXPECT_EQ(native("F:\\x"), "<2>");
  EXPECT_EQ(native("G:\\x"), "/x");
}

// A JVM runs under the user's locale; a single-byte one calls 0xE9 a letter, which is no
// drive (it indexed past the 26 drives).
TEST(PathMapTest, OnlyAsciiLettersAreDrivesWhateverTheLocale) {
  std::string previous = setlocale(LC_CTYPE, nullptr);
  bool single_byte = false;
  for (const char* name : {"en_US.ISO-8859-1", "de_DE.ISO-8859-1", "fr_FR.ISO-8859-1"}) {
    if (setlocale(LC_CTYPE, name) != nullptr) {
      single_byte = true;
      break;
    }
  }
  if (!single_byte) GTEST_SKIP() << "no single-byte locale installed";
  TempDir dir;
  write_file(dir.file("etc/drives"), "\xe9:=/e\nD:=/d\n");
  ScopedCwd cwd(dir.path());
  EXPECT_EQ(plat_drive_map().size(), 2u);
  EXPECT_EQ(native("\xe9:\\x"), "\xe9:/x");  // relative, as any other name
  EXPECT_EQ(native("d:\\x"), "/d/x");
  setlocale(LC_CTYPE, previous.c_str());
}

TEST(PathMapTest, WithoutAFileOnlyCIsMapped) {
  TempDir dir;
  ScopedCwd cwd(dir.path());
  std::vector<DriveMapping> map = plat_drive_map();
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map[0].windows_root, "C:");
  EXPECT_EQ(native("D:\\x"), "<2>");
}

}  // namespace
