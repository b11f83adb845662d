// Board hardware library on a sparse register file standing in for /dev/mem.
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include <gtest/gtest.h>

#include "quarne.h"
#include "sandbox.h"
#include "sandbox_dir.h"

using testkit::kBoardBase;
using testkit::kGpioBase;
using testkit::SandboxDir;

namespace {

constexpr uint32_t kControl = kBoardBase + 0x0000;
constexpr uint32_t kService = kBoardBase + 0xF000;

class Hardware : public ::testing::Test {
 protected:
  void SetUp() override { sb.make_register_file(); }
  void TearDown() override {
    for (int k = 0; k < 3; k++) {
      if (quarne_mapping_table[k].va_base != nullptr) mmio_destroy(k);
    }
  }
  SandboxDir sb;
};

TEST_F(Hardware, WindowTableStartsClosed) {
  const off_t bases[3] = {0x40E00000, 0x17000000, 0x40A00000};
  for (int k = 0; k < 3; k++) {
    EXPECT_EQ(quarne_mapping_table[k].pa_base, bases[k]);
    EXPECT_EQ(quarne_mapping_table[k].size, 0x00100000u);
    EXPECT_EQ(quarne_mapping_table[k].mmio_fd, -1);
    EXPECT_EQ(quarne_mapping_table[k].va_base, nullptr);
    EXPECT_EQ(mmio_map(k, 0), nullptr);
  }
  EXPECT_EQ(open_flags, -1);
  EXPECT_STREQ(wdt_device.name, "watchdog");
  EXPECT_EQ(wdt_device.type, 1);
  EXPECT_EQ(wdt_device.access_type, 0);
  EXPECT_EQ(wdt_device.open, nullptr);
  EXPECT_EQ(wdt_device.write, nullptr);
  ASSERT_NE(wdt_device.read, nullptr);
  EXPECT_EQ(wdt_device.read(), -1) << "window closed";
}

TEST_F(Hardware, MapWrapsOffsetsInsideTheWindow) {
  ASSERT_EQ(mmio_init(MMIO_GPIO), 0);
  char *base = static_cast<char *>(quarne_mapping_table[0].va_base);
  ASSERT_NE(base, nullptr);
  EXPECT_EQ(mmio_map(0, 4), base + 4);
  EXPECT_EQ(mmio_map(0, 0x00100000 + 4), base + 4);
  EXPECT_EQ(mmio_map(0, -4), base + 0x00100000 - 4);
  EXPECT_EQ(mmio_map(1, 4), nullptr) << "another window stays closed";
  EXPECT_EQ(mmio_map(3, 0), nullptr) << "no such window";
  EXPECT_EQ(mmio_map(-1, 0), nullptr);
}

TEST_F(Hardware, MappedWindowReachesThePhysicalAddress) {
  ASSERT_EQ(mmio_init(MMIO_BOARD), 0);
  *static_cast<volatile uint32_t *>(mmio_map(1, 0x1234)) = 0xCAFEF00D;
  EXPECT_EQ(sb.read32(kBoardBase + 0x1234), 0xCAFEF00Du);
}

TEST_F(Hardware, DestroyClosesOnce) {
  EXPECT_EQ(mmio_destroy(2), -1) << "never opened";
  EXPECT_EQ(quarne_mapping_table[2].mmio_fd, -1);
  ASSERT_EQ(mmio_init(2), 0);
  EXPECT_GE(quarne_mapping_table[2].mmio_fd, 0);
  EXPECT_EQ(mmio_destroy(2), 0);
  EXPECT_EQ(quarne_mapping_table[2].mmio_fd, -1);
  EXPECT_EQ(quarne_mapping_table[2].va_base, nullptr);
  EXPECT_EQ(mmio_destroy(2), -1);
  EXPECT_EQ(mmio_map(2, 0), nullptr);
  EXPECT_EQ(mmio_init(5), -2);
  EXPECT_EQ(mmio_destroy(5), -1);
}

TEST_F(Hardware, MissingMemoryDeviceIsReportedQuietly) {
  unlink(sb.board("/dev/mem").c_str());
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  EXPECT_EQ(mmio_init(0), -2);
  EXPECT_EQ(wdt_init(), -2);
  EXPECT_EQ(led_init(), -2);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(quarne_mapping_table[0].mmio_fd, -1);
  EXPECT_EQ(quarne_mapping_table[0].va_base, nullptr);
}

TEST_F(Hardware, MappingFailureEndsTheProcess) {
  // A memory device that opens but cannot be mapped: a FIFO.
  unlink(sb.board("/dev/mem").c_str());
  ASSERT_EQ(mkfifo(sb.board("/dev/mem").c_str(), 0600), 0);
  EXPECT_EXIT(mmio_init(2),
      testing::ExitedWithCode(1),
      "^Error at line [0-9]+, file src/sys/mmio.cpp \\([0-9]+\\) \\[.+\\]\n$");
}

TEST_F(Hardware, EveryOperationWithItsWindowClosed) {
  const std::vector<uint8_t> gpio = sb.read_window(kGpioBase);
  const std::vector<uint8_t> board = sb.read_window(kBoardBase);
  EXPECT_EQ(getGPIO(5), 0);
  EXPECT_EQ(setOGPIO(5), -1);
  EXPECT_EQ(clearOGPIO(5), -1);
  EXPECT_EQ(setGPIO(5, 1), -1);
  EXPECT_EQ(setGPIO(5, 0), -1);
  EXPECT_EQ(setFunGPIO(5, 1), -1);
  EXPECT_EQ(setDirGPIO(5, 1, 0), -1);
  EXPECT_EQ(SetLED(1, 1), -1);
  EXPECT_EQ(Enable_WDT(5000), 1);
  Disable_WDT();
  EXPECT_EQ(Refresh_WDT(), -1);
  EXPECT_EQ(Reset_WDT(), -1);
  EXPECT_EQ(wdt_device.read(), -1);
  gpio_exit();
  led_exit();
  wdt_exit();
  EXPECT_EQ(sb.read_window(kGpioBase), gpio);
  EXPECT_EQ(sb.read_window(kBoardBase), board);
}

TEST_F(Hardware, GpioLevelsAndOutputs) {
  ASSERT_EQ(gpio_init(), 0);
  sb.write32(kGpioBase + 0x100, 0x01000000);  // GPLR3: line 120 high
  sb.write32(kGpioBase + 0x000, 0x00000001);  // GPLR0: line 0 high
  EXPECT_EQ(getGPIO(120), 1);
  EXPECT_EQ(getGPIO(119), 0);
  EXPECT_EQ(getGPIO(0), 1);
  EXPECT_EQ(getGPIO(121), 0);

  // Set and clear registers are written whole, never read first.
  sb.write32(kGpioBase + 0x118, 0xFFFFFFFF);
  sb.write32(kGpioBase + 0x024, 0xFFFFFFFF);
  EXPECT_EQ(setOGPIO(120), 0);
  EXPECT_EQ(sb.read32(kGpioBase + 0x118), 0x01000000u);  // GPSR3
  EXPECT_EQ(clearOGPIO(0), 0);
  EXPECT_EQ(sb.read32(kGpioBase + 0x024), 0x00000001u);  // GPCR0
  EXPECT_EQ(setGPIO(33, 7), 0);
  EXPECT_EQ(sb.read32(kGpioBase + 0x01C), 0x00000002u);  // GPSR1
  EXPECT_EQ(setGPIO(64, 0), 0);
  EXPECT_EQ(sb.read32(kGpioBase + 0x02C), 0x00000001u);  // GPCR2
}

TEST_F(Hardware, SandboxMirrorsOutputLevelsIntoTheLevelRegister) {
  // On the board the controller changes the level by itself; the register
  // file learns it from the sandbox, so a simulation can read the LEDs.
  ASSERT_EQ(led_init(), 0);
  sb.write32(kGpioBase + 0x008, 0x00000000);  // GPLR2
  EXPECT_EQ(SetLED(1, 0), 0);
  EXPECT_EQ(sb.read32(kGpioBase + 0x008), 0x00100000u) << "dark: line 84 high";
  EXPECT_EQ(getGPIO(84), 1);
  EXPECT_EQ(SetLED(1, 1), 0);
  EXPECT_EQ(sb.read32(kGpioBase + 0x008), 0u) << "lit: line 84 low";
  EXPECT_EQ(getGPIO(84), 0);
}

TEST_F(Hardware, GpioFunctionAndDirection) {
  ASSERT_EQ(gpio_init(), 0);
  sb.write32(kGpioBase + 0x058, 0xFFFFFFFF);  // GAFR0_U
  EXPECT_EQ(setFunGPIO(17, 2), 0);
  EXPECT_EQ(sb.read32(kGpioBase + 0x058), 0xFFFFFFFBu) << "only bits 2..3 change, to 2";
  sb.write32(kGpioBase + 0x058, 0);
  EXPECT_EQ(setFunGPIO(17, 2), 0);
  EXPECT_EQ(sb.read32(kGpioBase + 0x058), 0x00000008u);

  sb.write32(kGpioBase + 0x014, 0x00000000);  // GPDR2
  sb.write32(kGpioBase + 0x064, 0xFFFFFFFF);  // GAFR2_L covers lines 64..79
  EXPECT_EQ(setDirGPIO(70, 1, 0), 0);
  EXPECT_EQ(sb.read32(kGpioBase + 0x014), 0x00000040u);
  EXPECT_EQ(sb.read32(kGpioBase + 0x064), 0xFFFFCFFFu);
  EXPECT_EQ(setDirGPIO(70, 0, 1), 0);
  EXPECT_EQ(sb.read32(kGpioBase + 0x014), 0u);
  EXPECT_EQ(sb.read32(kGpioBase + 0x064), 0xFFFFDFFFu);
}

TEST_F(Hardware, GpioLineAbove120TouchesNothing) {
  ASSERT_EQ(gpio_init(), 0);
  const std::vector<uint8_t> before = sb.read_window(kGpioBase);
  EXPECT_EQ(setOGPIO(121), -1);
  EXPECT_EQ(clearOGPIO(121), -1);
  EXPECT_EQ(setFunGPIO(121, 1), -1);
  EXPECT_EQ(setDirGPIO(121, 1, 0), -1);
  EXPECT_EQ(setOGPIO(0xFFFFFFFF), -1);
  EXPECT_EQ(sb.read_window(kGpioBase), before);
}

TEST_F(Hardware, ActiveLowLeds) {
  ASSERT_EQ(led_init(), 0);
  const struct {
    unsigned led, value;
    uint32_t reg, word;
  } cases[] = {
      {1, 1, 0x02C, 0x00100000},  // GPCR2: line 84 low, lit
      {1, 0, 0x020, 0x00100000},  // GPSR2: dark
      {1, 2, 0x020, 0x00100000},  // any other value: dark
      {2, 1, 0x024, 0x00080000},  // GPCR0
      {3, 1, 0x028, 0x00040000},  // GPCR1
      {4, 1, 0x028, 0x00080000},
      {4, 0, 0x01C, 0x00080000},  // GPSR1
  };
  for (auto c : cases) {
    SCOPED_TRACE(testing::Message() << "LED " << c.led << " value " << c.value);
    sb.write32(kGpioBase + c.reg, 0xFFFFFFFF);
    EXPECT_EQ(SetLED(c.led, c.value), 0);
    EXPECT_EQ(sb.read32(kGpioBase + c.reg), c.word);
  }
  const std::vector<uint8_t> before = sb.read_window(kGpioBase);
  EXPECT_EQ(SetLED(0, 1), -1);
  EXPECT_EQ(SetLED(5, 1), -1);
  EXPECT_EQ(SetLED(0xFFFFFFFF, 1), -1);
  EXPECT_EQ(sb.read_window(kGpioBase), before) << "refused LEDs touch nothing";
}

TEST_F(Hardware, WatchdogEnableWritesCodeThenEnableBit) {
  ASSERT_EQ(wdt_init(), 0);
  const struct {
    int ms;
    uint8_t control;
  } cases[] = {{5000, 0x95}, {1199, 0x81}, {1000, 0x81}, {5400, 0x97}, {6000, 0x97},
               {5399, 0x96}, {0x7FFFFFFF, 0x97}};
  for (auto c : cases) {
    SCOPED_TRACE(c.ms);
    // Bits 5 and 6 set beforehand: the code is written as a whole byte,
    // which clears them, and the enable bit follows.
    sb.write8(kControl, 0x7F);
    EXPECT_EQ(Enable_WDT(c.ms), 1);
    EXPECT_EQ(sb.read8(kControl), c.control);
    EXPECT_EQ(wdt_device.read(), 1);
  }
}

TEST_F(Hardware, WatchdogShortTimeoutsKeepTheCode) {
  ASSERT_EQ(wdt_init(), 0);
  for (int ms : {999, 0, -5000}) {
    SCOPED_TRACE(ms);
    sb.write8(kControl, 0x15);
    EXPECT_EQ(Enable_WDT(ms), 1);
    EXPECT_EQ(sb.read8(kControl), 0x95);
  }
}

TEST_F(Hardware, WatchdogDisableServiceAndReset) {
  ASSERT_EQ(wdt_init(), 0);
  EXPECT_EQ(Enable_WDT(5000), 1);
  Disable_WDT();
  EXPECT_EQ(sb.read8(kControl), 0x15) << "disable keeps the timeout code";
  EXPECT_EQ(wdt_device.read(), 0);

  sb.write8(kService, 0xA5);
  uint32_t services = sb.read32(SANDBOX_WDT_SERVICE_COUNT_OFFSET);
  EXPECT_EQ(Refresh_WDT(), 0xA5);
  EXPECT_EQ(Refresh_WDT(), 0xA5);
  EXPECT_EQ(sb.read32(SANDBOX_WDT_SERVICE_COUNT_OFFSET), services + 2) << "two service reads";
  EXPECT_EQ(sb.read8(kService), 0xA5) << "a service only reads";

  EXPECT_EQ(Reset_WDT(), 1);
  EXPECT_EQ(sb.read8(kService), 1);
  wdt_exit();
  EXPECT_EQ(Refresh_WDT(), -1);
  EXPECT_EQ(sb.read8(kControl), 0x15);
}

}  // namespace
