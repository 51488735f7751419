#include <gtest/gtest.h>

#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <string>

#include "agent/ipc.h"
#include "platform/mailslot.h"

namespace {

class IpcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = std::string("\\\\.\\mailslot\\Test.") +
            testing::UnitTest::GetInstance()->current_test_info()->name() + "." +
            std::to_string(getpid());
  }
  void TearDown() override { ipc_rx_close(); }
  void post(const std::string& bytes) {
    ASSERT_EQ(plat_mailslot_send(name_.c_str(), bytes.data(), bytes.size(), 1000), 0);
  }
  int read() { return ipc_rx_read(buffer_, sizeof buffer_, &count_); }

  std::string name_;
  char buffer_[1024];
  size_t count_ = 0;
};

TEST_F(IpcTest, ReadsBeforeSetupAndAfterCloseReportNotOpen) {
  EXPECT_EQ(read(), IPC_ERR_NOT_OPEN);
  ASSERT_EQ(ipc_rx_setup(name_.c_str()), 0);
  EXPECT_EQ(read(), IPC_ERR_READ) << "nothing waiting";
  ipc_rx_close();
  EXPECT_EQ(read(), IPC_ERR_NOT_OPEN);
  ipc_rx_close();  // twice is harmless
}

TEST_F(IpcTest, SetupFailsWhenTheNameIsTaken) {
  MailslotReceiver other;
  ASSERT_EQ(plat_mailslot_create(name_.c_str(), &other), 0);
  errno = 0;
  EXPECT_EQ(ipc_rx_setup(name_.c_str()), IPC_ERR_SETUP);
  EXPECT_EQ(errno, EADDRINUSE);
}

TEST_F(IpcTest, OneByteMessagesArePassedOverAndEmptyOnesReported) {
  ASSERT_EQ(ipc_rx_setup(name_.c_str()), 0);
  post(std::string("\0", 1));
  post("x");
  post(std::string("C:\\jobs\\a.kbs\0", 14));
  post("");
  post(std::string("B\0", 2));
  post("z");
  ASSERT_EQ(read(), 0);
  EXPECT_STREQ(buffer_, "C:\\jobs\\a.kbs");
  EXPECT_EQ(count_, 14u);
  EXPECT_EQ(read(), IPC_ERR_EMPTY);
  ASSERT_EQ(read(), 0);
  EXPECT_STREQ(buffer_, "B");
  EXPECT_EQ(read(), IPC_ERR_READ) << "a trailing 1-byte message leaves nothing to read";
}

TEST_F(IpcTest, MessageLargerThanTheBufferFailsAndBlocksTheQueue) {
  ASSERT_EQ(ipc_rx_setup(name_.c_str()), 0);
  post(std::string(1025, 'p'));
  post(std::string("A\0", 2));
  EXPECT_EQ(read(), IPC_ERR_READ);
  EXPECT_EQ(read(), IPC_ERR_READ) << "the large message stays first";
}

TEST_F(IpcTest, FullSizeMessageWithItsNulFits) {
  ASSERT_EQ(ipc_rx_setup(name_.c_str()), 0);
  std::string path(1023, 'q');
  post(path + std::string("\0", 1));
  ASSERT_EQ(read(), 0);
  EXPECT_EQ(count_, 1024u);
  EXPECT_EQ(std::string(buffer_), path);
}

TEST_F(IpcTest, MessagesWithoutNulNeverLeaveAnUnterminatedString) {
  ASSERT_EQ(ipc_rx_setup(name_.c_str()), 0);
  post(std::string("C:\\a\\much-longer-path\0", 23));
  post("C:\\b");                 // no NUL: must not run on into the earlier, longer path
  post(std::string(1024, 'r'));  // no room left for a NUL
  post(std::string("C:\\c\0", 5));
  ASSERT_EQ(read(), 0);
  ASSERT_EQ(read(), 0);
  EXPECT_STREQ(buffer_, "C:\\b");
  EXPECT_EQ(read(), IPC_ERR_READ);
  ASSERT_EQ(read(), 0);
  EXPECT_STREQ(buffer_, "C:\\c");
}

}  // namespace
