// A timer wheel over numbered entries (the gateways): one timer each, 1 ms
// slots, O(1) to set, cancel and expire. An entry due further away than
// the wheel spans waits in its slot and is passed over until it is due.
#ifndef FLEET_WHEEL_H
#define FLEET_WHEEL_H

#include <stdint.h>

namespace fleet {

struct Wheel {
  static constexpr uint32_t kSlots = 16384;  // 1 ms each
  struct Link {
    int32_t next, prev;
    uint32_t due;
    bool armed;
  };
  int32_t *head;  // kSlots list heads (-1 empty)
  Link *links;    // one per entry
  uint32_t n;
  uint32_t done;  // last tick whose slot was walked
  uint32_t armed;
};

// Allocated once for n entries; false when memory is short.
bool wheel_init(Wheel &w, uint32_t n, uint32_t now);
void wheel_free(Wheel &w);
void wheel_set(Wheel &w, uint32_t i, uint32_t due);
void wheel_cancel(Wheel &w, uint32_t i);

// Calls fn(ctx, i) for every entry due at or before now (the entry is
// disarmed first; fn may set it again).
using WheelFn = void (*)(void *ctx, uint32_t i);
void wheel_expire(Wheel &w, uint32_t now, WheelFn fn, void *ctx);

// Milliseconds from now to the next slot that holds an entry, at most cap.
uint32_t wheel_idle_ms(const Wheel &w, uint32_t now, uint32_t cap);

// Signed difference a - b of two ticks (the wrap does no harm).
inline int32_t tick_diff(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }

}  // namespace fleet

#endif
