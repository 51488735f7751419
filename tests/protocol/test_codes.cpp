#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "protocol/codes.h"
#include "tests/support/test_support.h"

namespace {

std::string render_all_codes() {
  std::ostringstream out;
  for (int c = 0; c < 256; ++c) out << "type " << c << " " << kfs_type_name(c) << "\n";
  for (int c = 0; c < 256; ++c) {
    out << "error " << c << " " << kfs_error_name(c) << " " << kfs_error_description(c) << "\n";
  }
  for (int c = -1; c < 27; ++c) out << "mgnt " << c << " " << kfs_mgnt_type_name(c) << "\n";
  return out.str();
}

// Every code and its exact text, against the table kept in testdata. UPDATE_GOLDEN=1
// rewrites the file; a mismatch leaves the new output beside it as ".actual".
TEST(CodesTest, EveryCodeAndTextMatchesTheGoldenTable) {
  const std::string golden =
      std::string(VARNO_SOURCE_DIR) + "/tests/protocol/testdata/codes.golden";
  std::string actual = render_all_codes();
  if (getenv("UPDATE_GOLDEN") != nullptr) testing_support::write_file(golden, actual);
  std::string expected = testing_support::read_file(golden);
  if (actual != expected) testing_support::write_file(golden + ".actual", actual);
  EXPECT_EQ(actual, expected);
}

TEST(CodesTest, OnlyTheLowEightBitsCountExceptForManagementTypes) {
  EXPECT_STREQ(kfs_error_name(260), "ERR_ACCESS");
  EXPECT_STREQ(kfs_error_description(256 + 17), "File is up to date");
  EXPECT_STREQ(kfs_error_name(-1), "ERR_SCKWRITE");
  EXPECT_STREQ(kfs_type_name(256 + 17), "KFS_FILE_WOPEN");
  EXPECT_STREQ(kfs_type_name(2), "KFS_SESSION_CLOSE");
  EXPECT_STREQ(kfs_type_name(130), "KFS_UNKNOWN");
  EXPECT_STREQ(kfs_mgnt_type_name(256), "MGNT_UNKNOWN");
  EXPECT_STREQ(kfs_mgnt_type_name(25), "MGNT_UNKNOWN");
  EXPECT_STREQ(kfs_mgnt_type_name(-1), "MGNT_UNKNOWN");
  EXPECT_STREQ(kfs_mgnt_type_name(24), "MGNT_A_USER_ACCESSIBLE_LIST_SET");
}

TEST(CodesTest, UnnamedErrorsHaveTheUnknownTexts) {
  for (int c : {8, 22, 26, 29, 31, 234, 236, 253}) {
    EXPECT_STREQ(kfs_error_name(c), "ERR_UNKNOWN") << c;
    EXPECT_STREQ(kfs_error_description(c), "ERR_DESCRIPTION_UNKNOWN") << c;
  }
}

TEST(CodesTest, TransportFailuresAreTransientAndAnswersAreNot) {
  EXPECT_TRUE(kfs_error_is_transient(ERR_SCKREAD));
  EXPECT_TRUE(kfs_error_is_transient(ERR_SCKWRITE));
  EXPECT_TRUE(kfs_error_is_transient(ERR_BUSY));
  EXPECT_FALSE(kfs_error_is_transient(ERR_NONE));
  EXPECT_FALSE(kfs_error_is_transient(ERR_AUTH_FAILURE));
  EXPECT_FALSE(kfs_error_is_transient(ERR_UP2DATE));
  EXPECT_FALSE(kfs_error_is_transient(ERR_BADPATH));
  EXPECT_FALSE(kfs_error_is_transient(22));
}

}  // namespace
