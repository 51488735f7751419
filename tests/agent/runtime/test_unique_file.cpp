#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "agent/runtime/unique_file.h"

namespace {

TEST(UniqueFileTest, ExplicitCloseReportsBytesThatCouldNotBeWritten) {
  UniqueFile full(fopen("/dev/full", "we"));
  if (!full) GTEST_SKIP() << "no /dev/full here";
  UniqueFile moved(std::move(full));
  EXPECT_FALSE(full);
  fputs("lost", moved.get());  // buffered: the failure shows at the flush
  errno = 0;
  EXPECT_EQ(moved.close(), EOF);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_FALSE(moved);
  EXPECT_EQ(moved.close(), 0) << "a second close has nothing to do";
}

}  // namespace
