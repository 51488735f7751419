#include <gtest/gtest.h>

#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <regex>
#include <string>

#include "agent/runtime/ipc_names.h"
#include "agent/runtime/log.h"
#include "agent/runtime/progress.h"
#include "platform/env.h"
#include "platform/named_object.h"
#include "tests/support/fault_env.h"
#include "tests/support/test_support.h"

using testing_support::read_file;
using testing_support::ScopedCwd;
using testing_support::TempDir;

namespace {

uint64_t le64(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
uint32_t le32(const unsigned char* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}
uint16_t le16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

// Reads the board the way another process does: by name, read-only, by byte offset.
class Reader {
 public:
  void open() {
    ASSERT_EQ(memory_.open_existing(ipc_object_name(PROGRESS_BOARD_NAME).c_str(),
                                    PROGRESS_BOARD_SIZE, true),
              0);
    ASSERT_EQ(memory_.map(&view_), 0);
  }
  const unsigned char* at(size_t offset) const {
    return static_cast<const unsigned char*>(view_.data()) + offset;
  }
  uint64_t u64(size_t offset) const { return le64(at(offset)); }
  std::string text(size_t offset, size_t size) const {
    const char* p = reinterpret_cast<const char*>(at(offset));
    return std::string(p, strnlen(p, size));
  }

 private:
  SharedMemory memory_;
  SharedView view_;
};

class ProgressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string ns = std::string(".progress.") +
                     testing::UnitTest::GetInstance()->current_test_info()->name() + "." +
                     std::to_string(getpid());
    setenv("VARNO_IPC_NAMESPACE", ns.c_str(), 1);
    cwd_ = std::make_unique<ScopedCwd>(dir_.path());
    clock_.now = LocalTime{2026, 3, 9, 7, 5, 4, 7};  // a Monday
    clock_.tick = 0x12345678;
    ASSERT_EQ(log_agent_open(&clock_), 0);
  }
  void TearDown() override {
    progress_release();
    log_agent_close();
    unsetenv("VARNO_IPC_NAMESPACE");
  }
  std::string agent_log() { return read_file(dir_.file("agent.log")); }

  testing_support::ManualClockEnv clock_;  // before the board that holds it
  TempDir dir_;
  std::unique_ptr<ScopedCwd> cwd_;
};

TEST_F(ProgressTest, OpenPublishesAFreshRecordAtTheFixedOffsets) {
  ASSERT_EQ(progress_open(&clock_), 0);
  Reader r;
  r.open();
  for (size_t offset = 0; offset < 64; offset += 8) EXPECT_EQ(r.u64(offset), 0u) << offset;
  EXPECT_EQ(r.text(64, 240), "Initializing...");
  EXPECT_EQ(r.text(304, 240), "");
  EXPECT_EQ(r.text(544, 4096), "");
  const uint16_t expected[8] = {2026, 3, 1, 9, 7, 5, 4, 7};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(le16(r.at(4640 + 2 * i)), expected[i]) << i;
  EXPECT_EQ(le32(r.at(4656)), clock_.tick) << "tick taken at creation";
  EXPECT_EQ(le32(r.at(4660)), 0u);
  EXPECT_EQ(r.u64(4664), 0u);
  EXPECT_NE(agent_log().find("] Successfully created hTerminateBackupEvent event\r\n"),
            std::string::npos);
}

