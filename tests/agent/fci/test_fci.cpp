// The change index against real files in a temporary working directory.
#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "agent/backup/fci/fci.h"
#include "tests/support/fci_test_fs.h"
#include "tests/support/fci_test_util.h"
#include "tests/support/test_support.h"

using namespace fci_test;
using testing_support::file_exists;
using testing_support::read_file;
using testing_support::ScopedCwd;
using testing_support::TempDir;
using testing_support::write_file;

namespace {

constexpr char kSchedule[] = "job.kbs";

class FciTest : public ::testing::Test {
 protected:
  FciTest() : cwd_(dir_.path()) {}
  std::string at(const std::string& name) const { return dir_.file(name); }
  TempDir dir_;
  ScopedCwd cwd_;
};

TEST_F(FciTest, DaylightSavingShiftOfExactlyOneHourIsCurrentOneSecondMoreIsNot) {
  const uint32_t t = 1700000000;
  const uint64_t size = 0x100000123ull;
  write_index(kSchedule, 500, {{"C:\\a\\report.doc", t, size}});
  Fci index;
  ASSERT_EQ(fci_open(&index, kSchedule, 500), 0) << index.error;
  EXPECT_EQ(current_of(&index, "C:\\a\\report.doc", t, size), 1);
  EXPECT_EQ(current_of(&index, "C:\\a\\report.doc", t + 3600, size), 1);
  EXPECT_EQ(current_of(&index, "C:\\a\\report.doc", t - 3600, size), 1);
  EXPECT_EQ(current_of(&index, "C:\\a\\report.doc", t + 3601, size), 0);
  EXPECT_EQ(current_of(&index, "C:\\a\\report.doc", t - 3601, size), 0);
  EXPECT_EQ(current_of(&index, "C:\\a\\report.doc", t + 1, size), 0);
  EXPECT_EQ(current_of(&index, "C:\\a\\report.doc", t + 7200, size), 0);
  // Sizes compare in all 64 bits.
  EXPECT_EQ(current_of(&index, "C:\\a\\report.doc", t, size & 0xffffffffu), 0);
  EXPECT_EQ(current_of(&index, "C:\\a\\report.doc", t, size + 1), 0);
  // The key is the path exactly as given.
  EXPECT_EQ(current_of(&index, "c:\\a\\report.doc", t, size), 0);
  fci_close(&index, 0);
}

TEST_F(FciTest, TimesNearTheEndsOfTheRangeDoNotWrap) {
  write_index(kSchedule, 9, {{"low", 100, 1}, {"high", 0xffffffffu, 2}});
  Fci index;
  ASSERT_EQ(fci_open(&index, kSchedule, 9), 0);
  EXPECT_EQ(current_of(&index, "low", 100u - 3600u, 1), 0);  // 32-bit wrap is not one hour
  EXPECT_EQ(current_of(&index, "high", 0xffffffffu - 3600u, 2), 1);
  EXPECT_EQ(current_of(&index, "high", 3599u, 2), 0);
}

TEST_F(FciTest, StampMismatchInvalidatesAndDeletesTheReadOnlyFile) {
  write_index(kSchedule, 100, make_items(50));
  ASSERT_TRUE(file_exists(at("job.fci")));
  Fci index;
  EXPECT_EQ(fci_open(&index, kSchedule, 101), -1);
  EXPECT_STREQ(index.error, "FCI invalid: out of sync: client(100) != server(101)");
  EXPECT_FALSE(file_exists(at("job.fci")));
  EXPECT_FALSE(file_exists(at("job.fci.ro")));
  for (const Item& item : make_items(50))
    EXPECT_EQ(current_of(&index, item.path, item.time, item.size), 0);
  fci_close(&index, 0);

  // A changed schedule forces the expected stamp to 0: just as invalid.
  write_index(kSchedule, 100, make_items(5));
  Fci again;
  EXPECT_EQ(fci_open(&again, kSchedule, 0), -1);
  EXPECT_STREQ(again.error, "FCI invalid: out of sync: client(100) != server(0)");
  EXPECT_FALSE(file_exists(at("job.fci.ro")));
}

TEST_F(FciTest, StampsCompareAsThirtyTwoBitsAndPrintSigned) {
  write_index(kSchedule, 0x80000001u, make_items(3));
  Fci index;
  EXPECT_EQ(fci_open(&index, kSchedule, 0x80000001u), 0) << index.error;
  fci_close(&index, 0);
  Fci other;
  EXPECT_EQ(fci_open(&other, kSchedule, 7), -1);
  EXPECT_STREQ(other.error, "FCI invalid: out of sync: client(-2147483647) != server(7)");
}

TEST_F(FciTest, HeaderProblemsAreReportedAndTheFileIsDeleted) {
  struct Case {
    std::string bytes;
    const char* text;  // null: the error must be empty
  } cases[] = {
      {raw_header(1, 42), "FCI invalid: empty record set"},
      {raw_header(1, 42).substr(0, 5), "FCI invalid: reading header failed: "},
      {"", "FCI invalid: reading header failed: "},
      {raw_header(2, 42) + std::string(32, 'x'), nullptr},
      {raw_header(0x01000000, 42) + std::string(32, 'x'), nullptr},
  };
  for (const Case& c : cases) {
    write_file(at("job.fci"), c.bytes);
    Fci index;
    EXPECT_EQ(fci_open(&index, kSchedule, 42), -1);
    if (c.text == nullptr) {
      EXPECT_STREQ(index.error, "");
    } else {
      EXPECT_EQ(std::string(index.error).rfind(c.text, 0), 0u) << index.error;
    }
    EXPECT_EQ(index.stamp, 0);
    EXPECT_EQ(index.fd, -1);
    // An empty record set is the only case where the file is kept (as the run's ".ro").
    EXPECT_EQ(file_exists(at("job.fci.ro")), c.bytes == raw_header(1, 42)) << index.error;
    EXPECT_FALSE(file_exists(at("job.fci")));
    fci_close(&index, 0);
    std::filesystem::remove(at("job.fci.ro"));
  }
}

TEST_F(FciTest, MissingIndexIsUninitialized) {
  Fci index;
  EXPECT_EQ(fci_open(&index, kSchedule, 1), -1);
  EXPECT_STREQ(index.error, "FCI invalid: unintialized");
  // Records are still collected and become the next index.
  ASSERT_EQ(fci_add(&index, "C:\\x", 5, 6), 0);
  fci_close(&index, 77);
  Fci next;
  ASSERT_EQ(fci_open(&next, kSchedule, 77), 0) << next.error;
  EXPECT_EQ(current_of(&next, "C:\\x", 5, 6), 1);
}

TEST_F(FciTest, LeftoverReadOnlyFileWinsOverAnUnfinishedIndex) {
  write_index(kSchedule, 300, {{"old", 1, 1}});
  std::filesystem::rename(at("job.fci"), at("job.fci.ro"));
  write_file(at("job.fci"), raw_header(1, 301) + std::string(64, 'z'));
  Fci index;
  ASSERT_EQ(fci_open(&index, kSchedule, 300), 0) << index.error;
  EXPECT_FALSE(file_exists(at("job.fci")));
  EXPECT_TRUE(file_exists(at("job.fci.ro")));
  EXPECT_EQ(current_of(&index, "old", 1, 1), 1);
}

TEST_F(FciTest, RenameFailureDeletesTheIndex) {
  write_index(kSchedule, 4, {{"a", 1, 1}});
  FaultEnv fs;
  fs.fail_if([](FaultEnv::Kind kind, std::string_view) { return kind == FaultEnv::kRename; });
  Fci index;
  index.env = &fs;
  EXPECT_EQ(fci_open(&index, kSchedule, 4), -1);
  EXPECT_STREQ(index.error, "FCI invalid: rename read-only fci failed: Input/output error");
  EXPECT_FALSE(file_exists(at("job.fci")));
}

TEST_F(FciTest, OpenFailureKeepsTheReadOnlyFile) {
  write_index(kSchedule, 4, {{"a", 1, 1}});
  FaultEnv fs;
  fs.fail_if([](FaultEnv::Kind kind, std::string_view path) {
    return kind == FaultEnv::kOpen && path.ends_with(".ro");
  });
  Fci index;
  index.env = &fs;
  EXPECT_EQ(fci_open(&index, kSchedule, 4), -1);
  EXPECT_STREQ(index.error, "FCI invalid: open read-only fci failed: Input/output error");
  EXPECT_TRUE(file_exists(at("job.fci.ro")));
  fci_close(&index, 0);
  // The next run uses it again.
  Fci next;
  ASSERT_EQ(fci_open(&next, kSchedule, 4), 0) << next.error;
  EXPECT_EQ(current_of(&next, "a", 1, 1), 1);
}

TEST_F(FciTest, ShortLeadRecordIsReported) {
  std::string body;
  uint8_t key[FCI_KEY_SIZE];
  for (int i = 0; i < 128; ++i) {
    sha1_of("k" + std::to_string(i), key);
    body += raw_record(key, 1, 1);
  }
  write_file(at("job.fci"), raw_header(1, 8) + body + std::string(20, '\0'));  // page 1: 20 bytes
  Fci index;
  EXPECT_EQ(fci_open(&index, kSchedule, 8), -1);
  EXPECT_EQ(std::string(index.error), "FCI invalid: reading lead record 1: No data available");
  EXPECT_EQ(index.leads, nullptr);
}

TEST_F(FciTest, KeyBelowTheFirstLeadCostsNoPageRead) {
  // Only paths whose key starts at 0x80 or above, and probes below.
  std::vector<Item> items;
  std::vector<std::string> low;
  uint8_t key[FCI_KEY_SIZE];
  for (int i = 0; items.size() < 400 || low.size() < 50; ++i) {
    std::string p = "C:\\p\\" + std::to_string(i);
    sha1_of(p, key);
    if (key[0] >= 0x80 && items.size() < 400) items.push_back({p, 10, 20});
    if (key[0] < 0x80 && low.size() < 50) low.push_back(p);
  }
  write_index(kSchedule, 6, items);
  PageCountingEnv fs;
  Fci index;
  index.env = &fs;
  ASSERT_EQ(fci_open(&index, kSchedule, 6), 0) << index.error;
  EXPECT_EQ(index.lead_count, 4u);
  EXPECT_EQ(fs.reads(), 1 + 4);  // header and one lead per page
  fs.reset_counts();
  for (const std::string& p : low) EXPECT_EQ(current_of(&index, p, 10, 20), 0);
  EXPECT_EQ(fs.reads(), 0);
  EXPECT_EQ(fs.page_reads, 0);
  // A hit reads its page once, and only once.
  for (int round = 0; round < 2; ++round) {
    for (const Item& item : items) EXPECT_EQ(current_of(&index, item.path, 10, 20), 1);
  }
  EXPECT_EQ(fs.page_reads, 4);
}

TEST_F(FciTest, ExactLeadMatchNeedsNoPageRead) {
  std::vector<Item> items = make_items(300);
  write_index(kSchedule, 6, items);
  PageCountingEnv fs;
  Fci index;
  index.env = &fs;
  ASSERT_EQ(fci_open(&index, kSchedule, 6), 0);
  fs.reset_counts();
  int leads_found = 0;
  for (const Item& item : items) {
    uint8_t key[FCI_KEY_SIZE];
    sha1_of(item.path, key);
    for (uint32_t p = 0; p < index.lead_count; ++p) {
      if (memcmp(index.leads + p * FCI_RECORD_SIZE, key, FCI_KEY_SIZE) == 0) {
        EXPECT_EQ(current_of(&index, item.path, item.time, item.size), 1);
        ++leads_found;
      }
    }
  }
  EXPECT_EQ(leads_found, 3);
  EXPECT_EQ(fs.reads(), 0);
}

TEST_F(FciTest, DuplicateKeysAcceptWhicheverPasses) {
  Fci index;
  (void)fci_open(&index, kSchedule, 0);
  ASSERT_EQ(fci_add(&index, "C:\\dup", 1000, 5), 0);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(fci_add(&index, item_path(i).c_str(), 1, 1), 0);
  ASSERT_EQ(fci_add(&index, "C:\\dup", 2000, 5), 0);
  fci_close(&index, 12);
  Fci reader;
  ASSERT_EQ(fci_open(&reader, kSchedule, 12), 0);
  EXPECT_EQ(current_of(&reader, "C:\\dup", 1000, 5), 1);
  EXPECT_EQ(current_of(&reader, "C:\\dup", 2000, 5), 1);
  EXPECT_EQ(current_of(&reader, "C:\\dup", 1500, 5), 0);
}

TEST_F(FciTest, DuplicateRunSpanningPagesIsSearchedWhole) {
  // One key repeated 300 times (times 0..299) between other keys: the run covers at least
  // two page boundaries, so it begins before a lead and goes on past several.
  uint8_t dup[FCI_KEY_SIZE];
  sha1_of("C:\\many", dup);
  std::vector<std::string> records;
  uint8_t key[FCI_KEY_SIZE];
  for (int i = 0; i < 500; ++i) {
    sha1_of("other" + std::to_string(i), key);
    records.push_back(raw_record(key, 1, 1));
  }
  for (uint32_t t = 0; t < 300; ++t) records.push_back(raw_record(dup, t * 10000, 9));
  std::stable_sort(records.begin(), records.end(), [](const std::string& a, const std::string& b) {
    return a.compare(0, 20, b, 0, 20) < 0;
  });
  std::string body;
  for (const std::string& r : records) body += r;
  write_file(at("job.fci"), raw_header(1, 3) + body);
  Fci index;
  ASSERT_EQ(fci_open(&index, kSchedule, 3), 0);
  for (uint32_t t = 0; t < 300; ++t)
    EXPECT_EQ(current_of(&index, "C:\\many", t * 10000, 9), 1) << t;
  EXPECT_EQ(current_of(&index, "C:\\many", 5, 9), 0);
  for (int i = 0; i < 500; ++i) EXPECT_EQ(current_of(&index, "other" + std::to_string(i), 1, 1), 1);
}

TEST_F(FciTest, ZeroStampKeepsTheReadOnlyFileAndWritesNoIndex) {
  write_index(kSchedule, 55, {{"kept", 3, 4}});
  Fci index;
  ASSERT_EQ(fci_open(&index, kSchedule, 55), 0);
  ASSERT_EQ(fci_add(&index, "new", 1, 1), 0);
  fci_close(&index, 0);
  EXPECT_TRUE(file_exists(at("job.fci.ro")));
  EXPECT_FALSE(file_exists(at("job.fci")));
  EXPECT_FALSE(file_exists(at("$FCISORT$")));
  fci_close(&index, 99);  // a second close does nothing
  EXPECT_FALSE(file_exists(at("job.fci")));
  Fci next;
  ASSERT_EQ(fci_open(&next, kSchedule, 55), 0) << next.error;
  EXPECT_EQ(current_of(&next, "kept", 3, 4), 1);
  EXPECT_EQ(current_of(&next, "new", 1, 1), 0);
}

TEST_F(FciTest, CloseReplacesTheIndexAndCleansUp) {
  write_index(kSchedule, 10, make_items(20));
  Fci index;
  ASSERT_EQ(fci_open(&index, kSchedule, 10), 0);
  EXPECT_TRUE(file_exists(at("job.fci.ro")));
  EXPECT_TRUE(std::filesystem::is_directory(at("$FCISORT$")));
  ASSERT_EQ(fci_add(&index, "only", 1, 2), 0);
  EXPECT_EQ(current_of(&index, "only", 1, 2), 0);  // this run's records are not read back
  fci_close(&index, 11);
  EXPECT_FALSE(file_exists(at("job.fci.ro")));
  EXPECT_FALSE(file_exists(at("job.fci.tmp")));
  EXPECT_FALSE(file_exists(at("$FCISORT$")));
  EXPECT_EQ(read_file(at("job.fci")).size(), 8u + 32u);
  EXPECT_EQ(std::filesystem::current_path(), std::filesystem::path(dir_.path()));
  Fci next;
  ASSERT_EQ(fci_open(&next, kSchedule, 11), 0);
  EXPECT_EQ(current_of(&next, "only", 1, 2), 1);
  EXPECT_EQ(current_of(&next, make_items(1)[0].path, make_items(1)[0].time, make_items(1)[0].size),
            0);
}

TEST_F(FciTest, StaleSortFilesAreNotTakenIntoTheNextIndex) {
  uint8_t key[FCI_KEY_SIZE];
  sha1_of("stale", key);
  write_file(at("$FCISORT$/" + std::to_string(key[0])), raw_record(key, 1, 1));
  Fci index;
  (void)fci_open(&index, kSchedule, 0);
  EXPECT_FALSE(file_exists(at("$FCISORT$/" + std::to_string(key[0]))));
  uint8_t fresh[FCI_KEY_SIZE];
  sha1_of("fresh", fresh);
  ASSERT_NE(fresh[0], key[0] ^ 0x55);
  ASSERT_EQ(fci_add(&index, "fresh", 1, 1), 0);
  // Appears after the open, as if another index in this directory wrote it.
  write_file(at("$FCISORT$/" + std::to_string(key[0] ^ 0x55)), raw_record(key, 1, 1));
  fci_close(&index, 2);
  Fci next;
  ASSERT_EQ(fci_open(&next, kSchedule, 2), 0);
  EXPECT_EQ(current_of(&next, "stale", 1, 1), 0);
  EXPECT_EQ(current_of(&next, "fresh", 1, 1), 1);
}

TEST_F(FciTest, IndexNamesComeFromTheScheduleName) {
  testing_support::make_dirs(at("my.dir"));
  write_index("my.dir\\plan.kbs", 1, {{"a", 1, 1}});
  EXPECT_TRUE(file_exists(at("my.dir/plan.fci")));
  write_index("my.dir\\noext", 1, {{"a", 1, 1}});
  EXPECT_TRUE(file_exists(at("my.dir/noext.fci")));
  EXPECT_FALSE(file_exists(at("my.fci")));
  // Absolute Windows-form path through the drive map (C: is "/").
  std::string absolute = "C:" + dir_.path() + "/abs.two.kbs";
  for (char& c : absolute)
    if (c == '/') c = '\\';
  write_index(absolute.c_str(), 1, {{"a", 1, 1}});
  EXPECT_TRUE(file_exists(at("abs.two.fci")));
}

TEST_F(FciTest, OverlongScheduleNameIsInvalidButHarmless) {
  std::string name(600, 'n');
  Fci index;
  EXPECT_EQ(fci_open(&index, name.c_str(), 1), -1);
  EXPECT_STREQ(index.error, "FCI invalid: index path too long");
  EXPECT_EQ(fci_add(&index, "x", 1, 1), 0);
  fci_close(&index, 5);
  EXPECT_FALSE(file_exists(at("$FCISORT$")));
}

TEST_F(FciTest, SortFileThatCannotBeCreatedLosesOnlyThatRecord) {
  Fci index;
  (void)fci_open(&index, kSchedule, 0);
  std::filesystem::remove_all(at("$FCISORT$"));
  write_file(at("$FCISORT$"), "not a folder");
  uint8_t key[FCI_KEY_SIZE];
  sha1_of("lost", key);
  EXPECT_EQ(fci_add(&index, "lost", 1, 1), -1);
  EXPECT_EQ(std::string(index.error),
            "FCI error: opening sort file " + std::to_string(key[0]) + ": Not a directory");
  fci_close(&index, 3);
  // No sorted records reached the index, but it is well formed.
  EXPECT_EQ(read_file(at("job.fci")).size(), 8u);
}

TEST_F(FciTest, PageReadFailureInvalidatesTheIndex) {
  std::vector<Item> items = make_items(1000);
  write_index(kSchedule, 21, items);
  FaultEnv fs;
  bool armed = false;
  fs.fail_if(
      [&armed](FaultEnv::Kind kind, std::string_view) { return armed && kind == FaultEnv::kRead; });
  Fci index;
  index.env = &fs;
  ASSERT_EQ(fci_open(&index, kSchedule, 21), 0);
  EXPECT_EQ(current_of(&index, items[0].path, items[0].time, items[0].size), 1);
  armed = true;
  int failed_at = -1;
  for (size_t i = 1; i < items.size() && failed_at < 0; ++i) {
    if (current_of(&index, items[i].path, items[i].time, items[i].size) == -1)
      failed_at = static_cast<int>(i);
  }
  ASSERT_GE(failed_at, 0);
  EXPECT_EQ(std::string(index.error).rfind("FCI error: fci.cpp:", 0), 0u) << index.error;
  EXPECT_NE(std::string(index.error).find(" - reading page_id "), std::string::npos);
  EXPECT_TRUE(std::string(index.error).ends_with(": Input/output error"));
  EXPECT_NE(index.flags & FCI_INVALID, 0u);
  armed = false;
  // From then on nothing is current, not even the cached page.
  EXPECT_EQ(current_of(&index, items[0].path, items[0].time, items[0].size), 0);
  EXPECT_STREQ(index.error, "");
}

TEST_F(FciTest, PartialReadsAndWritesAreCompleted) {
  std::vector<Item> items = make_items(2000);
  PageCountingEnv fs;
  fs.max_read = 7;
  fs.max_write = 13;
  write_index(kSchedule, 31, items, &fs);
  Fci index;
  index.env = &fs;
  ASSERT_EQ(fci_open(&index, kSchedule, 31), 0) << index.error;
  for (const Item& item : items) ASSERT_EQ(current_of(&index, item.path, item.time, item.size), 1);
}

TEST_F(FciTest, WriteFailureWhileBuildingKeepsTheOldIndex) {
  write_index(kSchedule, 40, make_items(10));
  for (FaultEnv::Kind op : {FaultEnv::kWrite, FaultEnv::kSync, FaultEnv::kRename}) {
    FaultEnv fs;
    bool in_close = false;
    fs.fail_if([&](FaultEnv::Kind kind, std::string_view) { return in_close && kind == op; });
    Fci index;
    index.env = &fs;
    ASSERT_EQ(fci_open(&index, kSchedule, 40), 0) << op << ": " << index.error;
    ASSERT_EQ(fci_add(&index, "x", 1, 1), 0);
    in_close = true;
    fci_close(&index, 41);
    EXPECT_GT(fs.fired(), 0) << op;
    EXPECT_FALSE(file_exists(at("job.fci"))) << op;
    EXPECT_FALSE(file_exists(at("job.fci.tmp"))) << op;
    EXPECT_TRUE(file_exists(at("job.fci.ro"))) << op;
    EXPECT_FALSE(file_exists(at("$FCISORT$"))) << op;
  }
}

TEST_F(FciTest, PageCacheEvictsOldestFirstAndHitsDoNotAge) {
  // 5200 pages of zero records: contents do not matter to the cache.
  std::string header = raw_header(1, 1);
  write_file(at("job.fci"), header);
  std::filesystem::resize_file(at("job.fci"), FCI_HEADER_SIZE + 5200 * FCI_PAGE_SIZE);
  PageCountingEnv fs;
  Fci index;
  index.env = &fs;
  ASSERT_EQ(fci_open(&index, kSchedule, 1), 0) << index.error;
  ASSERT_EQ(index.lead_count, 5200u);
  fs.reset_counts();
  for (uint32_t p = 0; p < FCI_CACHE_PAGES; ++p) ASSERT_NE(fci_get_page(&index, p), nullptr);
  EXPECT_EQ(fs.reads(), FCI_CACHE_PAGES);
  EXPECT_EQ(fci_get_page(&index, 0)->record_count, FCI_RECORDS_PER_PAGE);  // hit: no read, no aging
  EXPECT_EQ(fs.reads(), FCI_CACHE_PAGES);
  ASSERT_NE(fci_get_page(&index, 5120), nullptr);  // evicts page 0, the oldest
  EXPECT_EQ(fs.reads(), FCI_CACHE_PAGES + 1);
  ASSERT_NE(fci_get_page(&index, 1), nullptr);  // still cached
  EXPECT_EQ(fs.reads(), FCI_CACHE_PAGES + 1);
  ASSERT_NE(fci_get_page(&index, 0), nullptr);  // gone: read again, evicting page 1
  EXPECT_EQ(fs.reads(), FCI_CACHE_PAGES + 2);
  ASSERT_NE(fci_get_page(&index, 2), nullptr);
  EXPECT_EQ(fs.reads(), FCI_CACHE_PAGES + 2);
  ASSERT_NE(fci_get_page(&index, 1), nullptr);
  EXPECT_EQ(fs.reads(), FCI_CACHE_PAGES + 3);
  EXPECT_EQ(index.ring_count, static_cast<uint32_t>(FCI_CACHE_PAGES));
  EXPECT_EQ(index.pages->count, static_cast<uint32_t>(FCI_CACHE_PAGES));
  EXPECT_EQ(fci_get_page(&index, 5200), nullptr);  // past the end
}

TEST_F(FciTest, LastPageMayBeShortAndATornRecordIsIgnored) {
  std::vector<Item> items = make_items(130);
  write_index(kSchedule, 2, items);
  std::string bytes = read_file(at("job.fci"));
  ASSERT_EQ(bytes.size(), 8u + 130u * 32u);
  write_file(at("job.fci"), bytes.substr(0, bytes.size() - 5));
  Fci index;
  ASSERT_EQ(fci_open(&index, kSchedule, 2), 0);
  EXPECT_EQ(fci_get_page(&index, 1)->record_count, 1u);
  int current = 0;
  for (const Item& item : items) current += current_of(&index, item.path, item.time, item.size);
  EXPECT_EQ(current, 129);
}

TEST_F(FciTest, ThreeHundredThousandRecordsRoundTrip) {
  std::vector<Item> items = make_items(300000);
  std::vector<Item> shuffled = items;
  std::mt19937 rng(8);
  std::shuffle(shuffled.begin(), shuffled.end(), rng);
  write_index(kSchedule, 1234567, shuffled);
  EXPECT_EQ(read_file(at("job.fci")).size(), 8u + 300000u * 32u);
  PageCountingEnv fs;
  Fci index;
  index.env = &fs;
  ASSERT_EQ(fci_open(&index, kSchedule, 1234567), 0) << index.error;
  EXPECT_EQ(index.lead_count, (300000u + 127u) / 128u);
  fs.page_reads = 0;
  int lookups = 0;
  for (const Item& item : items) {
    ASSERT_EQ(current_of(&index, item.path, item.time, item.size), 1) << item.path;
    ++lookups;
  }
  EXPECT_EQ(fs.page_reads, static_cast<int>(index.lead_count));  // each page read once
  for (const Item& item : make_items(20000, 300000)) {
    ASSERT_EQ(current_of(&index, item.path, item.time, item.size), 0) << item.path;
  }
  for (size_t i = 0; i < items.size(); i += 101) {
    EXPECT_EQ(current_of(&index, items[i].path, items[i].time + 1, items[i].size), 0);
  }
  EXPECT_EQ(lookups, 300000);
}

// An outside reader of the format: Python's struct and hashlib.
TEST_F(FciTest, PythonReadsTheFormat) {
  std::vector<Item> items = make_items(700);
  write_index(kSchedule, 0xfedcba98u, items);
  std::string script = R"PY(
import hashlib, struct, sys
data = open('job.fci', 'rb').read()
version, stamp = struct.unpack_from('<Ii', data, 0)
assert version == 1 and stamp == 0xfedcba98 - (1 << 32), (version, stamp)
body = data[8:]
assert len(body) == 700 * 32
recs = [struct.unpack_from('<20sIQ', body, i) for i in range(0, len(body), 32)]
keys = [r[0] for r in recs]
assert keys == sorted(keys)
want = {}
for line in open('items.txt', encoding='latin-1'):
    path, t, s = line.rstrip('\n').split('|')
    want[hashlib.sha1(path.encode('latin-1')).digest()] = (int(t), int(s))
assert {k: (t, s) for k, t, s in recs} == want
print('ok')
)PY";
  std::string list;
  for (const Item& item : items) {
    list += item.path + "|" + std::to_string(item.time) + "|" + std::to_string(item.size) + "\n";
  }
  write_file(at("items.txt"), list);
  write_file(at("check.py"), script);
  EXPECT_EQ(testing_support::run_command("python3 check.py"), 0);
}

}  // namespace
