// Later runs against the same server: nothing sent for unchanged files, one block for one
// changed block, nothing for a time moved by exactly one hour, and the change index set
// aside after a run whose connection broke.
#include <filesystem>
#include <map>
#include <sstream>

#include "tests/support/engine_world.h"

namespace fs = std::filesystem;

namespace engine_test {
namespace {

void shift_time(const std::string& path, int seconds) {
  fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(seconds));
}

class IncrementalTest : public EngineWorld {};

TEST_F(IncrementalTest, OnlyWhatChangedIsSent) {
  std::string big = random_bytes(16 * 64);
  write_data("big.bin", big);
  write_data("small.txt", "forty bytes of text, give or take a few\n");
  write_data("sub/other.bin", random_bytes(300));
  start_server();
  write_schedule("Src=D:\\\n");

  JobRun first = run();
  ASSERT_EQ(first.status, 0);
  EXPECT_EQ(first.count_logged("FILE: Successfully backed up '"), 3) << first.log;
  EXPECT_EQ(first.count_server("KFS_FILE_WRITE data"), 64 + 3 + 19) << first.server;
  report();

  // Nothing changed: the index answers for every file and the server sees no open.
  JobRun same = run();
  ASSERT_EQ(same.status, 0);
  EXPECT_TRUE(same.logged("Using FCI cache.")) << same.log;
  EXPECT_TRUE(same.logged("FILE: Current; Not backing up: 'D:\\big.bin'")) << same.log;
  EXPECT_TRUE(same.logged("FILE: Current; Not backing up: 'D:\\small.txt'")) << same.log;
  EXPECT_TRUE(same.logged("FILE: Current; Not backing up: 'D:\\sub\\other.bin'")) << same.log;
  EXPECT_EQ(same.count_server("KFS_FILE_WOPEN"), 0) << same.server;
  EXPECT_EQ(same.count_server("KFS_FILE_WRITE"), 0) << same.server;
  // A folder the index knows is not created again.
  EXPECT_EQ(first.count_server("KFS_MKDIR /1/D Drive/sub "), 1) << first.server;
  EXPECT_EQ(same.count_server("KFS_MKDIR /1/D Drive/sub "), 0) << same.server;
  EXPECT_EQ(same.board.items_current, 3u);
  EXPECT_EQ(same.board.items_backed_up, 0u);
  std::string mail = report();
  EXPECT_NE(mail.find("Files already up to date  3"), std::string::npos) << mail;
  EXPECT_NE(mail.find("Files sent .............. 0"), std::string::npos) << mail;

  // One block changed in place (same size, new time): every block is asked about by its
  // checksum and only the changed one travels.
  big.replace(16 * 10, 16, random_bytes(16));
  write_data("big.bin", big);
  shift_time(data("big.bin"), 7);
  JobRun one_block = run();
  ASSERT_EQ(one_block.status, 0);
  EXPECT_TRUE(one_block.logged("FILE: Successfully backed up 'D:\\big.bin'")) << one_block.log;
  EXPECT_EQ(one_block.count_server("KFS_FILE_WOPEN"), 1) << one_block.server;
  EXPECT_EQ(one_block.count_server("KFS_FILE_WRITE query 16"), 64) << one_block.server;
  EXPECT_EQ(one_block.count_server("KFS_FILE_WRITE query 16 -> ERR_UP2DATE"), 63)
      << one_block.server;
  EXPECT_EQ(one_block.count_server("KFS_FILE_WRITE data"), 1) << one_block.server;
  EXPECT_EQ(one_block.count_server("KFS_FILE_WRITE end 16"), 1) << one_block.server;

  // A time moved by exactly one hour (a daylight-saving shift) is no change.
  shift_time(data("small.txt"), 3600);
  shift_time(data("sub/other.bin"), -3600);
  JobRun hour = run();
  ASSERT_EQ(hour.status, 0);
  EXPECT_TRUE(hour.logged("FILE: Current; Not backing up: 'D:\\small.txt'")) << hour.log;
  EXPECT_TRUE(hour.logged("FILE: Current; Not backing up: 'D:\\sub\\other.bin'")) << hour.log;
  EXPECT_EQ(hour.count_server("KFS_FILE_WOPEN"), 0) << hour.server;
  EXPECT_EQ(hour.count_server("KFS_FILE_WRITE"), 0) << hour.server;

  // The server kept the changed block and reused the others.
  std::string restored = restore(1);
  EXPECT_EQ(testing_support::read_file(restored + "/1/D Drive/big.bin"), big);
  EXPECT_EQ(regular_files(restored + "/1/D Drive").size(), 3u);
}

TEST_F(IncrementalTest, ChangedScheduleSetsTheIndexAside) {
  write_data("a.txt", "alpha\n");
  start_server();
  write_schedule("Src=D:\\\n");
  ASSERT_EQ(run().status, 0);
  write_schedule("Src=D:\\\nXSrc=D:\\nothing\n");
  JobRun changed = run();
  EXPECT_TRUE(changed.logged("Not using FCI cache.")) << changed.log;
  // The server still knows the file: the open says so and nothing is sent.
  EXPECT_TRUE(changed.logged(
      "FILE: File was reported to be changed, but is in fact up to date: 'D:\\a.txt'"))
      << changed.log;
  EXPECT_EQ(changed.count_server("KFS_FILE_WRITE"), 0) << changed.server;
  EXPECT_EQ(changed.board.items_current, 1u);
}

TEST_F(IncrementalTest, StampWithoutAFullDigestSetsTheIndexAside) {
  write_data("a.txt", "alpha\n");
  start_server();
  write_schedule("Src=D:\\\n");
  ASSERT_EQ(run().status, 0);
  ASSERT_TRUE(run().logged("Using FCI cache."));
  const std::string stamp = dir() + "/" + kSchedule + ".ts";
  int round = 0;
  for (const std::string& torn : {std::string("md5="), "md5=" + std::string(15, 'x'),
                                  std::string("MD5=0123456789abcdef"), std::string()}) {
    write_schedule("Src=D:\\\nXSrc=D:\\n" + std::to_string(round++) + "\n");
    testing_support::write_file(stamp, torn);
    JobRun changed = run();
    EXPECT_TRUE(changed.logged("Not using FCI cache.")) << torn.size() << " bytes\n" << changed.log;
  }
}

// The paths the run opened on the server, in order.
std::vector<std::string> opened(const JobRun& r) {
  std::istringstream lines(r.requests());
  std::string line;
  std::vector<std::string> paths;
  while (std::getline(lines, line)) {
    if (line.rfind("KFS_FILE_WOPEN ", 0) == 0)
      paths.push_back(line.substr(15, line.find(" -> ") - 15));
  }
  return paths;
}

// The close of a file awaits no reply, so a connection lost right after it can swallow
// the commit. The run calls such a file backed up only once a reply confirms its close:
// it sends the file in flight again on the new connection (the server may answer that it
// holds it already), and the next run finds every file current.
TEST_F(IncrementalTest, BrokenConnectionSendsTheFileInFlightAgain) {
  struct Case {
    const char* fault;
    size_t in_flight;  // the file in flight, by the order of the opens (1 = first); 0: none
  };
  // Requests: 1 login, 2 lock, 3-5 folders, then 11 per file (open; query, data and end
  // for each of its three blocks; close): the closes are requests 16, 27, 38, ...
  const Case cases[] = {
      {"request#27 drop", 2},      // a close handled but never confirmed
      {"close#3 drop-before", 3},  // a close lost with the connection
      {"request#28 drop", 0},      // the open after a close confirms it
      {"request#8 drop", 0},       // a data message: the file starts over
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    fs::remove_all(dir() + "/store");
    fs::remove(dir() + "/" + kSchedule + ".ts");
    std::map<std::string, std::string> files;
    for (const char* name : {"a.txt", "b.txt", "c.txt", "d.txt", "e.txt", "f.txt"}) {
      files[name] = random_bytes(40);
      write_data(name, files[name]);
    }
    start_server({"--fault", c.fault});
    write_schedule("Src=D:\\\n");
    setenv("VARNO_RECONNECT_WAIT_MS", "10", 1);
    JobRun broken = run();
    ASSERT_EQ(broken.status, 0);
    EXPECT_NE(broken.server.find("conn 1 dropped"), std::string::npos) << broken.server;
    EXPECT_EQ(
        broken.count_logged("FILE: Successfully backed up") +
            broken.count_logged("FILE: File was reported to be changed, but is in fact up to date"),
        6)
        << broken.log;
    EXPECT_EQ(broken.board.items_failed, 0u) << broken.log;
    if (c.in_flight > 0) {
      const std::string remote = opened(broken).at(c.in_flight - 1);
      const std::string local = "D:\\" + remote.substr(remote.rfind('/') + 1);
      EXPECT_TRUE(broken.logged("FILE: ERROR: ERR_SCKREAD on '" + local + "'")) << broken.log;
    }

    JobRun next = run();
    ASSERT_EQ(next.status, 0);
    EXPECT_TRUE(next.logged("Using FCI cache.")) << next.log;
    EXPECT_EQ(next.count_logged("FILE: Current;"), 6) << next.log;
    EXPECT_EQ(opened(next), std::vector<std::string>{}) << next.server;
    EXPECT_EQ(regular_files(restore(1) + "/1/D Drive"), files);
    stop_server();
  }
}

// A server that asks for a second login at the start has broken nothing: the run's index
// stands, and the next run uses it.
TEST_F(IncrementalTest, LoginAskedAgainKeepsTheIndex) {
  write_data("a.txt", "alpha\n");
  start_server({"--again-first-login"});
  write_schedule("Src=D:\\\n");
  JobRun first = run();
  ASSERT_EQ(first.status, 0);
  EXPECT_EQ(first.count_server("KFS_SESSION_AUTH"), 2) << first.server;
  EXPECT_EQ(first.count_server(" handshake"), 2) << first.server;
  JobRun second = run();
  EXPECT_TRUE(second.logged("Using FCI cache.")) << second.log;
  EXPECT_TRUE(second.logged("FILE: Current; Not backing up: 'D:\\a.txt'")) << second.log;
}

}  // namespace
}  // namespace engine_test
