#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>

#include "platform/knobs.h"

namespace {

TEST(KnobTest, ParserTakesPlainDecimalMillisecondsOnly) {
  struct Case {
    const char* text;
    bool accepted;
    uint32_t value;
  };
  const Case cases[] = {
      {"0", true, 0},
      {"250", true, 250},
      {"007", true, 7},
      {"4294967295", true, UINT32_MAX},
      {"", false, 0},
      {"4294967296", false, 0},
      {"99999999999999999999", false, 0},
      {"-1", false, 0},
      {"+5", false, 0},
      {" 5", false, 0},
      {"5 ", false, 0},
      {"12x", false, 0},
      {"soon", false, 0},
      {"0x10", false, 0},
      {"1e3", false, 0},
  };
  for (const Case& c : cases) {
    uint32_t value = 12345;
    EXPECT_EQ(plat_knob_parse_ms(c.text, &value), c.accepted) << "'" << c.text << "'";
    EXPECT_EQ(value, c.accepted ? c.value : 12345u) << "'" << c.text << "'";
  }
}

TEST(KnobTest, MalformedOrOutOfRangeValueGivesTheCallersOwn) {
  const char* name = plat_knob_name(KNOB_COMMAND_LIMIT_MS);
  unsetenv(name);
  EXPECT_EQ(plat_knob_ms(KNOB_COMMAND_LIMIT_MS, 777), 777u);
  setenv(name, "2000", 1);
  EXPECT_EQ(plat_knob_ms(KNOB_COMMAND_LIMIT_MS, 777), 2000u);
  for (const char* bad : {"2000ms", "", "0", "43200001"}) {
    setenv(name, bad, 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(plat_knob_ms(KNOB_COMMAND_LIMIT_MS, 777), 777u) << "'" << bad << "'";
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.rfind("VARNO_COMMAND_LIMIT_MS: ignoring ", 0), 0u) << said;
    EXPECT_EQ(said.find('\n'), said.size() - 1) << "one line: " << said;
  }
  unsetenv(name);
}

TEST(KnobTest, WorkerCountTakesOneToSixtyFour) {
  const struct {
    const char* text;
    uint32_t expected;
  } cases[] = {{"1", 1}, {"64", 64}, {"0", 5}, {"65", 5}, {"2 ", 5}, {"-2", 5}};
  for (const auto& c : cases) {
    setenv("VARNO_WORKERS", c.text, 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(plat_knob_count(KNOB_WORKERS, 5), c.expected) << "'" << c.text << "'";
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.empty(), c.expected != 5) << said;
  }
  unsetenv("VARNO_WORKERS");
  EXPECT_EQ(plat_knob_count(KNOB_WORKERS, 5), 5u);
}

}  // namespace
