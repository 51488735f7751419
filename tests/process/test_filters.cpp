// filter= folders: include-only and exclude patterns, deferral to the parent's and the
// grandparent's filter, and the server folders created on demand below "/Today/".
#include <filesystem>

#include "tests/support/engine_world.h"

namespace engine_test {
namespace {

class FilterJobTest : public EngineWorld {
 protected:
  // path below the data folder -> kept by the filters?
  std::map<std::string, bool> make_tree() {
    std::map<std::string, bool> files = {
        // D:\f, flags 0 "*.doc": only .doc files, in any letter case.
        {"f/a.doc", true},
        {"f/b.txt", false},
        {"f/C.DOC", true},
        {"f/inner/one.doc", true},
        {"f/inner/two.doc", true},
        {"f/inner/three.txt", false},
        // D:\g, flags 1 "*.tmp; *.bak": everything but those.
        {"g/x.tmp", false},
        {"g/y.txt", true},
        {"g/z.bak", false},
        // D:\h, flags 1 "*.tmp".
        {"h/p.tmp", false},
        {"h/q.txt", true},
        // D:\h\sub, flags 2 "*.doc": a match keeps; no match defers to D:\h.
        {"h/sub/r.doc", true},
        {"h/sub/s.tmp", false},
        {"h/sub/t.txt", true},
        // D:\h\sub\deep has no filter: walked under D:\h\sub's.
        {"h/sub/deep/u.tmp", false},
        {"h/sub/deep/v.txt", true},
        {"h/sub/deep/w.doc", true},
        // D:\h\sub\deep\deeper, flags 2 "*.doc": its parent has no filter, so the
        // grandparent D:\h\sub decides, and defers in turn to D:\h.
        {"h/sub/deep/deeper/m.doc", true},
        {"h/sub/deep/deeper/n.tmp", false},
        {"h/sub/deep/deeper/o.txt", true},
    };
    int size = 10;
    for (const auto& [name, kept] : files) write_data(name, std::string(size++, 'k'));
    return files;
  }

  static std::string windows(std::string relative) {
    for (char& c : relative) {
      if (c == '/') c = '\\';
    }
    return "D:\\" + relative;
  }

  const std::string filters_ =
      "Dest=/5/Today\n"
      "filter=D:\\f|0|*.doc\n"
      "filter=D:\\g|1|*.tmp; *.bak\n"
      "filter=D:\\h|1|*.tmp\n"
      "filter=D:\\h\\sub|2|*.doc\n"
      "filter=D:\\h\\sub\\deep\\deeper|2|*.doc\n";
};

TEST_F(FilterJobTest, PatternsAndInheritanceChooseTheFiles) {
  std::map<std::string, bool> files = make_tree();
  start_server();
  write_schedule(filters_);
  JobRun r = run();
  ASSERT_EQ(r.status, 0) << r.log;

  std::map<std::string, std::string> on_server = regular_files(restore(5) + "/5/Today/D Drive");
  uint64_t kept_bytes = 0;
  int kept = 0;
  for (const auto& [name, keep] : files) {
    EXPECT_EQ(on_server.count(name), keep ? 1u : 0u) << name;
    std::string local = windows(name);
    if (keep) {
      ++kept;
      kept_bytes += testing_support::read_file(data(name)).size();
      EXPECT_TRUE(r.logged("FILE: Successfully backed up '" + local + "'")) << local << "\n"
                                                                            << r.log;
    } else {
      EXPECT_TRUE(r.logged("FILE: Skipping '" + local + "' due to filter.")) << local << "\n"
                                                                             << r.log;
    }
  }
  EXPECT_EQ(on_server.size(), static_cast<size_t>(kept));

  // A filter folder met inside another filter's walk is left to its own filter.
  EXPECT_TRUE(r.logged("do_dir ignore: D:\\h\\sub")) << r.log;
  EXPECT_TRUE(r.logged("do_dir ignore: D:\\h\\sub\\deep\\deeper")) << r.log;
  EXPECT_EQ(r.count_server("KFS_FILE_WOPEN /5/Today/D Drive/h/sub/r.doc"), 1) << r.server;

  // The sizing pass counts only what the filters keep.
  EXPECT_TRUE(r.logged("Calculated backup size: " + std::to_string(kept_bytes) + " bytes"))
      << r.log;
  EXPECT_EQ(r.board.total_bytes, kept_bytes);
  EXPECT_EQ(r.board.items_backed_up, static_cast<uint64_t>(kept));
  std::string mail = report();
  EXPECT_NE(mail.find("Files selected .......... " + std::to_string(kept)), std::string::npos)
      << mail;

  // Folders below the filter folders are created once per job, however many files they hold.
  EXPECT_EQ(r.count_server("KFS_MKDIR /5/Today/D Drive/f/inner "), 1) << r.server;
  EXPECT_EQ(r.count_server("KFS_MKDIR /5/Today/D Drive/h/sub/deep/deeper "), 1) << r.server;
}

TEST_F(FilterJobTest, FilteredFilesNeedATodayFolder) {
  write_data("f/a.doc", "kept by the pattern, but no place for it\n");
  start_server();
  write_schedule("Dest=/6\nfilter=D:\\f|0|*.doc\n");
  JobRun r = run();
  ASSERT_EQ(r.status, 0);
  EXPECT_TRUE(
      r.logged("FILE: ERROR: Failed to generate filter parent directories while on 'D:\\f\\a.doc'"))
      << r.log;
  EXPECT_EQ(r.count_server("KFS_FILE_WOPEN"), 0) << r.server;
}

}  // namespace
}  // namespace engine_test
