// A server that dies in the middle of a run: on restart it drops what a crash can have
// torn since its last sync, and the next run completes with a store that restores to the
// source.
#include <filesystem>
#include <fstream>
#include <regex>

#include "tests/support/engine_world.h"

namespace fs = std::filesystem;

namespace engine_test {
namespace {

class CrashTest : public EngineWorld {
 protected:
  std::string store(const std::string& relative = "") const {
    return dir() + "/store" + (relative.empty() ? "" : "/" + relative);
  }
};

// A file renamed into place whose bytes never reached the disk: what a power loss can
// leave of a change that was not yet synced.
void cut_short(const fs::path& path) {
  fs::resize_file(path, fs::file_size(path) / 2);
}

TEST_F(CrashTest, KilledServerDropsTornFilesAndTheNextRunCompletes) {
  for (int i = 0; i < 40; ++i) {
    write_data("docs/file-" + std::to_string(i) + ".bin", random_bytes(16 * 3 + i));
  }
  // No checkpoint can come between the changes and the kill; slow opens keep the run busy.
  // Payloads kept as files, so that one can be torn.
  std::vector<std::string> flags = {"--checkpoint-ms", "600000",       "--inline-max", "0",
                                    "--fault",         "open delay 50"};
  start_server(flags);
  write_schedule("Src=D:\\\n");
  JobRun killed = run([this](const ProgressBoard* board) {
    if (board != nullptr && board->items_backed_up >= 10) server->crash();
  });
  EXPECT_GT(killed.count_logged("FILE: ERROR: Failed to backup"), 0) << killed.log;
  ASSERT_TRUE(fs::exists(store("unsynced")));

  // Tear one version record and one object that another record names.
  std::vector<fs::path> records;
  for (const auto& e : fs::recursive_directory_iterator(store("users/1/tree"))) {
    if (e.is_regular_file()) records.push_back(e.path());
  }
  ASSERT_GE(records.size(), 2u);
  std::ifstream in(records[1]);
  std::string word, object;
  while (in >> word && word != "blocks") {
  }
  in >> word >> word >> object;
  ASSERT_TRUE(fs::exists(store("users/1/objects/" + object))) << object;
  cut_short(records[0]);
  cut_short(store("users/1/objects/" + object));
  testing_support::write_file(store("users/1/tree/D Drive/docs/.kfsd-left-over"), "half");
  // A record that parses but whose inline payload was cut short.
  const std::string inline_torn = store("users/1/tree/D Drive/docs/inline-torn.bin");
  testing_support::write_file(inline_torn,
                              "KFSD-FILE 1\nmtime 1\nsize 3\nblock_size 16\nversion 1\n"
                              "committed 1\nsecurity -\nblocks 1\n- =0badcafe:00112233\n");

  start_server({"--checkpoint-ms", "600000", "--inline-max", "0"});
  EXPECT_FALSE(fs::exists(inline_torn));
  JobRun next = run();
  EXPECT_EQ(next.status, 0) << next.log;
  EXPECT_TRUE(next.logged("Backup job completed normally.")) << next.log;
  EXPECT_FALSE(fs::exists(store("unsynced"))) << "the lock release did not sync";
  EXPECT_FALSE(fs::exists(store("users/1/tree/D Drive/docs/.kfsd-left-over")));
  std::string restored = restore(1);
  EXPECT_EQ(regular_files(restored + "/1/D Drive"), regular_files(data()));
  EXPECT_EQ(server->stop(), 0);
  // The object, the three records (one torn, one naming the torn object, one with a torn
  // inline payload) and the left-over.
  std::smatch removed;
  ASSERT_TRUE(std::regex_search(server->errors(), removed,
                                std::regex("unsynced changes found; removed ([0-9]+) torn")))
      << server->errors();
  EXPECT_GE(std::stoi(removed[1]), 5) << server->errors();
}

}  // namespace
}  // namespace engine_test
