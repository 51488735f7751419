// A temporary working directory with its own etc/drives mapping D: to a folder of it,
// plus helpers to run a test case of this binary again in a child process.
#pragma once

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace fs_fixture {

class DriveD : public ::testing::Test {
 protected:
  void SetUp() override {
    testing_support::make_dirs(dir_.file("d"));
    testing_support::write_file(dir_.file("etc/drives"), "D:=" + dir_.file("d") + "\n");
    cwd_ = std::make_unique<testing_support::ScopedCwd>(dir_.path());
  }
  // Native path of a Windows-form path below D:\.
  std::string d(const std::string& relative) const { return dir_.file("d/" + relative); }

  testing_support::TempDir dir_;
  std::unique_ptr<testing_support::ScopedCwd> cwd_;
};

// Runs this test binary with `filter` in `cwd`, with extra NAME=VALUE environment
// entries, under an optional wrapper command; answers the exit status. The child sees
// VARNO_TEST_CHILD=1.
inline int run_child(const std::string& filter, const std::string& cwd,
                     const std::vector<std::string>& env = {}, const std::string& wrapper = "") {
  std::string command = "cd '" + cwd + "' && " + wrapper + " env VARNO_TEST_CHILD=1";
  for (const std::string& e : env) command += " '" + e + "'";
  char self[PATH_MAX] = {};
  if (readlink("/proc/self/exe", self, sizeof(self) - 1) <= 0) return -1;
  command += std::string(" '") + self + "' --gtest_filter='" + filter + "' >/dev/null 2>&1";
  return testing_support::run_command(command);
}

// Unmounts (lazily) whatever it mounted, even when the test fails half-way.
class ScopedMount {
 public:
  ScopedMount(const std::string& source, const std::string& target, const char* type,
              unsigned long flags)
      : target_(target) {
    mounted_ = mount(source.c_str(), target.c_str(), type, flags, nullptr) == 0;
  }
  ~ScopedMount() {
    if (mounted_) umount2(target_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string target_;
  bool mounted_ = false;
};

inline bool in_child() {
  return getenv("VARNO_TEST_CHILD") != nullptr;
}

}  // namespace fs_fixture
