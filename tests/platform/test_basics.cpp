#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "platform/env.h"
#include "platform/error.h"
#include "tests/support/test_support.h"

TEST(ClockTest, LocalTimeIsPlausibleAndTicksAdvance) {
  Env* env = plat_env();
  LocalTime t = env->local_time();
  EXPECT_GE(t.year, 2024);
  EXPECT_GE(t.month, 1);
  EXPECT_LE(t.month, 12);
  EXPECT_LT(t.millisecond, 1000);
  uint64_t a = env->tick_ms();
  env->sleep_ms(20);
  uint64_t b = env->tick_ms();
  EXPECT_GE(b - a, 20u);
  EXPECT_LT(b - a, 2000u);
}

TEST(ErrorMessageTest, MessagesAndUnknownValues) {
  EXPECT_STREQ(plat_error_message(ENOENT), strerror(ENOENT));
  EXPECT_STREQ(plat_error_message(99999), "Unknown error");
  plat_set_last_error(5);
  EXPECT_EQ(plat_last_error(), 5u);
  plat_set_last_error(0);
}

TEST(FileTest, FopenTranslatesAndIsCloseOnExec) {
  testing_support::TempDir dir;
  testing_support::ScopedCwd cwd(dir.path());
  FILE* f = plat_env()->open_stream("sub\\..\\x.txt", "w");
  EXPECT_EQ(f, nullptr);  // relative ".." is kept: "sub" does not exist
  f = plat_env()->open_stream("x.txt", "w");
  ASSERT_NE(f, nullptr);
  EXPECT_NE(fcntl(fileno(f), F_GETFD) & FD_CLOEXEC, 0);
  fclose(f);
  EXPECT_TRUE(testing_support::file_exists(dir.file("x.txt")));
  EXPECT_EQ(plat_env()->open_stream("Q:\\nowhere", "r"), nullptr);
  EXPECT_EQ(errno, ENOENT);
}
