#include <gtest/gtest.h>

#include <string>

#include "agent/backup/filters.h"
#include "agent/backup/settings.h"
#include "agent/schedule/procjob.h"

namespace {

class FilterRulesTest : public ::testing::Test {
 protected:
  void SetUp() override { job_settings_reset(); }
  void TearDown() override { job_settings_free(); }
  void exclude(const char* path) {
    list_insert(job_settings().exclusions, path, strlen(path),
                list_count(job_settings().exclusions));
  }
  const ScheduleFilter* add_filter(const std::string& value) {
    int before = list_count(job_settings().filters);
    schedule_parse_filter(value.c_str());
    if (list_count(job_settings().filters) == before) return nullptr;
    return job_filter(before);
  }
};

TEST_F(FilterRulesTest, PrefixMatchNeedsAComponentBoundary) {
  EXPECT_EQ(path_prefix_match("D:\\Data", "D:\\Data"), 2);
  EXPECT_EQ(path_prefix_match("D:\\Data", "d:\\data\\x.txt"), 1);
  EXPECT_EQ(path_prefix_match("D:\\Data", "D:\\Database"), 0);
  EXPECT_EQ(path_prefix_match("D:", "D:\\anything\\below"), 1);
  EXPECT_EQ(path_prefix_match("D:", "D:"), 2);
  EXPECT_EQ(path_prefix_match("D:\\Data\\", "D:\\Data\\x"), 0);  // trailing backslash: only itself
  EXPECT_EQ(path_prefix_match("D:\\Data\\", "D:\\Data\\"), 2);
  EXPECT_EQ(path_prefix_match("D:\\Data\\x", "D:\\Data"), 0);
}

TEST_F(FilterRulesTest, ExcludedSourcesAndSyncPathsUseTheirOwnLists) {
  exclude("D:\\Data");
  EXPECT_TRUE(is_excluded_source("D:\\Data"));
  EXPECT_TRUE(is_excluded_source("D:\\data\\x.txt"));
  EXPECT_FALSE(is_excluded_source("D:\\Database"));
  EXPECT_FALSE(is_sync_path("D:\\Data"));
  list_insert(job_settings().sync_paths, "E:", 2, 0);
  EXPECT_TRUE(is_sync_path("e:\\x"));
}

TEST_F(FilterRulesTest, WildcardsAreCaseInsensitiveAndQuestionMarkIsLiteral) {
  EXPECT_TRUE(wildcard_match("Report.DOC", "*.doc"));
  EXPECT_TRUE(wildcard_match("", "*"));
  EXPECT_TRUE(wildcard_match("anything", "*"));
  EXPECT_TRUE(wildcard_match("a?c", "A?C"));
  EXPECT_FALSE(wildcard_match("abc", "a?c"));
  EXPECT_TRUE(wildcard_match("abcabd", "*abd"));  // needs a retry after a false start
  EXPECT_TRUE(wildcard_match("x.tar.gz", "*.*.gz"));
  EXPECT_FALSE(wildcard_match("x.gz.tar", "*.gz"));
  EXPECT_TRUE(wildcard_match("ab", "a**b"));
  EXPECT_FALSE(wildcard_match("", "a"));
  EXPECT_TRUE(wildcard_match("", ""));
  EXPECT_FALSE(wildcard_match("a", ""));
}

TEST_F(FilterRulesTest, ManyStarsDoNotExplode) {
  std::string name(4000, 'a');
  EXPECT_FALSE(wildcard_match(name.c_str(), "*a*a*a*a*a*a*a*a*a*a*a*a*b"));
  EXPECT_TRUE(wildcard_match((name + "b").c_str(), "*a*a*a*a*a*a*a*a*a*a*a*a*b"));
}

TEST_F(FilterRulesTest, FilterLinesParseAsTheScheduleWritesThem) {
  const ScheduleFilter* f = add_filter("C:\\Docs|1|*.tmp; ~*");
  ASSERT_NE(f, nullptr);
  EXPECT_STREQ(f->folder, "C:\\Docs");
  EXPECT_EQ(f->flags, 1);
  ASSERT_EQ(f->pattern_count, 2);
  EXPECT_STREQ(f->patterns[0], "*.tmp");
  EXPECT_STREQ(f->patterns[1], "~*");
  EXPECT_EQ(add_filter("C:\\Docs|-1|*.tmp"), nullptr);
  EXPECT_EQ(add_filter("C:\\Docs|1"), nullptr);
  EXPECT_EQ(add_filter("C:\\Docs|1|; ;"), nullptr);
  const ScheduleFilter* two = add_filter("C:\\x|0|*.tmp;;*.bak");
  ASSERT_NE(two, nullptr);
  EXPECT_EQ(two->pattern_count, 2);
  EXPECT_EQ(add_filter(std::string(300, 'f') + "|0|*"), nullptr);
  EXPECT_NE(add_filter(std::string(299, 'f') + "|0|*"), nullptr);
  std::string many = "C:\\m|0|";
  for (int i = 0; i < 100; ++i) many += "p" + std::to_string(i) + ";";
  const ScheduleFilter* m = add_filter(many);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->pattern_count, 100);
  EXPECT_STREQ(m->patterns[99], "p99");
}

TEST_F(FilterRulesTest, IncludeOnlyAndExcludeFilters) {
  const ScheduleFilter* keep_docs = add_filter("C:\\A|0|*.doc");
  EXPECT_FALSE(filter_excludes(keep_docs, "C:\\A\\report.doc"));
  EXPECT_TRUE(filter_excludes(keep_docs, "C:\\A\\report.txt"));
  const ScheduleFilter* drop_tmp = add_filter("C:\\B|1|*.tmp");
  EXPECT_TRUE(filter_excludes(drop_tmp, "C:\\B\\x.tmp"));
  EXPECT_FALSE(filter_excludes(drop_tmp, "C:\\B\\x.txt"));
  EXPECT_TRUE(filter_excludes(drop_tmp, "no-backslash.txt"));
}

TEST_F(FilterRulesTest, InheritanceDefersToTheNearestAncestorWithAFilter) {
  add_filter("C:\\Root|0|*.doc");             // grandparent: only .doc
  add_filter("C:\\Root\\Mid\\Leaf|3|*.tmp");  // excludes .tmp, otherwise defers
  const ScheduleFilter* leaf = job_filter(1);
  EXPECT_TRUE(filter_excludes(leaf, "C:\\Root\\Mid\\Leaf\\a.tmp"));
  EXPECT_FALSE(filter_excludes(leaf, "C:\\Root\\Mid\\Leaf\\a.doc"));  // grandparent keeps
  EXPECT_TRUE(filter_excludes(leaf, "C:\\Root\\Mid\\Leaf\\a.txt"));   // grandparent drops
  add_filter("c:\\root\\mid|1|*.txt");  // a parent now decides first, found without case
  EXPECT_TRUE(filter_excludes(leaf, "C:\\Root\\Mid\\Leaf\\a.txt"));
  EXPECT_FALSE(filter_excludes(leaf, "C:\\Root\\Mid\\Leaf\\a.xls"));
  const ScheduleFilter* orphan = add_filter("D:\\Alone\\Deep|2|*.doc");
  EXPECT_FALSE(filter_excludes(orphan, "D:\\Alone\\Deep\\x.bin"));  // no ancestor: kept
  EXPECT_TRUE(is_filter_folder("c:\\ROOT"));
  EXPECT_FALSE(is_filter_folder("C:\\Root\\Mid\\Leaf\\x"));
}

}  // namespace
