#include <gtest/gtest.h>

#include <sys/capability.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>

#include "platform/machine.h"
#include "tests/support/fs_fixture.h"
#include "util/fs.h"
#include "util/machine.h"
#include "util/system.h"

using testing_support::make_dirs;
using testing_support::read_file;
using testing_support::write_file;

namespace {

std::string hex(const uint8_t* bytes, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out.push_back(digits[bytes[i] >> 4]);
    out.push_back(digits[bytes[i] & 15]);
  }
  return out;
}

std::string token_hex() {
  uint8_t token[MACHINE_TOKEN_SIZE];
  EXPECT_EQ(get_machine_token(token), 0);
  return hex(token, sizeof(token));
}

std::string field(const MachineInfo& info, size_t offset, size_t size) {
  const char* p = reinterpret_cast<const char*>(info.bytes + offset);
  EXPECT_EQ(p[size - 1], '\0');  // every text field keeps its terminator
  return std::string(p, strnlen(p, size));
}

class MachineTest : public fs_fixture::DriveD {
 protected:
  void SetUp() override {
    DriveD::SetUp();
    setenv("PROCESSOR_IDENTIFIER", "x86 Family 6 Model 158 Stepping 10, GenuineIntel", 1);
  }
};

TEST_F(MachineTest, TokenIsStableAndFollowsTheProcessorIdentifier) {
  std::string first = token_hex();
  EXPECT_EQ(token_hex(), first);
  setenv("PROCESSOR_IDENTIFIER", "x86 Family 6 Model 158 Stepping 11, GenuineIntel", 1);
  std::string changed = token_hex();
  EXPECT_NE(changed, first);
  unsetenv("PROCESSOR_IDENTIFIER");
  EXPECT_NE(token_hex(), changed);
  setenv("PROCESSOR_IDENTIFIER", "x86 Family 6 Model 158 Stepping 10, GenuineIntel", 1);
  EXPECT_EQ(token_hex(), first);
}

