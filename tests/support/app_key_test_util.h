// The installation's application key as the tests see it, and encrypted text files read
// back by openssl (a tool nobody here wrote).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "tests/support/test_support.h"
#include "util/machine.h"
#include "util/text.h"

namespace app_key_test {

// 64 upper-case hexadecimal digits of etc/varno.ak's key in the working directory.
inline std::string app_key_hex() {
  uint8_t key[32];
  EXPECT_EQ(get_application_key(key), 0);
  char hex[65];
  hex_encode(key, 32, hex);
  return hex;
}

// The plain text of an encrypted text file, decrypted by `openssl enc`.
inline std::string openssl_decrypt(const std::string& path) {
  std::string out = path + ".plain";
  std::string command = "openssl enc -d -aes-256-cbc -K " + app_key_hex() +
                        " -iv 00000000000000000000000000000000 -in '" + path + "' -out '" + out +
                        "' 2>/dev/null";
  EXPECT_EQ(testing_support::run_command(command), 0) << "openssl could not decrypt " << path;
  return testing_support::read_file(out);
}

}  // namespace app_key_test
