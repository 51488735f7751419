#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <vector>

#include "tests/support/fs_fixture.h"
#include "util/fsa.h"

using testing_support::write_file;

namespace {

class FsaTest : public fs_fixture::DriveD {};

struct FreeRecord {
  void operator()(FsaRecord* r) const { free(r); }
};
using Record = std::unique_ptr<FsaRecord, FreeRecord>;

std::vector<uint8_t> serialize(const FsaRecord* r) {
  long n = fsa_serialized_size(r);
  EXPECT_GT(n, 5);
  std::vector<uint8_t> out(static_cast<size_t>(n));
  EXPECT_EQ(fsa_serialize(r, out.data()), 0);
  return out;
}

TEST_F(FsaTest, CopiesOwnerGroupAndModeOntoAnotherFile) {
  write_file(d("source"), "s");
  write_file(d("target"), "t");
  ASSERT_EQ(chown(d("source").c_str(), 1234, 5678), 0);
  ASSERT_EQ(chmod(d("source").c_str(), 0640), 0);
  ASSERT_EQ(chmod(d("target").c_str(), 04777), 0);

  Record got(get_fsa(plat_env(), "D:\\source"));
  ASSERT_TRUE(got);
  EXPECT_EQ(got->kind, FSA_DESCRIPTOR);
  std::vector<uint8_t> bytes = serialize(got.get());
  EXPECT_EQ(bytes.size(), 5 + got->value);
  EXPECT_EQ(bytes[0], 3);
  EXPECT_EQ(bytes[1] | bytes[2] << 8 | bytes[3] << 16 | bytes[4] << 24,
            static_cast<int>(got->value));

  Record fresh(static_cast<FsaRecord*>(calloc(1, sizeof(FsaRecord))));
  ASSERT_EQ(fsa_deserialize(bytes.data(), bytes.size(), fresh.get()), 0);
  EXPECT_EQ(memcmp(fresh.get(), got.get(), sizeof(FsaRecord)), 0);
  ASSERT_EQ(set_fsa(plat_env(), "D:\\target", fresh.get()), 0);

  struct stat st {};
  ASSERT_EQ(stat(d("target").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 1234u);
  EXPECT_EQ(st.st_gid, 5678u);
  // The set-user-id bit of the target is not kept: the file changed hands.
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(FsaTest, EveryPermissionBitSurvivesTheRoundTrip) {
  write_file(d("f"), "f");
  for (unsigned mode : {0000u, 0001u, 0002u, 0004u, 0010u, 0020u, 0040u, 0100u, 0200u, 0400u, 0755u,
                        0777u, 0614u}) {
    ASSERT_EQ(chmod(d("f").c_str(), mode), 0);
    Record r(get_fsa(plat_env(), "D:\\f"));
    ASSERT_TRUE(r);
    ASSERT_EQ(chmod(d("f").c_str(), mode ^ 0777), 0);
    ASSERT_EQ(set_fsa(plat_env(), "D:\\f", r.get()), 0);
    struct stat st {};
    ASSERT_EQ(stat(d("f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, mode) << std::oct << mode;
  }
}

TEST_F(FsaTest, FailuresAndNullArguments) {
  errno = 0;
  EXPECT_EQ(get_fsa(plat_env(), nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(get_fsa(plat_env(), ""), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(get_fsa(plat_env(), "D:\\missing"), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(fsa_serialized_size(nullptr), -1);
  uint8_t out[8];
  EXPECT_EQ(fsa_serialize(nullptr, out), -1);
  EXPECT_EQ(fsa_deserialize(nullptr, 5, nullptr), -1);

  write_file(d("f"), "f");
  Record r(get_fsa(plat_env(), "D:\\f"));
  ASSERT_TRUE(r);
  EXPECT_EQ(set_fsa(plat_env(), nullptr, r.get()), -1);
  EXPECT_EQ(set_fsa(plat_env(), "", r.get()), -1);
  EXPECT_EQ(set_fsa(plat_env(), "D:\\f", nullptr), -1);
  errno = 0;
  EXPECT_EQ(set_fsa(plat_env(), "D:\\missing", r.get()), -1);
  EXPECT_EQ(errno, ENOENT);
  Record empty(static_cast<FsaRecord*>(calloc(1, sizeof(FsaRecord))));
  EXPECT_EQ(set_fsa(plat_env(), "D:\\f", empty.get()), -1);
}

TEST_F(FsaTest, LinksAreNotFollowedWhenApplying) {
  write_file(d("target"), "t");
  ASSERT_EQ(chmod(d("target").c_str(), 0600), 0);
  ASSERT_EQ(symlink(d("target").c_str(), d("link").c_str()), 0);
  Record r(get_fsa(plat_env(), "D:\\target"));
  ASSERT_TRUE(r);
  ASSERT_EQ(chmod(d("target").c_str(), 0644), 0);
  errno = 0;
  EXPECT_EQ(set_fsa(plat_env(), "D:\\link", r.get()), -1);
  EXPECT_EQ(errno, ELOOP);
  struct stat st {};
  ASSERT_EQ(stat(d("target").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(FsaTest, TruncatedOrInflatedRecordsAreRefusedAndLeaveTheRecordAlone) {
  write_file(d("f"), "f");
  Record r(get_fsa(plat_env(), "D:\\f"));
  ASSERT_TRUE(r);
  std::vector<uint8_t> bytes = serialize(r.get());

  Record target(static_cast<FsaRecord*>(calloc(1, sizeof(FsaRecord))));
  // Every shorter prefix: the length field promises more than is there.
  for (size_t n = 0; n < bytes.size(); ++n) {
    errno = 0;
    EXPECT_EQ(fsa_deserialize(bytes.data(), n, target.get()), -1) << n;
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(target->kind, FSA_EMPTY);
  }
  // A length field larger than the bytes given, or than the record's room.
  for (uint32_t claimed : {static_cast<uint32_t>(r->value + 1), 20481u, 0xFFFFFFFFu}) {
    std::vector<uint8_t> inflated = bytes;
    for (int i = 0; i < 4; ++i) inflated[1 + i] = static_cast<uint8_t>(claimed >> (8 * i));
    EXPECT_EQ(fsa_deserialize(inflated.data(), inflated.size(), target.get()), -1) << claimed;
    EXPECT_EQ(target->kind, FSA_EMPTY);
  }
  // A descriptor cut short inside a well-formed record: its own lengths do not fit.
  std::vector<uint8_t> cut(bytes.begin(), bytes.end() - 4);
  uint32_t n = static_cast<uint32_t>(cut.size() - 5);
  for (int i = 0; i < 4; ++i) cut[1 + i] = static_cast<uint8_t>(n >> (8 * i));
  EXPECT_EQ(fsa_deserialize(cut.data(), cut.size(), target.get()), -1);
  EXPECT_EQ(target->kind, FSA_EMPTY);
  // Attribute words belong to the other family: nothing changes, no failure.
  uint8_t word[5] = {2, 0x20, 0, 0, 0};
  EXPECT_EQ(fsa_deserialize(word, sizeof(word), target.get()), 0);
  EXPECT_EQ(target->kind, FSA_EMPTY);
  // A record whose length claims more than its room is applied nowhere and serialized
  // no further than its room.
  r->value = 30000;
  EXPECT_EQ(set_fsa(plat_env(), "D:\\f", r.get()), -1);
  EXPECT_EQ(fsa_serialized_size(r.get()), static_cast<long>(5 + FSA_DESCRIPTOR_ROOM));
}

}  // namespace
