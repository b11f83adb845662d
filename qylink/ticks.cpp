// The link's millisecond clock: monotonic, so setting the board's time of
// day (at boot, from the network) never makes a timer fire early or late.
#include <time.h>

#include "qylink.h"

namespace {

uint32_t (*g_fake)(void) = nullptr;

}  // namespace

extern "C" {

uint32_t qy_ticks(void) {
  uint32_t us = 0;
  return qy_ticks_split(&us);
}

uint32_t qy_ticks_split(uint32_t *us) {
  if (g_fake != nullptr) {
    *us = 0;
    return g_fake();
  }
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  *us = static_cast<uint32_t>(ts.tv_nsec % 1000000 / 1000);
  return static_cast<uint32_t>(ts.tv_sec) * 1000u + static_cast<uint32_t>(ts.tv_nsec / 1000000);
}

void qy_ticks_install(uint32_t (*fake)(void)) { g_fake = fake; }

}  // extern "C"
