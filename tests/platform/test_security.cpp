#include <gtest/gtest.h>

#include <sys/capability.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <random>
#include <vector>

#include "platform/error.h"
#include "platform/privilege.h"
#include "platform/security.h"

namespace {

std::vector<uint8_t> build(uint32_t uid, uint32_t gid, uint32_t mode) {
  size_t n = plat_security_descriptor_build(uid, gid, mode, nullptr, 0);
  std::vector<uint8_t> out(n);
  EXPECT_EQ(plat_security_descriptor_build(uid, gid, mode, out.data(), out.size()), n);
  return out;
}

int parse(const std::vector<uint8_t>& bytes, PlatSecurityFacts* facts) {
  // An exact-size heap copy, so a read past the end is caught by the sanitizers.
  std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
  if (!bytes.empty()) memcpy(copy.get(), bytes.data(), bytes.size());
  return plat_security_descriptor_parse(copy.get(), bytes.size(), facts);
}

void put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}

// Layout of what build() makes: header, owner SID, group SID, DACL (owner, group, Everyone).
constexpr size_t kOwner = 20, kGroup = 36, kDacl = 52, kAce1 = 60, kAce2 = 84, kAce3 = 108,
                 kTotal = 128;

TEST(SecurityDescriptorTest, LayoutIsASelfRelativeNtDescriptor) {
  std::vector<uint8_t> sd = build(1000, 100, 0754);
  // clang-format off
  const std::vector<uint8_t> expected = {
    0x01, 0x00, 0x04, 0x80,  20, 0, 0, 0,  36, 0, 0, 0,  0, 0, 0, 0,  52, 0, 0, 0,
    // S-1-22-1-1000
    0x01, 0x02, 0, 0, 0, 0, 0, 22,  1, 0, 0, 0,  0xE8, 0x03, 0, 0,
    // S-1-22-2-100
    0x01, 0x02, 0, 0, 0, 0, 0, 22,  2, 0, 0, 0,  100, 0, 0, 0,
    // ACL revision 2, size 76, 3 ACEs
    0x02, 0x00, 76, 0, 3, 0, 0, 0,
    // owner: read, write, execute
    0x00, 0x00, 24, 0,  0xBF, 0x01, 0x12, 0x00,
    0x01, 0x02, 0, 0, 0, 0, 0, 22,  1, 0, 0, 0,  0xE8, 0x03, 0, 0,
    // group: read, execute
    0x00, 0x00, 24, 0,  0xA9, 0x00, 0x12, 0x00,
    0x01, 0x02, 0, 0, 0, 0, 0, 22,  2, 0, 0, 0,  100, 0, 0, 0,
    // Everyone: read
    0x00, 0x00, 20, 0,  0x89, 0x00, 0x12, 0x00,
    0x01, 0x01, 0, 0, 0, 0, 0, 1,  0, 0, 0, 0,
  };
  // clang-format on
  EXPECT_EQ(sd, expected);
  EXPECT_EQ(sd.size(), kTotal);
  EXPECT_EQ(plat_security_descriptor_build(1, 2, 3, sd.data(), kTotal - 1), kTotal);
}

TEST(SecurityDescriptorTest, ParsesWhatItBuilds) {
  std::mt19937 rng(7);
  for (int i = 0; i < 1000; ++i) {
    uint32_t uid = rng(), gid = rng(), mode = rng() & 0777;
    PlatSecurityFacts f{};
    ASSERT_EQ(parse(build(uid, gid, mode), &f), 0);
    EXPECT_TRUE(f.has_owner && f.has_group && f.has_mode);
    EXPECT_EQ(f.uid, uid);
    EXPECT_EQ(f.gid, gid);
    EXPECT_EQ(f.mode, mode);
  }
}

TEST(SecurityDescriptorTest, EveryTruncationIsRefused) {
  std::vector<uint8_t> sd = build(1, 2, 0777);
  for (size_t n = 0; n < sd.size(); ++n) {
    PlatSecurityFacts f{};
    errno = 0;
    EXPECT_EQ(parse(std::vector<uint8_t>(sd.begin(), sd.begin() + n), &f), -1) << n;
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(plat_last_error(), PLAT_ERROR_INVALID_SECURITY_DESCR);
  }
}