TEST_F(MachineTest, RecordFieldsHaveTheirLayout) {
  std::string long_cpu(5000, 'c');
  setenv("PROCESSOR_IDENTIFIER", long_cpu.c_str(), 1);
  MachineInfo info;
  memset(&info, 0xAB, sizeof(info));
  (void)gather_machine_info(&info);

  uint32_t memory = plat_total_physical_memory();
  EXPECT_GT(memory, 0u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(info.bytes[i], static_cast<uint8_t>(memory >> (8 * i)));
  for (int i = 4; i < 8; ++i) EXPECT_EQ(info.bytes[i], 0);

  EXPECT_EQ(field(info, MACHINE_INFO_PROCESSOR, 4096), std::string(4095, 'c'));

  std::string adapter = field(info, MACHINE_INFO_ADAPTER, 40);
  EXPECT_TRUE(adapter.empty() ||
              std::regex_match(adapter, std::regex("[0-9a-f]{2}(-[0-9a-f]{2})*")))
      << adapter;

  std::string serial = field(info, MACHINE_INFO_VOLUME, 40);
  List* volumes = get_volumes();
  std::string c_serial;
  for (int i = 0; i < list_count(volumes); ++i) {
    const auto* v = reinterpret_cast<const VolumeRecord*>(list_item(volumes, i));
    if (strcmp(v->root, system_drive_root()) == 0) c_serial = v->serial;
  }
  list_free(volumes);
  EXPECT_EQ(serial, c_serial);
  EXPECT_TRUE(std::regex_match(serial, std::regex("[0-9A-F]{4}-[0-9A-F]{4}"))) << serial;

  std::string machine_id;
  std::ifstream("/etc/machine-id") >> machine_id;
  EXPECT_EQ(field(info, MACHINE_INFO_PRODUCT_ID, 40), machine_id.substr(0, 39));

  std::string profile = field(info, MACHINE_INFO_HW_PROFILE, 40);
  if (!machine_id.empty()) {
    EXPECT_TRUE(
        std::regex_match(profile, std::regex("\\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\}")))
        << profile;
  }
  // Nothing else of the record is written.
  auto zero_after = [&](size_t offset, size_t size) {
    size_t used = strnlen(reinterpret_cast<const char*>(info.bytes + offset), size);
    for (size_t i = offset + used; i < offset + size; ++i) ASSERT_EQ(info.bytes[i], 0) << i;
  };
  zero_after(MACHINE_INFO_ADAPTER, 40);
  zero_after(MACHINE_INFO_VOLUME, 40);
  zero_after(MACHINE_INFO_PRODUCT_ID, 40);
  zero_after(MACHINE_INFO_HW_PROFILE, 40);
}

TEST_F(MachineTest, TokenIsTheSha1OfTheRecordAsOpensslComputesIt) {
  MachineInfo info;
  (void)gather_machine_info(&info);
  std::string record = dir_.file("record.bin");
  write_file(record, std::string(reinterpret_cast<const char*>(info.bytes), sizeof(info.bytes)));
  std::string out = dir_.file("digest.txt");
  ASSERT_EQ(testing_support::run_command("openssl dgst -sha1 -r '" + record + "' > '" + out + "'"),
            0);
  EXPECT_EQ(read_file(out).substr(0, 40), token_hex());
}

TEST_F(MachineTest, CommandLineTokenMatches) {
  std::string out = dir_.file("token.txt");
  std::string ctl = std::string(VARNO_BUILD_DIR) + "/tools/varno-ctl";
  ASSERT_EQ(testing_support::run_command("'" + ctl + "' token > '" + out + "'"), 0);
  EXPECT_EQ(read_file(out), token_hex() + "\n");
}

TEST_F(MachineTest, WithoutANetworkAdapterTheFieldIsEmptyAndATokenIsMade) {
  if (testing_support::run_command("unshare -n true 2>/dev/null") != 0) {
    GTEST_SKIP() << "cannot make a network namespace here";
  }
  EXPECT_EQ(fs_fixture::run_child("MachineNoAdapterChild.*", dir_.path(), {}, "unshare -n"), 0);
}

// Run by the test above in a network namespace holding only the loopback interface.
TEST(MachineNoAdapterChild, AdapterFieldIsEmpty) {
  if (!fs_fixture::in_child()) GTEST_SKIP() << "runs as a child of MachineTest";
  MachineInfo info;
  (void)gather_machine_info(&info);
  for (size_t i = MACHINE_INFO_ADAPTER; i < MACHINE_INFO_ADAPTER + 40; ++i)
    ASSERT_EQ(info.bytes[i], 0);
  uint8_t token[MACHINE_TOKEN_SIZE] = {};
  EXPECT_EQ(get_machine_token(token), 0);
  EXPECT_NE(hex(token, sizeof(token)), std::string(40, '0'));
}

// The key table, pinned: another table reads another key from the same file, and every
// schedule written under the old key becomes unreadable.
constexpr long kPinnedOffsets[8] = {1873, 402, 3591, 4092, 77, 2950, 1214, 3327};

class ApplicationKeyTest : public fs_fixture::DriveD {
 protected:
  std::string key_path() const { return dir_.file("etc/varno.ak"); }
  std::string key_hex_or_failure() {
    uint8_t key[APPLICATION_KEY_SIZE];
    memset(key, 0xAA, sizeof(key));
    if (get_application_key(key) != 0) {
      for (uint8_t b : key) EXPECT_EQ(b, 0xAA);  // untouched on failure
      return "failed";
    }
    return hex(key, sizeof(key));
  }
};

TEST_F(ApplicationKeyTest, CreatedOnceOwnerOnlyAndReadFromTheTable) {
  std::string key = key_hex_or_failure();
  ASSERT_NE(key, "failed");
  struct stat st {};
  ASSERT_EQ(stat(key_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 4096);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string file = read_file(key_path());
  std::string expected;
  for (long off : kPinnedOffsets)
    expected += hex(reinterpret_cast<const uint8_t*>(file.data() + off), 4);
  EXPECT_EQ(key, expected);
  EXPECT_EQ(create_application_key_file(), -1);
  EXPECT_EQ(read_file(key_path()), file);

  // Cached for the process: the file is not read again, nor recreated.
  ASSERT_EQ(unlink(key_path().c_str()), 0);
  EXPECT_EQ(key_hex_or_failure(), key);
  EXPECT_FALSE(testing_support::file_exists(key_path()));
}

// Prints the key to key.out in the working directory; run as a child.
TEST(ApplicationKeyChild, PrintKey) {
  if (!fs_fixture::in_child()) GTEST_SKIP() << "runs as a child of ApplicationKeyTest";
  uint8_t key[APPLICATION_KEY_SIZE];
  std::ofstream out("key.out." + std::to_string(getpid()));
  if (get_application_key(key) != 0) {
    out << "failed";
    return;
  }
  out << hex(key, sizeof(key));
}

std::vector<std::string> child_keys(const std::string& dir) {
  std::vector<std::string> keys;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    if (e.path().filename().string().rfind("key.out.", 0) == 0) keys.push_back(read_file(e.path()));
  }
  return keys;
}

TEST_F(ApplicationKeyTest, ASecondProcessReadsTheSameKey) {
  std::string key = key_hex_or_failure();
  ASSERT_NE(key, "failed");
  ASSERT_EQ(fs_fixture::run_child("ApplicationKeyChild.*", dir_.path()), 0);
  EXPECT_EQ(child_keys(dir_.path()), std::vector<std::string>{key});
}

TEST_F(ApplicationKeyTest, ProcessesRacingToCreateTheFileAllGetOneKey) {
  std::string self(4096, '\0');
  ssize_t n = readlink("/proc/self/exe", self.data(), self.size() - 1);
  ASSERT_GT(n, 0);
  self.resize(static_cast<size_t>(n));
  std::string one =
      "VARNO_TEST_CHILD=1 '" + self + "' --gtest_filter=ApplicationKeyChild.* >/dev/null 2>&1";
  std::string all = "cd '" + dir_.path() + "' && (";
  for (int i = 0; i < 8; ++i) all += one + " & ";
  all += "wait)";
  ASSERT_EQ(testing_support::run_command(all), 0);
  std::vector<std::string> keys = child_keys(dir_.path());
  ASSERT_EQ(keys.size(), 8u);
  for (const std::string& k : keys) EXPECT_EQ(k, keys[0]);
  EXPECT_NE(keys[0], "failed");
  EXPECT_EQ(key_hex_or_failure(), keys[0]);
}

TEST_F(ApplicationKeyTest, AShortKeyFileFailsEveryTimeAndIsNotRepaired) {
  write_file(key_path(), std::string(100, 'k'));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(key_hex_or_failure(), "failed");
  EXPECT_EQ(read_file(key_path()), std::string(100, 'k'));
  // One byte short of the highest piece is still short.
  write_file(key_path(), std::string(4095, 'k'));
  EXPECT_EQ(key_hex_or_failure(), "failed");
  write_file(key_path(), std::string(4096, 'k'));
  EXPECT_EQ(key_hex_or_failure(),
            hex(reinterpret_cast<const uint8_t*>(std::string(32, 'k').data()), 32));
}

TEST_F(ApplicationKeyTest, KeyFilesThatCannotBeReadOrMadeAreNeverReplaced) {
  // A folder in its place: status works, reading does not.
  make_dirs(key_path());
  EXPECT_EQ(key_hex_or_failure(), "failed");
  ASSERT_EQ(rmdir(key_path().c_str()), 0);
  // A dangling link: creation must not go through it.
  ASSERT_EQ(symlink(dir_.file("elsewhere").c_str(), key_path().c_str()), 0);
  EXPECT_EQ(key_hex_or_failure(), "failed");
  EXPECT_FALSE(testing_support::file_exists(dir_.file("elsewhere")));
}

TEST_F(ApplicationKeyTest, AKeyFileThatCannotBeOpenedFailsWithoutBeingReplaced) {
  write_file(key_path(), std::string(4096, 'k'));
  ASSERT_EQ(chmod(key_path().c_str(), 0), 0);
  pid_t pid = fork();
  if (pid == 0) {
    // Without capabilities root is bound by the permission bits like anyone else.
    cap_t none = cap_init();
    if (cap_set_proc(none) != 0) _exit(99);
    cap_free(none);
    uint8_t key[APPLICATION_KEY_SIZE];
    _exit(get_application_key(key) == -1 && errno == EACCES ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 99) GTEST_SKIP() << "cannot drop capabilities";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(read_file(key_path()), std::string(4096, 'k'));
}

TEST(ApplicationKeyNoEtcTest, MissingEtcFolderFails) {
  testing_support::TempDir dir;
  testing_support::ScopedCwd cwd(dir.path());
  uint8_t key[APPLICATION_KEY_SIZE] = {};
  EXPECT_EQ(get_application_key(key), -1);
  EXPECT_EQ(create_application_key_file(), -1);
  EXPECT_FALSE(testing_support::file_exists(dir.file("etc")));
  EXPECT_EQ(get_application_key(nullptr), -1);
}

}  // namespace
