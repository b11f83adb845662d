// Status LEDs by number. Built twice: the active-low form (LEDs 1..4 light
// on a low line) for the daemon and the binding library, and with
// QUARNE_LED_PASSTHRU=1 the pass-through form of the LED test.
#include <stdint.h>

#include "quarne.h"

#ifndef QUARNE_LED_PASSTHRU
#define QUARNE_LED_PASSTHRU 0
#endif

namespace {

constexpr bool kPassThrough = QUARNE_LED_PASSTHRU != 0;
constexpr uint32_t KX7K_LED[5] = {14, 84, 19, 50, 51};  // GPIO line per LED

}  // namespace

extern "C" {

int led_init(void) {
  return gpio_init();
}

void led_exit(void) { gpio_exit(); }

int SetLED(unsigned int addr, unsigned int value) {
  if (kPassThrough) {
    if (addr > 4) return -1;
    return setGPIO(KX7K_LED[addr], static_cast<int>(value));
  }
  if (addr < 1 || addr > 4) return -1;
  // Lit when the line is low: 1 drives it low, every other value high.
  return setGPIO(KX7K_LED[addr], static_cast<int>(value ^ 1u));
}

}  // extern "C"
