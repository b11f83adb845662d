// Register access through the windows of mmio: every access is a single
// volatile load or store at the named width, made exactly once.
#ifndef QUARNE_SYS_REGS_H
#define QUARNE_SYS_REGS_H

#include <stdint.h>

#include "quarne.h"

namespace regs {

inline volatile uint32_t *reg32(int kind, off_t offset) {
  return static_cast<volatile uint32_t *>(mmio_map(kind, offset));
}

inline volatile uint8_t *reg8(int kind, off_t offset) {
  return static_cast<volatile uint8_t *>(mmio_map(kind, offset));
}

}  // namespace regs

#endif
