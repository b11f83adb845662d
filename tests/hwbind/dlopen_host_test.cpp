// libhwbind.so loaded the way a scripting host loads it: dlopen by file
// name, every entry point looked up by name. Runs in every build, so the
// cross build exercises the ARM library under the emulator as well.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sandbox_dir.h"

using testkit::kBoardBase;
using testkit::kGpioBase;

namespace {

constexpr uint32_t kControl = kBoardBase + 0x0000;
constexpr uint32_t kService = kBoardBase + 0xF000;
constexpr uint32_t kServiceCount = kBoardBase + 0xF004;
constexpr uint32_t kGpsr2 = kGpioBase + 0x020;
constexpr uint32_t kGpcr2 = kGpioBase + 0x02C;

constexpr const char *kExports[] = {
    "py_wdt_init", "py_wdt_enable", "py_wdt_disable", "py_wdt_refresh", "py_wdt_reset",
    "py_wdt_exit", "py_led_init", "py_led_set", "py_led_exit",
    "mmio_init", "mmio_map", "mmio_destroy", "gpio_init", "gpio_exit", "getGPIO", "setOGPIO",
    "clearOGPIO", "setGPIO", "setFunGPIO", "setDirGPIO", "led_init", "led_exit", "SetLED",
    "wdt_init", "wdt_exit", "Enable_WDT", "Disable_WDT", "Refresh_WDT", "Reset_WDT",
    "quarne_mapping_table", "wdt_device", "open_flags",
};
// Names inside the library that a host must not reach.
constexpr const char *kHidden[] = {
    "sandbox_path", "sandbox_set_root", "sandbox_note_wdt_service", "sandbox_active",
};

using Void = void (*)();
using VoidInt = void (*)(int);
using VoidIntInt = void (*)(int, int);

// The library, loaded once per process as a host would; each test runs in a
// fresh sandbox that is the working directory, where the sandbox copy of
// the library looks for ./board/dev/mem.
class HwbindHost : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { lib_ = dlopen(HWBIND_SANDBOX_LIB, RTLD_NOW | RTLD_LOCAL); }

  void SetUp() override {
    ASSERT_NE(lib_, nullptr) << dlerror();
    ASSERT_NE(getcwd(cwd_, sizeof cwd_), nullptr);
    sb_.make_register_file();
    ASSERT_EQ(chdir(sb_.dir().c_str()), 0);
  }

  void TearDown() override {
    call("py_wdt_exit");
    call("py_led_exit");
    EXPECT_EQ(chdir(cwd_), 0);
  }

  template <typename F>
  F entry(const char *name) {
    return reinterpret_cast<F>(dlsym(lib_, name));
  }
  void call(const char *name) { entry<Void>(name)(); }

  static void *lib_;
  testkit::SandboxDir sb_;
  char cwd_[4096] = {};
};

void *HwbindHost::lib_ = nullptr;

TEST_F(HwbindHost, FindsEveryExportAndNoInternalName) {
  for (const char *name : kExports) EXPECT_NE(dlsym(lib_, name), nullptr) << name;
  for (const char *name : kHidden) EXPECT_EQ(dlsym(lib_, name), nullptr) << name;
}

TEST_F(HwbindHost, WatchdogEntryPoints) {
  sb_.write8(kControl, 0xFF);
  call("py_wdt_init");
  entry<VoidInt>("py_wdt_enable")(5000);
  EXPECT_EQ(sb_.read8(kControl), 0x95);
  call("py_wdt_disable");
  EXPECT_EQ(sb_.read8(kControl), 0x15) << "the code written was 0x15";
  call("py_wdt_refresh");
  call("py_wdt_refresh");
  EXPECT_EQ(sb_.read32(kServiceCount), 2u);
  EXPECT_EQ(sb_.read8(kService), 0);
  call("py_wdt_reset");
  EXPECT_EQ(sb_.read8(kService), 1);
}

TEST_F(HwbindHost, ExitLeavesTheWatchdogRunning) {
  call("py_wdt_init");
  entry<VoidInt>("py_wdt_enable")(5000);
  call("py_wdt_exit");
  call("py_wdt_disable");  // window closed: no effect
  EXPECT_EQ(sb_.read8(kControl), 0x95);
}

TEST_F(HwbindHost, CallsBeforeInitDoNothing) {
  call("py_wdt_refresh");
  entry<VoidInt>("py_wdt_enable")(5000);
  call("py_wdt_reset");
  entry<VoidIntInt>("py_led_set")(1, 1);
  EXPECT_EQ(sb_.read8(kControl), 0);
  EXPECT_EQ(sb_.read8(kService), 0);
  EXPECT_EQ(sb_.read32(kServiceCount), 0u);
  EXPECT_EQ(sb_.read32(kGpcr2), 0u);
}

TEST_F(HwbindHost, LedEntryPoints) {
  call("py_led_init");
  const auto led_set = entry<VoidIntInt>("py_led_set");
  led_set(1, 1);
  EXPECT_EQ(sb_.read32(kGpcr2), 0x00100000u) << "LED 1 lit: line 84 low";
  EXPECT_EQ(sb_.read32(kGpsr2), 0u);
  led_set(1, 0);
  EXPECT_EQ(sb_.read32(kGpsr2), 0x00100000u) << "LED 1 dark: line 84 high";

  sb_.write32(kGpsr2, 0);
  sb_.write32(kGpcr2, 0);
  const std::vector<uint8_t> before = sb_.read_window(kGpioBase);
  led_set(0, 1);
  led_set(5, 1);
  led_set(-1, 1);
  EXPECT_EQ(sb_.read_window(kGpioBase), before);
  EXPECT_EQ(entry<int (*)(unsigned, unsigned)>("SetLED")(5, 1), -1);
}

}  // namespace
