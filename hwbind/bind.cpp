// Entry points for a scripting host: each forwards to one operation of the
// board hardware library and drops its result. A host that needs a result
// calls the library operation itself (the library exports them too).
#include "hwbind.h"

namespace {

// Opens a window once. A host that calls an init entry point again (a
// script run twice in one interpreter) would otherwise open another
// descriptor and mapping each time and leak the last ones.
bool window_open(int kind) { return quarne_mapping_table[kind].va_base != nullptr; }

}  // namespace

extern "C" {

void py_wdt_init(void) {
  if (!window_open(MMIO_BOARD)) wdt_init();
}

void py_wdt_enable(int msTime) { Enable_WDT(msTime); }

void py_wdt_disable(void) { Disable_WDT(); }

void py_wdt_refresh(void) { Refresh_WDT(); }

void py_wdt_reset(void) { Reset_WDT(); }

void py_wdt_exit(void) { wdt_exit(); }

void py_led_init(void) {
  if (!window_open(MMIO_GPIO)) led_init();
}

void py_led_set(int no, int lvl) {
  SetLED(static_cast<unsigned int>(no), static_cast<unsigned int>(lvl));
}

void py_led_exit(void) { led_exit(); }

}  // extern "C"
