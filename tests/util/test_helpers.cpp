#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/error.h"
#include "tests/support/test_hooks.h"
#include "tests/support/test_support.h"
#include "util/error.h"
#include "util/fdio.h"
#include "util/memory.h"
#include "util/system.h"
#include "util/text.h"

namespace {

TEST(MemoryTest, ExhaustionEndsTheProcessWithTheFixedText) {
  EXPECT_EXIT(
      {
        util_fail_next_allocations(1);
        (void)util_alloc(16);
      },
      ::testing::ExitedWithCode(1), "^virtual memory exhausted\n$");
  EXPECT_EXIT(
      {
        void* p = util_alloc(4);
        util_fail_next_allocations(1);
        (void)util_realloc(p, 64);
      },
      ::testing::ExitedWithCode(1), "virtual memory exhausted");
}

TEST(MemoryTest, ZeroedAndZeroSizedAllocations) {
  unsigned char* p = static_cast<unsigned char*>(util_alloc_zero(64));
  for (int i = 0; i < 64; ++i) EXPECT_EQ(p[i], 0);
  free(p);
  void* q = util_alloc(0);
  EXPECT_NE(q, nullptr);
  free(q);
  int* r = static_cast<int*>(util_calloc(10, sizeof(int)));
  EXPECT_EQ(r[9], 0);
  free(r);
}

TEST(ErrorTableTest, MapsSynthesisedWindowsErrorsThroughTheTable) {
  struct Case {
    unsigned long windows;
    int expected;
  } cases[] = {{1, 22},   {2, 2},    {5, 13},   {80, 17},  {109, 32},
               {112, 28}, {145, 41}, {183, 17}, {1816, 12}};
  for (const Case& c : cases) {
    plat_set_last_error(static_cast<uint32_t>(c.windows));
    errno = 0;
    map_system_error();
    EXPECT_EQ(errno, c.expected) << c.windows;
    EXPECT_EQ(util_os_errno(), c.windows);
  }
  // Not in the table: errno stays as it was.
  for (unsigned long code : {14ul, 19ul, 1815ul, 1817ul}) {
    plat_set_last_error(static_cast<uint32_t>(code));
    errno = 1234;
    map_system_error();
    EXPECT_EQ(errno, 1234) << code;
  }
  plat_set_last_error(0);
}

TEST(ErrorTableTest, ErrorTextKeepsErrno) {
  errno = 77;
  EXPECT_STREQ(error_text(ENOENT), strerror(ENOENT));
  EXPECT_STREQ(error_text(-5), "Unknown error");
  EXPECT_STREQ(error_text(123456), "Unknown error");
  EXPECT_EQ(errno, 77);
}

TEST(SystemTest, GeneralRulesWithoutWindowsReleases) {
  EXPECT_EQ(os_platform(), 2);
  EXPECT_EQ(os_version_code(), 0);
  EXPECT_STREQ(system_drive_root(), "C:\\");
  char buf[16] = "unchanged";
  errno = 0;
  EXPECT_EQ(registry_read_string("SOFTWARE\\X", "Y", buf, sizeof buf), -1);
  EXPECT_EQ(errno, ENOENT);
}

class FdTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(testing_support::make_pipe(fds_), 0); }
  void TearDown() override {
    close(fds_[0]);
    if (fds_[1] >= 0) close(fds_[1]);
  }
  void feed(const std::string& bytes) {
    ASSERT_EQ(plat_write_all(plat_env(), fds_[1], bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
    close(fds_[1]);
    fds_[1] = -1;
  }
  int fds_[2];
};

TEST_F(FdTest, ReadLineDropsCarriageReturns) {
  feed("ab\r\ncd");
  char buf[16];
  EXPECT_EQ(read_line(plat_env(), fds_[0], buf, 15), 2);
  EXPECT_STREQ(buf, "ab");
  int n = read_line(plat_env(), fds_[0], buf, 15);
  ASSERT_EQ(n, 2);
  buf[n] = '\0';  // no line feed ended it
  EXPECT_STREQ(buf, "cd");
  EXPECT_EQ(read_line(plat_env(), fds_[0], buf, 15), -1);
}

TEST_F(FdTest, ReadLineSplitsALineThatFillsTheMaximum) {
  feed("abcdefg\nh\n\n");
  char buf[8];
  EXPECT_EQ(read_line(plat_env(), fds_[0], buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), "abcd");
  EXPECT_EQ(read_line(plat_env(), fds_[0], buf, 4), 3);
  EXPECT_STREQ(buf, "efg");
  EXPECT_EQ(read_line(plat_env(), fds_[0], buf, 4), 1);
  EXPECT_EQ(read_line(plat_env(), fds_[0], buf, 4), 0);  // an empty line is not the end
  EXPECT_EQ(read_line(plat_env(), fds_[0], buf, 4), -1);
  EXPECT_EQ(read_line(plat_env(), fds_[0], buf, 0), -1);
}

TEST(TextTest, HexBothWays) {
  const unsigned char bytes[] = {0x00, 0xAB, 0x7F, 0xFF};
  char out[9];
  EXPECT_STREQ(hex_encode(bytes, 4, out), "00AB7FFF");
  unsigned char back[4] = {1, 1, 1, 1};
  hex_decode("00ab", 2, back);
  EXPECT_EQ(back[0], 0x00);
  EXPECT_EQ(back[1], 0xAB);
  EXPECT_EQ(back[2], 1);  // nothing written past the count
  hex_decode("00AB7fFf", 4, back);
  EXPECT_EQ(memcmp(back, bytes, 4), 0);
  char empty[1] = {'x'};
  EXPECT_STREQ(hex_encode(bytes, 0, empty), "");
}

TEST(TextTest, FormatDuration) {
  char out[9];
  struct Case {
    uint64_t seconds;
    const char* text;
  } cases[] = {{0, "00:00:00"},      {59, "00:00:59"},     {60, "00:01:00"},
               {3661, "01:01:01"},   {35999, "09:59:59"},  {359999, "99:59:59"},
               {360000, "99:00:00"}, {363661, "99:01:01"}, {3600ull * 1000 + 61, "99:01:01"}};
  for (const Case& c : cases) {
    EXPECT_EQ(format_duration(c.seconds, out), 8);
    EXPECT_STREQ(out, c.text) << c.seconds;
  }
}

TEST(TextTest, ReplaceAllResumesAfterEachReplacement) {
  char text[64] = "a.b.c";
  replace_all(text, sizeof text, ".", "..");
  EXPECT_STREQ(text, "a..b..c");
  char same[64] = "xx";
  replace_all(same, sizeof same, "x", "xx");  // never rescans its own output
  EXPECT_STREQ(same, "xxxx");
  char shrink[64] = "#A##A#";
  replace_all(shrink, sizeof shrink, "#A#", "");
  EXPECT_STREQ(shrink, "");
  char none[8] = "abc";
  replace_all(none, sizeof none, "", "zz");
  EXPECT_STREQ(none, "abc");
}

TEST(TextTest, ReplaceAllStopsBeforeReachingCapacity) {
  char text[10] = "a-b-c-d";  // length 7
  replace_all(text, sizeof text, "-", "==");
  // Lengths 8 and 9 fit; 10 would reach the capacity, so the last "-" stays.
  EXPECT_STREQ(text, "a==b==c-d");
  char exact[9] = "ab";
  replace_all(exact, sizeof exact, "b", "bbbbbbb");  // would be 8 characters: allowed
  EXPECT_STREQ(exact, "abbbbbbb");
  char full[8] = "ab";
  replace_all(full, sizeof full, "b", "bbbbbbb");  // would be 8 == capacity: refused
  EXPECT_STREQ(full, "ab");
}

TEST(TextTest, SplitStringDropsEmptyPieces) {
  List* list = split_string(";a;;b;", ";", nullptr);
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list_count(list), 2);
  EXPECT_STREQ(list_item(list, 0), "a");
  EXPECT_STREQ(list_item(list, 1), "b");
  EXPECT_EQ(list->capacity, 15);
  EXPECT_EQ(list->step, 15);
  EXPECT_EQ(split_string("x<>y<><>z", "<>", list), list);  // appends to the given list
  ASSERT_EQ(list_count(list), 5);
  EXPECT_STREQ(list_item(list, 4), "z");
  list_free(list);
  errno = 0;
  EXPECT_EQ(split_string("a", "", nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(split_string(nullptr, ";", nullptr), nullptr);
  List* empty = split_string(";;;", ";", nullptr);
  EXPECT_EQ(list_count(empty), 0);
  list_free(empty);
}

}  // namespace