TEST_F(ProgressTest, FileCountersAndByteTotals) {
  ASSERT_EQ(progress_open(&clock_), 0);
  Reader r;
  r.open();
  progress_set_total(5000);
  EXPECT_EQ(r.u64(0), 5000u);
  progress_begin_file("C:\\a", 300);
  EXPECT_EQ(r.text(544, 4096), "C:\\a");
  EXPECT_EQ(r.u64(48), 300u);
  progress_file_bytes(120);
  EXPECT_EQ(r.u64(56), 120u);
  progress_end_file(PROGRESS_BACKED_UP);
  EXPECT_EQ(r.u64(56), 300u);
  EXPECT_EQ(r.u64(8), 300u);
  EXPECT_EQ(r.u64(40), 1u);
  // A second end for the same item counts its size again.
  progress_end_file(PROGRESS_BACKED_UP);
  EXPECT_EQ(r.u64(8), 600u);
  EXPECT_EQ(r.u64(40), 2u);
  progress_begin_file("C:\\b", 50);
  EXPECT_EQ(r.u64(56), 0u) << "a new item starts at 0";
  progress_end_file(PROGRESS_FAILED);
  progress_begin_file("C:\\c", 7);
  progress_end_file(PROGRESS_CURRENT);
  progress_begin_file("C:\\d", 1000);
  progress_end_file(9);  // unknown outcome: only the byte fields move
  EXPECT_EQ(r.u64(24), 1u);
  EXPECT_EQ(r.u64(32), 1u);
  EXPECT_EQ(r.u64(40), 2u);
  EXPECT_EQ(r.u64(8), 600u + 50 + 7 + 1000);
  EXPECT_EQ(r.u64(16), 0u);
}

TEST_F(ProgressTest, StartTickWaitsForTheNextCopy) {
  ASSERT_EQ(progress_open(&clock_), 0);
  Reader r;
  r.open();
  progress_set_start_tick(0xA1B2C3D4u);
  EXPECT_EQ(le32(r.at(4660)), 0u);
  progress_set_status("Backing up...");
  EXPECT_EQ(le32(r.at(4660)), 0xA1B2C3D4u);
}

TEST_F(ProgressTest, TextFieldsAreBoundedAndScheduleNameLeavesNoTrace) {
  ASSERT_EQ(progress_open(&clock_), 0);
  Reader r;
  r.open();
  std::string long_name(300, 'n');
  progress_set_schedule_name(long_name.c_str());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.at(304)), 240), std::string(240, 'n'))
      << "a full field has no terminating zero";
  EXPECT_EQ(r.at(544)[0], 0) << "the next field is untouched";
  progress_set_schedule_name("short");
  EXPECT_EQ(r.text(304, 240), "short");
  for (size_t i = 304 + 5; i < 544; ++i) ASSERT_EQ(r.at(i)[0], 0) << i;

  std::string long_status(500, 's');
  progress_set_status(long_status.c_str());
  EXPECT_EQ(r.text(64, 240), std::string(240, 's'));
  EXPECT_EQ(r.at(304)[0], 's');
  progress_set_status("Calculating...");
  EXPECT_EQ(r.text(64, 240), "Calculating...");

  std::string long_item(5000, 'i');
  progress_begin_file(long_item.c_str(), 1);
  EXPECT_EQ(r.text(544, 4096), std::string(4096, 'i'));
  EXPECT_EQ(le16(r.at(4640)), 2026) << "the creation time is untouched";
}

TEST_F(ProgressTest, OneStopRequestIsAnsweredOnceEvenWhenNobodyPolled) {
  EXPECT_EQ(progress_terminate_requested(), 0) << "before open";
  ASSERT_EQ(progress_open(&clock_), 0);
  NamedEvent client;
  ASSERT_EQ(client.open_existing(ipc_object_name(TERMINATE_EVENT_NAME).c_str()), 0);
  EXPECT_EQ(progress_terminate_requested(), 0);
  ASSERT_EQ(client.set(), 0);
  ASSERT_EQ(client.set(), 0);
  EXPECT_EQ(progress_terminate_requested(), 1);
  EXPECT_EQ(progress_terminate_requested(), 0);
  ASSERT_EQ(client.set(), 0);
  EXPECT_EQ(progress_terminate_requested(), 1);
}

TEST_F(ProgressTest, AfterCloseStopsAreNotSeenButTheBoardStillTakesWrites) {
  ASSERT_EQ(progress_open(&clock_), 0);
  Reader r;
  r.open();
  NamedEvent client;
  ASSERT_EQ(client.open_existing(ipc_object_name(TERMINATE_EVENT_NAME).c_str()), 0);
  progress_begin_file("C:\\x", 10);
  progress_close();
  EXPECT_EQ(r.text(64, 240), "Complete");
  EXPECT_EQ(r.text(544, 4096), "");
  ASSERT_EQ(client.set(), 0);
  EXPECT_EQ(progress_terminate_requested(), 0);
  NamedEvent late;
  EXPECT_EQ(late.open_existing(ipc_object_name(TERMINATE_EVENT_NAME).c_str()), -1)
      << "nobody watches the event any more";
  EXPECT_EQ(errno, ENOENT);

  progress_set_status("Backing up...");
  EXPECT_EQ(r.text(64, 240), "Backing up...");
  progress_close();
  EXPECT_EQ(r.text(64, 240), "Complete");
  Reader again;
  again.open();  // the board keeps its name until the agent ends
}

