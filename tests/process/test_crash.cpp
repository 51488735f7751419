// A server that dies in the middle of a run loses at most what it took since its last
// commit, never part of a version, and never lets a lock token vouch for what it lost:
// the next run completes with a store that restores to the source.
#include <filesystem>
#include <fstream>

#include "tests/support/engine_world.h"

namespace fs = std::filesystem;

namespace engine_test {
namespace {

class CrashTest : public EngineWorld {
 protected:
  std::string store(const std::string& relative = "") const {
    return dir() + "/store" + (relative.empty() ? "" : "/" + relative);
  }
  void restores_to_source(const char* when) {
    EXPECT_EQ(regular_files(restore(1) + "/1/D Drive"), regular_files(data())) << when;
  }
};

// No checkpoint comes between the changes and the kill; slow opens keep the run busy.
const std::vector<std::string> kSlowFlags = {"--checkpoint-ms", "600000", "--fault",
                                             "open delay 50"};

TEST_F(CrashTest, KilledServerLosesWholeChangesOnlyAndTheNextRunCompletes) {
  for (int i = 0; i < 40; ++i) {
    write_data("docs/file-" + std::to_string(i) + ".bin", random_bytes(16 * 3 + i));
  }
  start_server(kSlowFlags);
  write_schedule("Src=D:\\\n");
  JobRun killed = run([this](const ProgressBoard* board) {
    if (board != nullptr && board->items_backed_up >= 10) server->crash();
  });
  EXPECT_GT(killed.count_logged("FILE: ERROR: Failed to backup"), 0) << killed.log;
  // What a power loss can leave of the log's unsynced tail: a frame torn half-way.
  const std::string wal = store("store.db-wal");
  ASSERT_TRUE(fs::exists(wal));
  std::ofstream(wal, std::ios::binary | std::ios::app) << random_bytes(4096 + 12);

  start_server({"--checkpoint-ms", "600000"});
  JobRun next = run();
  EXPECT_EQ(next.status, 0) << next.log;
  EXPECT_TRUE(next.logged("Backup job completed normally.")) << next.log;
  EXPECT_EQ(next.count_logged("FILE: Current; Not backing up"), 0)
      << "the killed run's index was trusted\n"
      << next.log;
  restores_to_source("after the next run");
  EXPECT_EQ(server->stop(), 0) << server->errors();
}

// The agent reconnects to the restarted server and finishes the run: the files whose
// closes the killed server had accepted are in the run's index, but the server lost them
// with its open group. The release must not vouch for them, so the next run sends them.
TEST_F(CrashTest, RunThatOutlivesAKilledServerIsNotVouchedFor) {
  setenv("VARNO_RECONNECT_WAIT_MS", "300", 1);  // a killed server's successor needs a moment
  for (int i = 0; i < 40; ++i) {
    write_data("docs/file-" + std::to_string(i) + ".bin", random_bytes(100 + i));
  }
  start_server(kSlowFlags);
  const std::string port = std::to_string(server->port());
  write_schedule("Src=D:\\\n");
  bool restarted = false;
  JobRun outlived = run([&](const ProgressBoard* board) {
    if (restarted || board == nullptr || board->items_backed_up < 10) return;
    server.reset();  // SIGKILL
    server = std::make_unique<kfs_test::DevServer>(
        store(),
        std::vector<std::string>{"--listen", "127.0.0.1:" + port, "--checkpoint-ms", "600000"});
    restarted = true;
  });
  unsetenv("VARNO_RECONNECT_WAIT_MS");
  ASSERT_TRUE(restarted);
  EXPECT_EQ(outlived.status, 0) << outlived.log;
  EXPECT_EQ(outlived.count_logged("FILE: Successfully backed up"), 40) << outlived.log;

  JobRun next = run();
  EXPECT_TRUE(next.logged("Backup job completed normally.")) << next.log;
  restores_to_source("after the next run");
  // That run was not interrupted: its release vouches again.
  JobRun third = run();
  EXPECT_EQ(third.count_logged("FILE: Current; Not backing up"), 40) << third.log;
  EXPECT_EQ(server->stop(), 0) << server->errors();
}

}  // namespace
}  // namespace engine_test
