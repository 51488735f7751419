// Encoder threads change when blocks are encoded, never what reaches the server: with
// VARNO_WORKERS=1 and with several workers the server stores the same payload bytes (each
// block's object is named by the SHA-256 of what the client sent), receives the same
// requests in the same order, and the job log carries the same file lines.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include <openssl/sha.h>

#include "tests/support/engine_world.h"
#include "tools/kfs-devserver/store.h"

namespace fs = std::filesystem;

namespace engine_test {
namespace {

struct TreeCase {
  const char* name;
  std::vector<std::pair<std::string, size_t>> files;  // relative path, random bytes
  int block_size;
};

// Every stored file of the destination: size, block size and the blocks (MD5 and the
// SHA-256 of the payload), which is all of what the client sent that the server keeps.
std::map<std::string, std::string> stored(const std::string& store, int dest) {
  std::map<std::string, std::string> out;
  kfsd::Store reader(store);
  EXPECT_TRUE(reader.open_existing());
  const auto user = static_cast<uint32_t>(dest);
  const std::string own = std::to_string(dest) + "/";
  EXPECT_TRUE(reader.walk(user, [&](const kfsd::StoredEntry& e) {
    kfsd::FileMeta meta;
    if (reader.lookup(user, e.path, &meta) != kfsd::KIND_FILE) return true;
    // Which version, and when the server took it, differ from run to run.
    std::string kept = "size " + std::to_string(meta.size) + "\nblock_size " +
                       std::to_string(meta.block_size) + "\n";
    for (const kfsd::Block& b : meta.blocks) {
      std::vector<uint8_t> payload;
      EXPECT_TRUE(reader.read_payload(user, b, &payload)) << e.path;
      uint8_t digest[SHA256_DIGEST_LENGTH];
      SHA256(payload.data(), payload.size(), digest);
      kept += b.md5 + " " + kfsd::hex(digest, sizeof digest) + "\n";
    }
    out[e.path.substr(e.path.rfind(own, 0) == 0 ? own.size() : 0)] = kept;
    return true;
  }));
  return out;
}

// The file requests and the job log's file lines, with the destination left out.
std::string transcript(const JobRun& run, int dest) {
  std::string out;
  std::istringstream requests(run.requests());
  const std::string own = "/" + std::to_string(dest) + "/";
  for (std::string line; std::getline(requests, line);) {
    if (line.rfind("KFS_FILE_", 0) != 0) continue;
    size_t at = line.find(own);
    if (at != std::string::npos) line.replace(at, own.size(), "/N/");
    out += line + "\n";
  }
  for (const std::string& m : run.messages()) {
    if (m.rfind("FILE: ", 0) == 0) out += m + "\n";
  }
  return out;
}

class WorkersTest : public EngineWorld {
 protected:
  // Backs D:\ up to destination `dest` with `workers` encoder threads.
  JobRun back_up(int dest, const char* workers) {
    setenv("VARNO_WORKERS", workers, 1);
    write_schedule("Dest=/" + std::to_string(dest) + "\nSrc=D:\\\n");
    JobRun r = run();
    unsetenv("VARNO_WORKERS");
    return r;
  }
};

TEST_F(WorkersTest, SeveralWorkersStoreWhatOneStores) {
  const std::vector<TreeCase> cases = {
      {"empty and tiny files", {{"a/empty", 0}, {"a/one", 1}, {"a/b/two", 2}}, 16},
      {"one block each", {{"x/15", 15}, {"x/16", 16}, {"y/ten", 10}}, 16},
      {"many blocks, partial last",
       {{"big/a", 16 * 40 + 5}, {"big/b", 16 * 70}, {"big/c", 300}, {"small", 3}},
       16},
      {"planned ahead: files of one large block",
       {{"m/0", 100},
        {"m/1", 40000},
        {"m/2", 70000},
        {"m/3", 20000},
        {"m/4", 65536},
        {"m/5", 17000},
        {"m/6", 1},
        {"m/d/7", 30000},
        {"m/8", 50000}},
       65536},
      {"blocks of a large file over the workers", {{"l/one", 600000}, {"l/two", 90000}}, 16384},
  };
  int dest = 0;
  for (const TreeCase& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(data());
    fs::create_directories(data());
    for (const auto& [path, size] : c.files) write_data(path, random_bytes(size));
    stop_server();
    start_server({"--block-size", std::to_string(c.block_size)});
    std::string reference;
    for (const char* workers : {"1", "3", "2"}) {
      JobRun r = back_up(++dest, workers);
      ASSERT_EQ(r.status, 0) << r.log;
      EXPECT_EQ(r.count_logged("FILE: Successfully backed up '"), static_cast<int>(c.files.size()))
          << r.log;
      std::string got = transcript(r, dest);
      for (const auto& [path, record] : stored(dir() + "/store", dest)) got += path + "\n" + record;
      if (reference.empty()) {
        reference = got;
      } else {
        EXPECT_EQ(got, reference) << workers << " workers";
      }
    }
  }
}

// A file rewritten while it is sent is stored as one of the states it went through: every
// block comes from the same open file, even with blocks encoded ahead of their turn.
TEST_F(WorkersTest, FileChangingDuringTheRunIsStoredWhole) {
  // One size, so that the walk's size fits either state.
  const std::string a = random_bytes(200000);
  const std::string b = random_bytes(200000);
  write_data("changing/file", a);
  for (int i = 0; i < 20; ++i) write_data("changing/f" + std::to_string(i), random_bytes(20000));
  start_server({"--block-size", "32768"});
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop; ++i) {
      // A new file under the old name, as editors save.
      const std::string next = data("changing/.next");
      std::ofstream(next, std::ios::binary) << (i % 2 == 0 ? b : a);
      fs::rename(next, data("changing/file"));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  JobRun r = back_up(1, "4");
  stop = true;
  writer.join();
  ASSERT_EQ(r.status, 0) << r.log;
  EXPECT_TRUE(r.logged("FILE: Successfully backed up 'D:\\changing\\file'")) << r.log;
  std::string restored = restore(1);
  ASSERT_FALSE(restored.empty());
  std::map<std::string, std::string> files = regular_files(restored + "/1");
  const std::string& got = files["D Drive/changing/file"];
  EXPECT_TRUE(got == a || got == b) << "stored " << got.size() << " bytes, a mix";
}

}  // namespace
}  // namespace engine_test