TEST_F(ProgressTest, SettersBeforeOpenAreSilent) {
  progress_set_status("x");
  progress_begin_file("y", 1);
  progress_end_file(PROGRESS_FAILED);
  progress_close();
  SharedMemory none;
  EXPECT_EQ(none.open_existing(ipc_object_name(PROGRESS_BOARD_NAME).c_str(), 1, true), -1);
}

TEST_F(ProgressTest, ReleaseRemovesBothNames) {
  ASSERT_EQ(progress_open(&clock_), 0);
  progress_release();
  SharedMemory board;
  EXPECT_EQ(board.open_existing(ipc_object_name(PROGRESS_BOARD_NAME).c_str(), 1, true), -1);
  EXPECT_EQ(errno, ENOENT);
  NamedEvent event;
  EXPECT_EQ(event.open_existing(ipc_object_name(TERMINATE_EVENT_NAME).c_str()), -1);
  EXPECT_EQ(errno, ENOENT);
  progress_set_status("after release");  // silent, no view
}

TEST_F(ProgressTest, ObjectsLeftByAKilledAgentDoNotStopTheNextOne) {
  std::string board = ipc_object_name(PROGRESS_BOARD_NAME);
  std::string event = ipc_object_name(TERMINATE_EVENT_NAME);
  {
    SharedMemory stale;
    ASSERT_EQ(stale.create(board.c_str(), 100), 0);
    SharedView view;
    ASSERT_EQ(stale.map(&view), 0);
    memset(view.data(), 0x5A, 100);
    NamedEvent stale_event;
    ASSERT_EQ(stale_event.create(event.c_str(), true), 0);
    ASSERT_EQ(stale_event.set(), 0);
  }  // handles gone, names left behind
  ASSERT_EQ(progress_open(&clock_), 0);
  Reader r;
  r.open();
  EXPECT_EQ(r.u64(0), 0u);
  EXPECT_EQ(r.text(64, 240), "Initializing...");
  EXPECT_EQ(progress_terminate_requested(), 0) << "a stale stop must not stop the new agent";
}

TEST_F(ProgressTest, AStopRequestForALiveAgentSurvivesASecondAgentStarting) {
  std::string event = ipc_object_name(TERMINATE_EVENT_NAME);
  SharedMemory live;  // the running agent's board and its pending stop request
  ASSERT_EQ(live.create(ipc_object_name(PROGRESS_BOARD_NAME).c_str(), PROGRESS_BOARD_SIZE), 0);
  SharedView live_view;
  ASSERT_EQ(live.map(&live_view), 0);
  NamedEvent live_event;
  ASSERT_EQ(live_event.create(event.c_str(), true), 0);
  ASSERT_EQ(live_event.set(), 0);

  ASSERT_EQ(progress_open(plat_env()), 0);  // the second agent
  EXPECT_EQ(live_event.try_wait(), 1) << "the running agent's stop request was dropped";
}

TEST_F(ProgressTest, BoardThatCannotBeCreatedLeavesEverythingSilent) {
  setenv("VARNO_IPC_NAMESPACE", std::string(400, 'z').c_str(), 1);
  EXPECT_EQ(progress_open(&clock_), -1);
  EXPECT_TRUE(std::regex_search(
      agent_log(), std::regex(R"(\] Could not create file mapping object \(Error [1-9][0-9]*\)\. )"
                              R"(Backup progress information will not be available\.\r\n)")))
      << agent_log();
  progress_set_status("x");
  EXPECT_EQ(progress_terminate_requested(), 0);
}

}  // namespace
