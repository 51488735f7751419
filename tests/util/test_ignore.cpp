#include <gtest/gtest.h>

#include <thread>

#include "tests/support/fs_fixture.h"
#include "util/fs.h"
#include "util/ignore.h"

using testing_support::make_dirs;
using testing_support::write_file;

namespace {

constexpr const char* kClassLine = "CLSID2={0AFACED1-E828-11D1-9187-B532F1E9575D}\r\n";

TEST(IgnoreNamesTest, NameTablesApplyByKind) {
  EXPECT_TRUE(is_ignore_path("D:\\Data\\PAGEFILE.SYS", false));
  EXPECT_FALSE(is_ignore_path("D:\\Data\\PAGEFILE.SYS", true));
  EXPECT_TRUE(is_ignore_path("C:\\hiberfil.sys", false));
  EXPECT_FALSE(is_ignore_path("C:\\hiberfil.sys.old", false));
  EXPECT_TRUE(is_ignore_path("E:\\Stuff\\Recycler", true));
  EXPECT_FALSE(is_ignore_path("E:\\Stuff\\Recycler", false));
  EXPECT_TRUE(is_ignore_path("E:\\$RECYCLE.BIN", true));
  EXPECT_TRUE(is_ignore_path("E:\\$Recycler", true));
  EXPECT_TRUE(is_ignore_path("E:\\System Volume Information", true));
  EXPECT_FALSE(is_ignore_path("E:\\System Volume Information2", true));
  EXPECT_TRUE(is_ignore_path("E:\\Docs\\Report.LNK", false));
  EXPECT_TRUE(is_ignore_path("E:\\Docs\\.lnk", false));
  EXPECT_FALSE(is_ignore_path("E:\\Docs\\old.lnk", true));
  EXPECT_FALSE(is_ignore_path("E:\\Docs\\report.lnk.txt", false));
  EXPECT_FALSE(is_ignore_path("E:\\Docs\\report.txt", false));
  // Only ASCII letters fold: this is not "pagefile.sys" in any code page.
  EXPECT_FALSE(
      is_ignore_path("E:\\pag\xc9"
                     "file.sys",
                     false));
  EXPECT_FALSE(is_ignore_path("E:\\", true));
  EXPECT_FALSE(is_ignore_path("E:\\", false));
}

TEST(IgnoreNamesTest, PathsWithoutBackslashAreExcludedAndSaySo) {
  testing::internal::CaptureStderr();
  EXPECT_TRUE(is_ignore_path("E:", true));
  EXPECT_TRUE(is_ignore_path("relative/name.txt", false));
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_EQ(said,
            "ERROR converting path name to file name: 'E:'\n"
            "ERROR converting path name to file name: 'relative/name.txt'\n");
  EXPECT_TRUE(is_ignore_path(nullptr, false));
}

TEST(IgnoreNamesTest, NoProfileRootMeansNoFolderShortcuts) {
  if (getenv("VARNO_PROFILE_ROOT") != nullptr) GTEST_SKIP();
  List* list = get_ignore_paths();
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list_count(list), 0);
  EXPECT_EQ(get_ignore_paths(), list);
}

class FolderShortcutTest : public fs_fixture::DriveD {};

TEST_F(FolderShortcutTest, DesktopIniFilesMarkTheirFolders) {
  write_file(d("profiles/bob/NetHood/Share1/desktop.ini"),
             std::string("[.ShellClassInfo]\r\n") + kClassLine);
  write_file(d("profiles/bob/NetHood/Share1/target.lnk"), "l");
  write_file(d("profiles/bob/NetHood/Share1/inside.txt"), "i");
  // Lower-case identifier, no final line feed, named in upper case.
  write_file(d("profiles/amy/Printers/P/DESKTOP.INI"),
             "clsid2={0aface d1}\nCLSID2={0afaced1-e828-11d1-9187-b532f1e9575d}");
  // Two lines name it: the folder is added once.
  write_file(d("profiles/amy/Twice/desktop.ini"), std::string(kClassLine) + kClassLine);
  // Not a folder shortcut, and not a desktop.ini.
  write_file(d("profiles/amy/Plain/desktop.ini"), "[.ShellClassInfo]\nIconResource=x\n");
  write_file(d("profiles/amy/Other/notdesktop.ini"), kClassLine);
  // A line longer than 512 bytes is read in pieces; the identifier in the second piece
  // still counts.
  write_file(d("profiles/amy/Long/desktop.ini"), std::string(512, 'x') + kClassLine);
  EXPECT_EQ(fs_fixture::run_child("FolderShortcutChild.*", dir_.path(),
                                  {"VARNO_PROFILE_ROOT=D:\\profiles"}),
            0);
}

// Run by the test above in a fresh process (the list is built once per process).
TEST(FolderShortcutChild, ListAndExclusions) {
  if (!fs_fixture::in_child()) GTEST_SKIP() << "runs as a child of FolderShortcutTest";
  // Many threads asking first: one build, one list.
  std::vector<std::thread> threads;
  std::vector<List*> seen(8);
  for (int i = 0; i < 8; ++i) threads.emplace_back([&seen, i] { seen[i] = get_ignore_paths(); });
  for (auto& t : threads) t.join();
  List* list = seen[0];
  ASSERT_NE(list, nullptr);
  for (List* l : seen) EXPECT_EQ(l, list);

  std::vector<std::string> got;
  for (int i = 0; i < list_count(list); ++i) got.push_back(list_item(list, i));
  std::sort(got.begin(), got.end());
  std::vector<std::string> expected = {"D:\\profiles\\amy\\Long", "D:\\profiles\\amy\\Printers\\P",
                                       "D:\\profiles\\amy\\Twice",
                                       "D:\\profiles\\bob\\NetHood\\Share1"};
  EXPECT_EQ(got, expected);

  EXPECT_TRUE(is_ignore_path("D:\\profiles\\bob\\NetHood\\Share1", true));
  EXPECT_TRUE(is_ignore_path("d:\\PROFILES\\BOB\\nethood\\share1", true));
  EXPECT_FALSE(is_ignore_path("D:\\profiles\\bob\\NetHood\\Share1\\inside.txt", false));
  EXPECT_FALSE(is_ignore_path("D:\\profiles\\bob\\NetHood", true));

  // A walk never enters a folder shortcut.
  std::vector<std::string> walked;
  walk_request request{WALK_RECURSE, nullptr,
                       [](const walk_entry* e, void* u) -> int {
                         static_cast<std::vector<std::string>*>(u)->push_back(e->path);
                         return WALK_CONTINUE;
                       },
                       &walked};
  ASSERT_EQ(dir_walk("D:\\profiles", &request), 0);
  for (const std::string& p : walked) EXPECT_EQ(p.find("Share1"), std::string::npos) << p;
  EXPECT_NE(std::find(walked.begin(), walked.end(), "D:\\profiles\\amy\\Plain\\desktop.ini"),
            walked.end());
}

TEST_F(FolderShortcutTest, AMissingProfileRootLeavesTheListEmpty) {
  EXPECT_EQ(fs_fixture::run_child("FolderShortcutEmptyChild.*", dir_.path(),
                                  {"VARNO_PROFILE_ROOT=D:\\nowhere"}),
            0);
}

TEST(FolderShortcutEmptyChild, ListIsEmpty) {
  if (!fs_fixture::in_child()) GTEST_SKIP() << "runs as a child of FolderShortcutTest";
  ASSERT_NE(get_ignore_paths(), nullptr);
  EXPECT_EQ(list_count(get_ignore_paths()), 0);
  EXPECT_FALSE(is_ignore_path("D:\\nowhere", true));
}

}  // namespace
