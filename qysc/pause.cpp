// The loop's leaf: its one clock, its pauses and the watchdog service.
// Every file of the loop calls these; they call nothing of the loop (only
// the link library's clock and the board library's watchdog), so no wait
// anywhere in a pass has to reach back up to daemon.cpp.
//
// The pass's clock is read at most once between two waits: the steps of a
// pass judge their timers against one reading, and whatever waits (or
// writes to the link) marks it stale, so the next step reads it again. On
// the board every reading is a system call (its kernel has no vDSO clock).
#include <time.h>

#include "daemon.h"
#include "quarne.h"
#include "qycomm.h"
#include "qyio.h"
#include "qylink.h"

namespace {

constexpr uint32_t kPauseSliceMs = 250;

void (*g_pause)(uint32_t ms) = nullptr;

struct PassClock {
  bool stale = true;
  uint32_t tick = 0;
  uint32_t us = 0;
};

PassClock g_clock;
uint32_t g_served;  // the tick of the last watchdog service

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

void daemon_pause(uint32_t ms) {
  PrintRelease();
  (g_pause != nullptr ? g_pause : real_pause)(ms);
  pass_clock_stale();
}

void daemon_pause_install(void (*pause)(uint32_t ms)) { g_pause = pause; }

bool daemon_pause_faked(void) { return g_pause != nullptr; }

uint32_t pass_ticks(uint32_t *us) {
  if (g_clock.stale) {
    g_clock.tick = qy_ticks_split(&g_clock.us);
    g_clock.stale = false;
  }
  if (us != nullptr) *us = g_clock.us;
  return g_clock.tick;
}

void pass_clock_stale(void) { g_clock.stale = true; }

uint32_t us_until(uint32_t due, uint32_t now, uint32_t us) {
  const int32_t ticks = static_cast<int32_t>(due - now);
  if (ticks <= 0) return 0;
  const uint64_t left = static_cast<uint64_t>(ticks) * 1000u - us;
  return left > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(left);
}

void watchdog_pass(uint32_t now) {
  if (now - g_served >= WDT_PASS_SERVICE_MS) ServiceWatchdog();
}

uint32_t watchdog_due(void) { return g_served + WDT_LONGEST_WAIT_MS; }

extern "C" {

uint32_t GetTimeTicks(void) { return qy_ticks(); }

void ServiceWatchdog(void) {
  if (isVIOReboot != 1) Refresh_WDT();
  g_served = pass_ticks(nullptr);
}

}  // extern "C"
