// Board watchdog in window 1: control register (enable bit 7, timeout code
// in bits 0..4) and service register (a read services, writing 1 resets).
#include <stdint.h>

#include "quarne.h"
#include "regs.h"
#include "sandbox.h"

namespace {

constexpr off_t kControl = 0x0000;
constexpr off_t kService = 0xF000;
constexpr uint8_t kEnable = 0x80;

int GetWDT(void) {
  volatile uint8_t *r = regs::reg8(MMIO_BOARD, kControl);
  if (r == nullptr) return -1;
  return (*r & kEnable) != 0 ? 1 : 0;
}

void SetWDT(int value) {
  volatile uint8_t *r = regs::reg8(MMIO_BOARD, kControl);
  if (r == nullptr) return;
  uint8_t v = *r;
  v = value != 0 ? static_cast<uint8_t>(v | kEnable) : static_cast<uint8_t>(v & ~kEnable);
  *r = v;
}

// value in 200 ms units, 5..27: writes the timeout code value - 4.
void SetWDT_TimeMax(int value) {
  volatile uint8_t *r = regs::reg8(MMIO_BOARD, kControl);
  if (r == nullptr) return;
  *r = static_cast<uint8_t>(value - 4);
}

// One service read; returns the byte read, or -1 with the window closed.
int service(void) {
  volatile uint8_t *r = regs::reg8(MMIO_BOARD, kService);
  if (r == nullptr) return -1;
  int v = *r;
  sandbox_note_wdt_service(r);
  return v;
}

}  // namespace

quarne_device_driver wdt_device = {"watchdog", 0, 0, 1, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, GetWDT, nullptr};

extern "C" {

int wdt_init(void) { return mmio_init(MMIO_BOARD); }

void wdt_exit(void) { mmio_destroy(MMIO_BOARD); }

int Enable_WDT(int msecs) {
  const int value = msecs > 5400 ? 27 : msecs / 200;
  if (value > 4) {
    SetWDT_TimeMax(value);
  } else {
    // Below 1000 ms there is no timeout code: the one in the register
    // stays. Restart the count so the old timeout runs from now.
    service();
  }
  SetWDT(1);
  return 1;
}

void Disable_WDT(void) { SetWDT(0); }

int Refresh_WDT(void) { return service(); }

int Reset_WDT(void) {
  volatile uint8_t *r = regs::reg8(MMIO_BOARD, kService);
  if (r == nullptr) return -1;
  *r = 1;
  return 1;
}

}  // extern "C"
