#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <utility>

#include "agent/runtime/unique_file.h"
#include "platform/handle.h"

namespace {

bool is_open(int fd) {
  return fcntl(fd, F_GETFD) != -1;
}

TEST(UniqueFdTest, OneOwnerClosesOnceAndMovesLeaveNothingBehind) {
  int raw = open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(raw, 0);
  {
    UniqueFd first(raw);
    UniqueFd second(std::move(first));
    EXPECT_FALSE(first.valid());
    EXPECT_EQ(second.get(), raw);
    UniqueFd third;
    third = std::move(second);
    EXPECT_TRUE(is_open(raw));
  }
  EXPECT_FALSE(is_open(raw)) << "closed when its last owner went";
  UniqueFd closed(open("/dev/null", O_RDONLY | O_CLOEXEC));
  EXPECT_EQ(closed.close(), 0);
  EXPECT_FALSE(closed.valid());
  EXPECT_EQ(closed.close(), 0) << "a second close has nothing to do";
}

TEST(UniqueFdTest, ExplicitCloseOfAStreamReportsBytesThatCouldNotBeWritten) {
  UniqueFile full(fopen("/dev/full", "we"));
  if (!full) GTEST_SKIP() << "no /dev/full here";
  fputs("lost", full.get());  // buffered: the failure shows at the flush
  errno = 0;
  EXPECT_EQ(full.close(), EOF);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_FALSE(full);
}

}  // namespace
