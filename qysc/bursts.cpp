// The serial packetising rule: a burst is due when the port's queue has not
// grown for more than UartTimeInterval ms, or at once when it holds more
// than one packet may carry (UartDataMax, capped at what fits the packet).
// The daemon times the gap to the microsecond (the tick of the change and
// the microseconds into it), so a burst leaves as its gap ends, not up to a
// tick later; in whole ticks (no microseconds) it is the same rule.
#include "daemon.h"
#include "packet.h"
#include "settings.h"

SerialLine qysc_lines[3];
int &iRS485Len = qysc_lines[1].len;
int &iRS232Len = qysc_lines[2].len;
int &iRS485LenNow = qysc_lines[1].lenNow;
int &iRS232LenNow = qysc_lines[2].lenNow;
uint32_t &ulRS485LastTime = qysc_lines[1].lastTime;
uint32_t &ulRS232LastTime = qysc_lines[2].lastTime;

namespace {

// Microseconds since the slot's queue last changed.
int64_t since_us(int slot, uint32_t now, uint32_t us) {
  const SerialLine &l = qysc_lines[slot];
  const uint32_t ticks = now - l.lastTime;
  return static_cast<int64_t>(ticks) * 1000 + us - l.lastUs;
}

int64_t gap_us(int slot) { return static_cast<int64_t>(baseInfo.UartTimeInterval[slot]) * 1000; }

// Largest burst: UartDataMax as configured (unchecked in the file), but
// never more than the packet holds and never 0, so data always moves.
uint32_t burst_limit(int slot) {
  uint32_t limit = baseInfo.UartDataMax[slot];
  const uint32_t cap = static_cast<uint32_t>(BurstCapacity(slot));
  if (limit > cap) limit = cap;
  return limit == 0 ? 1 : limit;
}

}  // namespace

uint32_t BurstDueInUs(int slot, uint32_t now, uint32_t us) {
  if (slot < 1 || slot > 2 || qysc_lines[slot].lenNow == 0) return UINT32_MAX;
  if (static_cast<uint32_t>(qysc_lines[slot].lenNow) > burst_limit(slot)) return 0;  // a full chunk
  const int64_t left = gap_us(slot) + 1 - since_us(slot, now, us);
  return left <= 0 ? 0 : left > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(left);
}

int BurstDueAt(int slot, uint32_t now, uint32_t us) {
  if (slot < 1 || slot > 2) return 0;
  SerialLine &l = qysc_lines[slot];
  if (l.lenNow != l.len) {
    l.len = l.lenNow;
    l.lastTime = now;
    l.lastUs = us;
  }
  const uint32_t limit = burst_limit(slot);
  if (static_cast<uint32_t>(l.len) > limit) {
    l.len = static_cast<int>(limit);
    return 1;
  }
  return since_us(slot, now, us) > gap_us(slot) ? 1 : 0;
}

extern "C" int BurstDue(int slot, uint32_t now) { return BurstDueAt(slot, now, 0); }
