// The loop's leaf: its one clock, its pauses and the watchdog service.
// Every file of the loop calls these; they call nothing of the loop (only
// the link library's clock and the board library's watchdog), so no wait
// anywhere in a pass has to reach back up to daemon.cpp.
#include <time.h>

#include "daemon.h"
#include "quarne.h"
#include "qyio.h"
#include "qylink.h"

namespace {

constexpr uint32_t kPauseSliceMs = 250;

void (*g_pause)(uint32_t ms) = nullptr;

// Sleeps in slices, servicing the watchdog between them (unless a reboot
// was asked for), so no pause leaves it unserviced for long.
void real_pause(uint32_t ms) {
  while (ms > 0) {
    const uint32_t slice = ms < kPauseSliceMs ? ms : kPauseSliceMs;
    struct timespec ts = {0, static_cast<long>(slice) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
    ms -= slice;
    if (ms > 0) ServiceWatchdog();
  }
}

}  // namespace

void daemon_pause(uint32_t ms) { (g_pause != nullptr ? g_pause : real_pause)(ms); }

void daemon_pause_install(void (*pause)(uint32_t ms)) { g_pause = pause; }

extern "C" {

uint32_t GetTimeTicks(void) { return qy_ticks(); }

void ServiceWatchdog(void) {
  if (isVIOReboot != 1) Refresh_WDT();
}

}  // extern "C"
