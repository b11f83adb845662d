// Pass-through LED form of the LED test: LEDs 0..4, value as given.
#include <gtest/gtest.h>

#include "quarne.h"
#include "sandbox_dir.h"

using testkit::kGpioBase;

namespace {

TEST(PassThroughLed, DrivesTheLineAsGiven) {
  testkit::SandboxDir sb;
  sb.make_register_file();
  ASSERT_EQ(led_init(), 0);
  const struct {
    unsigned led, value;
    uint32_t reg, word;
  } cases[] = {
      {0, 1, 0x018, 0x00004000},  // GPSR0: line 14 high
      {0, 0, 0x024, 0x00004000},  // GPCR0: line 14 low
      {1, 1, 0x020, 0x00100000},  // GPSR2: line 84 high
      {1, 5, 0x020, 0x00100000},  // any non-zero value drives high
      {1, 0, 0x02C, 0x00100000},
      {2, 1, 0x018, 0x00080000},
      {3, 1, 0x01C, 0x00040000},
      {4, 0, 0x028, 0x00080000},
  };
  for (auto c : cases) {
    SCOPED_TRACE(testing::Message() << "LED " << c.led << " value " << c.value);
    sb.write32(kGpioBase + c.reg, 0);
    EXPECT_EQ(SetLEDPassThru(c.led, c.value), 0);
    EXPECT_EQ(sb.read32(kGpioBase + c.reg), c.word);
  }
  EXPECT_EQ(SetLEDPassThru(5, 1), -1);
  led_exit();
  EXPECT_EQ(SetLEDPassThru(0, 1), -1) << "window closed";
}

}  // namespace
