// The encoder pool's hand-over rules, on a real file and real worker threads: a block is
// lent once and its slot comes back when the lease ends, and the backup thread's encoder,
// shared by the blocks it sends and its own blocks ahead, never restarts under a block
// that is being sent.
#include <gtest/gtest.h>

#include <string>

#include "agent/backup/prepare.h"
#include "tests/support/stream_test_util.h"

using stream_test::mixed_corpus;
using stream_test::test_key;
using testing_support::ScopedCwd;
using testing_support::TempDir;

namespace {

constexpr int kMessage = 4096;
constexpr uint32_t kBlock = 50000;

class PrepareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::write_file(dir_.file("data.bin"), mixed_corpus(4 * kBlock, 3));
    const int fd = plat_env()->open_read("data.bin");
    ASSERT_GE(fd, 0);
    file_ = std::make_shared<const EnvFile>(plat_env(), fd);
  }
  // Block `j` of data.bin as the encoder sends it, message after message.
  std::string sent(BlockEncoder* encoder, uint32_t j) {
    EXPECT_EQ(encoder->start(file_->get(), int64_t{j} * kBlock, kBlock, BlockWork::kEncode, nullptr,
                             nullptr),
              StreamStage::kNone);
    std::string out;
    uint8_t buffer[kMessage];
    for (int n; (n = encoder->next(buffer)) > 0;) out.append(reinterpret_cast<char*>(buffer), n);
    return out;
  }
  static std::string joined(const PreparedBlock& b) {
    size_t size = 0;
    for (const BlockMessage& m : b.messages) size += m.size;
    return std::string(reinterpret_cast<const char*>(b.data.data()), size);
  }

  TempDir dir_;
  ScopedCwd cwd_{dir_.path()};
  SharedFile file_;
  BlockEncoder own_{plat_env(), test_key(), kMessage};
};

TEST_F(PrepareTest, BlocksAreLentOnceAndTheOwnEncoderIsNeverRestartedUnderASend) {
  std::unique_ptr<BlockPool> pool = BlockPool::create(plat_env(), test_key(), 2, kMessage, &own_);
  ASSERT_TRUE(pool);
  BlockEncoder reference(plat_env(), test_key(), kMessage);
  const BlockOrder order{.file = file_, .length = kBlock};
  for (uint32_t j = 0; j < 4; ++j) {
    BlockOrder o = order;
    o.key = {1, j};
    o.offset = int64_t{j} * kBlock;
    o.own = j == 3;
    ASSERT_TRUE(pool->submit(o));
  }
  EXPECT_FALSE(pool->has_free_slot());
  {
    SCOPED_TRACE("a block is lent once; its slot comes back when the lease ends");
    BlockPool::Lease first = pool->take({1, 1});
    ASSERT_TRUE(first);
    EXPECT_EQ(joined(*first), sent(&reference, 1));
    EXPECT_FALSE(pool->take({1, 1}));
    EXPECT_FALSE(pool->has_free_slot());
    first.reset();
    EXPECT_TRUE(pool->has_free_slot());
    EXPECT_FALSE(pool->holds({1, 1}));
  }
  {
    SCOPED_TRACE("an own block waits while the own encoder is in the middle of a block");
    ASSERT_EQ(own_.start(file_->get(), 0, kBlock, BlockWork::kEncode, nullptr, nullptr),
              StreamStage::kNone);
    std::string out;
    uint8_t buffer[kMessage];
    int n = own_.next(buffer);
    ASSERT_GT(n, 0);
    out.append(reinterpret_cast<char*>(buffer), n);
    EXPECT_FALSE(pool->encode_own());  // as a reply awaited inside a data message would
    while ((n = own_.next(buffer)) > 0) out.append(reinterpret_cast<char*>(buffer), n);
    EXPECT_EQ(out, sent(&reference, 0));
    EXPECT_TRUE(pool->encode_own());
    BlockPool::Lease own_block = pool->take({1, 3});
    ASSERT_TRUE(own_block);
    EXPECT_EQ(joined(*own_block), sent(&reference, 3));
  }
}

}  // namespace
