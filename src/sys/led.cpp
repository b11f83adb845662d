// Status LEDs by number, in two forms: SetLED, active-low (LEDs 1..4 light
// on a low line), for the daemon and the binding library; SetLEDPassThru,
// the LED test's form (LEDs 0..4, the value goes to the line unchanged).
// Two names rather than two builds of one, so that programs using either
// form can be linked into one image.
#include <stdint.h>

#include "quarne.h"

namespace {

constexpr uint32_t KX7K_LED[5] = {14, 84, 19, 50, 51};  // GPIO line per LED
constexpr unsigned kLastLed = 4;

}  // namespace

extern "C" {

int led_init(void) {
  return gpio_init();
}

void led_exit(void) { gpio_exit(); }

int SetLED(unsigned int addr, unsigned int value) {
  if (addr < 1 || addr > kLastLed) return -1;
  // Lit when the line is low: 1 drives it low, every other value high.
  return setGPIO(KX7K_LED[addr], static_cast<int>(value ^ 1u));
}

int SetLEDPassThru(unsigned int addr, unsigned int value) {
  if (addr > kLastLed) return -1;
  return setGPIO(KX7K_LED[addr], static_cast<int>(value));
}

}  // extern "C"
