// The serial packetising rule: a burst is due when the port's queue has not
// grown for more than UartTimeInterval ms, or at once when it holds more
// than one packet may carry (UartDataMax, capped at what fits the packet).
#include "daemon.h"
#include "packet.h"
#include "settings.h"

int iRS485Len, iRS232Len, iRS485LenNow, iRS232LenNow;
uint32_t ulRS485LastTime, ulRS232LastTime;

namespace {

struct Line {
  int *len;         // bytes last seen; after a send 0
  int *lenNow;      // bytes seen in this pass
  uint32_t *lastTime;
};

const Line kLines[3] = {
    {nullptr, nullptr, nullptr},
    {&iRS485Len, &iRS485LenNow, &ulRS485LastTime},
    {&iRS232Len, &iRS232LenNow, &ulRS232LastTime},
};

// Largest burst: UartDataMax as configured (unchecked in the file), but
// never more than the packet holds and never 0, so data always moves.
uint32_t burst_limit(int slot) {
  uint32_t limit = baseInfo.UartDataMax[slot];
  const uint32_t cap = static_cast<uint32_t>(BurstCapacity(slot));
  if (limit > cap) limit = cap;
  return limit == 0 ? 1 : limit;
}

}  // namespace

uint32_t BurstDueIn(int slot, uint32_t now) {
  if (slot < 1 || slot > 2 || *kLines[slot].lenNow == 0) return UINT32_MAX;
  const Line &l = kLines[slot];
  if (static_cast<uint32_t>(*l.lenNow) > burst_limit(slot)) return 0;  // a full chunk goes at once
  const uint32_t since = now - *l.lastTime;
  const uint32_t gap = baseInfo.UartTimeInterval[slot];
  return since > gap ? 0 : gap - since + 1;
}

extern "C" int BurstDue(int slot, uint32_t now) {
  if (slot < 1 || slot > 2) return 0;
  const Line &l = kLines[slot];
  if (*l.lenNow != *l.len) {
    *l.len = *l.lenNow;
    *l.lastTime = now;
  }
  const uint32_t limit = burst_limit(slot);
  if (static_cast<uint32_t>(*l.len) > limit) {
    *l.len = static_cast<int>(limit);
    return 1;
  }
  return now - *l.lastTime > baseInfo.UartTimeInterval[slot] ? 1 : 0;
}