TEST(SecurityDescriptorTest, InflatedLengthsAndStrayOffsetsAreRefused) {
  const std::vector<uint8_t> good = build(1, 2, 0750);
  auto refused = [&](auto mutate, const char* what) {
    std::vector<uint8_t> b = good;
    mutate(b);
    PlatSecurityFacts f{};
    EXPECT_EQ(parse(b, &f), -1) << what;
  };
  refused([](auto& b) { b[kOwner + 1] = 15; }, "owner sub-authority count past the end");
  refused([](auto& b) { b[kOwner + 1] = 255; }, "owner sub-authority count over 15");
  refused([](auto& b) { put32(b, 4, kTotal - 4); }, "owner offset near the end");
  refused([](auto& b) { put32(b, 4, 0xFFFFFFFF); }, "owner offset far away");
  refused([](auto& b) { put32(b, 8, 4); }, "group offset inside the header");
  refused([](auto& b) { put32(b, 16, 0xFFFFFFF8); }, "DACL offset wrapping");
  refused([](auto& b) { put16(b, kDacl + 2, 77); }, "ACL size past the end");
  refused([](auto& b) { put16(b, kDacl + 2, 4); }, "ACL size under its header");
  refused([](auto& b) { put16(b, kDacl + 4, 4); }, "one ACE more than the ACL holds");
  refused([](auto& b) { put16(b, kAce3 + 2, 24); }, "last ACE past the ACL");
  refused([](auto& b) { put16(b, kAce1 + 2, 0); }, "ACE of size 0");
  refused([](auto& b) { put16(b, kAce1 + 2, 10); }, "ACE size not a multiple of 4");
  refused([](auto& b) { b[kAce2 + 9] = 5; }, "ACE SID longer than its ACE");
  refused([](auto& b) { b[kDacl] = 3; }, "unknown ACL revision");
  refused([](auto& b) { b[0] = 2; }, "unknown descriptor revision");
  refused([](auto& b) { put16(b, 2, 0x0004); }, "not self-relative");
  refused([](auto& b) { put32(b, 16, 0); }, "null DACL");
  refused(
      [](auto& b) {
        put16(b, 2, 0x8014);
        put32(b, 12, kTotal - 2);
      },
      "SACL past the end");
  refused([](auto& b) { b[kOwner + 7] = 5; }, "owner that is not a POSIX account");
  refused([](auto& b) { b[kGroup + 8] = 1; }, "group SID naming a user");
}

TEST(SecurityDescriptorTest, OptionalPartsAndAceSemantics) {
  std::vector<uint8_t> b = build(10, 20, 0777);
  put32(b, 4, 0);       // no owner
  put16(b, 2, 0x8000);  // no DACL either
  PlatSecurityFacts f{};
  ASSERT_EQ(parse(b, &f), 0);
  EXPECT_FALSE(f.has_owner);
  EXPECT_TRUE(f.has_group);
  EXPECT_FALSE(f.has_mode);

  // A deny ACE takes rights away; inherit-only ACEs do not apply to the file itself.
  b = build(10, 20, 0777);
  b[kAce2] = 1;  // group ACE becomes a deny
  b[kAce3 + 1] = 0x08;
  ASSERT_EQ(parse(b, &f), 0);
  EXPECT_EQ(f.mode, 0700u);

  // Generic rights count as the specific ones; trailing bytes after the parts are fine.
  b = build(10, 20, 0);
  put32(b, kAce1 + 4, 0x10000000);  // GENERIC_ALL
  put32(b, kAce3 + 4, 0x80000000);  // GENERIC_READ
  b.resize(b.size() + 16, 0xEE);
  ASSERT_EQ(parse(b, &f), 0);
  EXPECT_EQ(f.mode, 0704u);
}

