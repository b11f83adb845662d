// PXA270 GPIO lines in window 0: level, set/clear, function and direction.
#include <stdint.h>

#include "quarne.h"
#include "regs.h"
#include "sandbox.h"

int open_flags = -1;

namespace {

constexpr unsigned kMaxPin = 120;
constexpr uint32_t PXA270_GPLR[4] = {0x000, 0x004, 0x008, 0x100};
constexpr uint32_t PXA270_GPDR[4] = {0x00C, 0x010, 0x014, 0x10C};
constexpr uint32_t PXA270_GPSR[4] = {0x018, 0x01C, 0x020, 0x118};
constexpr uint32_t PXA270_GPCR[4] = {0x024, 0x028, 0x02C, 0x124};
constexpr uint32_t PXA270_GAFR[8] = {0x054, 0x058, 0x05C, 0x060, 0x064, 0x068, 0x06C, 0x070};

uint32_t bit_of(unsigned pin) { return 1u << (pin % 32); }

// Writes the pin's bit to a set or clear register (no read first).
int write_bit(const uint32_t (&table)[4], unsigned pin, int level) {
  if (pin > kMaxPin) return -1;
  volatile uint32_t *r = regs::reg32(MMIO_GPIO, table[pin / 32]);
  if (r == nullptr) return -1;
  *r = bit_of(pin);
  // The hardware changes the line's level by itself; the sandbox's
  // register file needs telling (nothing is accessed on the board).
  sandbox_note_gpio_output(regs::reg32(MMIO_GPIO, PXA270_GPLR[pin / 32]), bit_of(pin), level);
  return 0;
}

}  // namespace

extern "C" {

int gpio_init(void) {
  return mmio_init(MMIO_GPIO);
}

void gpio_exit(void) { mmio_destroy(MMIO_GPIO); }

int getGPIO(unsigned int pin) {
  if (pin > kMaxPin) return 0;
  volatile uint32_t *r = regs::reg32(MMIO_GPIO, PXA270_GPLR[pin / 32]);
  if (r == nullptr) return 0;
  return (*r & bit_of(pin)) != 0 ? 1 : 0;
}

int setOGPIO(unsigned int pin) { return write_bit(PXA270_GPSR, pin, 1); }

int clearOGPIO(unsigned int pin) { return write_bit(PXA270_GPCR, pin, 0); }

int setGPIO(unsigned int pin, int value) { return value != 0 ? setOGPIO(pin) : clearOGPIO(pin); }

int setFunGPIO(unsigned int pin, unsigned int fun) {
  if (pin > kMaxPin) return -1;
  volatile uint32_t *r = regs::reg32(MMIO_GPIO, PXA270_GAFR[pin / 16]);
  if (r == nullptr) return -1;
  const unsigned shift = (pin % 16) * 2;
  uint32_t v = *r;
  v &= ~(3u << shift);
  v |= fun << shift;
  *r = v;
  return 0;
}

int setDirGPIO(unsigned int pin, char dir, unsigned int fun) {
  if (pin > kMaxPin) return -1;
  if (setFunGPIO(pin, fun) < 0) return -1;
  volatile uint32_t *r = regs::reg32(MMIO_GPIO, PXA270_GPDR[pin / 32]);
  if (r == nullptr) return -1;
  uint32_t v = *r;
  if (dir != 0) {
    v |= bit_of(pin);
  } else {
    v &= ~bit_of(pin);
  }
  *r = v;
  return 0;
}

}  // extern "C"
