// The link's millisecond clock: monotonic, so setting the board's time of
// day (at boot, from the network) never makes a timer fire early or late.
#include <time.h>

#include "qylink.h"

namespace {

uint32_t (*g_fake)(void) = nullptr;

}  // namespace

extern "C" {

uint32_t qy_ticks(void) {
  if (g_fake != nullptr) return g_fake();
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(ts.tv_sec) * 1000u + static_cast<uint32_t>(ts.tv_nsec / 1000000);
}

uint32_t qy_ticks_fraction_us(void) {
  if (g_fake != nullptr) return 0;
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(ts.tv_nsec % 1000000 / 1000);
}

void qy_ticks_install(uint32_t (*fake)(void)) { g_fake = fake; }

}  // extern "C"