TEST(SecurityDescriptorTest, RandomBytesAndMutationsNeverReadPastTheEnd) {
  std::mt19937 rng(99);
  const std::vector<uint8_t> good = build(1, 2, 0750);
  PlatSecurityFacts f{};
  int accepted = 0;
  for (int i = 0; i < 20000; ++i) {
    std::vector<uint8_t> b = good;
    int flips = 1 + static_cast<int>(rng() % 4);
    for (int k = 0; k < flips; ++k) b[rng() % b.size()] = static_cast<uint8_t>(rng());
    if (rng() % 3 == 0) b.resize(rng() % (b.size() + 8), 0);
    accepted += parse(b, &f) == 0;
  }
  for (int i = 0; i < 20000; ++i) {
    std::vector<uint8_t> b(rng() % 200);
    for (uint8_t& x : b) x = static_cast<uint8_t>(rng());
    if (b.size() >= 4) {
      b[0] = 1;
      b[3] |= 0x80;
    }
    accepted += parse(b, &f) == 0;
  }
  EXPECT_GT(accepted, 0);  // mutations of unused bytes still parse
  EXPECT_EQ(plat_security_descriptor_parse(nullptr, 10, &f), -1);
  EXPECT_EQ(plat_security_descriptor_parse(good.data(), good.size(), nullptr), -1);
}

bool effective(cap_value_t cap) {
  cap_t caps = cap_get_proc();
  cap_flag_value_t v = CAP_CLEAR;
  cap_get_flag(caps, cap, CAP_EFFECTIVE, &v);
  cap_free(caps);
  return v == CAP_SET;
}

// Runs `body` in a child that has `cap` in neither its effective nor its permitted set,
// and none of the privileges' capabilities effective.
template <typename Body>
int without(cap_value_t cap, Body body) {
  pid_t pid = fork();
  if (pid == 0) {
    cap_t caps = cap_get_proc();
    cap_value_t all[] = {CAP_DAC_READ_SEARCH, CAP_DAC_OVERRIDE, CAP_CHOWN, CAP_FOWNER};
    cap_set_flag(caps, CAP_EFFECTIVE, 4, all, CAP_CLEAR);
    cap_set_flag(caps, CAP_PERMITTED, 1, &cap, CAP_CLEAR);
    if (cap_set_proc(caps) != 0) _exit(99);
    cap_free(caps);
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

TEST(PrivilegeTest, PrivilegesRaiseTheirCapabilities) {
  pid_t pid = fork();
  if (pid == 0) {
    cap_t caps = cap_get_proc();
    cap_value_t all[] = {CAP_DAC_READ_SEARCH, CAP_DAC_OVERRIDE, CAP_CHOWN, CAP_FOWNER};
    cap_set_flag(caps, CAP_EFFECTIVE, 4, all, CAP_CLEAR);
    if (cap_set_proc(caps) != 0) _exit(99);
    cap_free(caps);
    if (effective(CAP_DAC_READ_SEARCH) || effective(CAP_CHOWN)) _exit(1);
    if (plat_enable_privilege("SeBackupPrivilege") != 0 || !effective(CAP_DAC_READ_SEARCH))
      _exit(2);
    if (effective(CAP_CHOWN)) _exit(3);
    if (plat_enable_privilege("SeRestorePrivilege") != 0) _exit(4);
    if (!effective(CAP_DAC_OVERRIDE) || !effective(CAP_CHOWN) || !effective(CAP_FOWNER)) _exit(5);
    if (plat_enable_privilege("SeSecurityPrivilege") != 0) _exit(6);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 99) GTEST_SKIP() << "cannot change capabilities";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(PrivilegeTest, UnknownNamesAndUnheldPrivilegesFail) {
  errno = 0;
  EXPECT_EQ(plat_enable_privilege("SeDebugPrivilege"), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(plat_enable_privilege(nullptr), -1);
  int code = without(CAP_FOWNER, [] {
    errno = 0;
    if (plat_enable_privilege("SeRestorePrivilege") != -1 || errno != EPERM) return 1;
    if (plat_last_error() != PLAT_ERROR_NOT_ALL_ASSIGNED) return 2;
    // Nothing of a refused privilege is raised, not even what was permitted.
    if (effective(CAP_DAC_OVERRIDE) || effective(CAP_CHOWN)) return 3;
    if (plat_enable_privilege("SeBackupPrivilege") != 0) return 4;
    return 0;
  });
  if (code == 99) GTEST_SKIP() << "cannot change capabilities";
  EXPECT_EQ(code, 0);
}

}  // namespace
