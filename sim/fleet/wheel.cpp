// Timer wheel: intrusive doubly linked lists, one per millisecond slot.
#include "wheel.h"

#include <stdlib.h>

namespace fleet {
namespace {

void unlink(Wheel &w, uint32_t i) {
  Wheel::Link &l = w.links[i];
  if (l.prev >= 0) {
    w.links[l.prev].next = l.next;
  } else {
    w.head[l.due % Wheel::kSlots] = l.next;
  }
  if (l.next >= 0) w.links[l.next].prev = l.prev;
  l.armed = false;
  w.armed--;
}

}  // namespace

bool wheel_init(Wheel &w, uint32_t n, uint32_t now) {
  w.head = static_cast<int32_t *>(malloc(sizeof(int32_t) * Wheel::kSlots));
  w.links = static_cast<Wheel::Link *>(calloc(n > 0 ? n : 1, sizeof(Wheel::Link)));
  if (w.head == nullptr || w.links == nullptr) return false;
  for (uint32_t s = 0; s < Wheel::kSlots; s++) w.head[s] = -1;
  w.n = n;
  w.done = now;
  w.armed = 0;
  return true;
}

void wheel_free(Wheel &w) {
  free(w.head);
  free(w.links);
  w.head = nullptr;
  w.links = nullptr;
}

void wheel_set(Wheel &w, uint32_t i, uint32_t due) {
  if (w.links[i].armed) unlink(w, i);
  // A time already past goes into the next slot to be walked.
  if (tick_diff(due, w.done) <= 0) due = w.done + 1;
  Wheel::Link &l = w.links[i];
  const uint32_t slot = due % Wheel::kSlots;
  l.due = due;
  l.prev = -1;
  l.next = w.head[slot];
  if (l.next >= 0) w.links[l.next].prev = static_cast<int32_t>(i);
  w.head[slot] = static_cast<int32_t>(i);
  l.armed = true;
  w.armed++;
}

void wheel_cancel(Wheel &w, uint32_t i) {
  if (w.links[i].armed) unlink(w, i);
}

void wheel_expire(Wheel &w, uint32_t now, WheelFn fn, void *ctx) {
  if (tick_diff(now, w.done) <= 0) return;
  uint32_t steps = static_cast<uint32_t>(tick_diff(now, w.done));
  if (steps > Wheel::kSlots) steps = Wheel::kSlots;  // every slot once
  for (uint32_t tick = now - steps + 1; tick_diff(tick, now) <= 0; tick++) {
    // Entries that fn sets for this tick or earlier land in the next slot.
    w.done = tick;
    int32_t i = w.head[tick % Wheel::kSlots];
    while (i >= 0) {
      const int32_t next = w.links[i].next;
      if (tick_diff(w.links[i].due, now) <= 0) {
        unlink(w, static_cast<uint32_t>(i));
        fn(ctx, static_cast<uint32_t>(i));
      }
      i = next;
    }
  }
}

uint32_t wheel_idle_ms(const Wheel &w, uint32_t now, uint32_t cap) {
  if (w.armed == 0) return cap;
  const uint32_t ahead = static_cast<uint32_t>(tick_diff(now, w.done) > 0 ? tick_diff(now, w.done) : 0);
  if (ahead > 0) return 0;  // slots behind are still to be walked
  for (uint32_t d = 1; d <= cap; d++) {
    if (w.head[(now + d) % Wheel::kSlots] >= 0) return d;
  }
  return cap;
}

}  // namespace fleet
