// The serial lines' holding queues: one ring per line, static, filled by
// the waits that watch the lines (wait.cpp), emptied by the UART wrappers.
#include "linehold.h"

#include <string.h>

#include "settings.h"
#include "uart.h"

namespace {

struct Hold {
  char buf[LINE_HOLD_SIZE];
  int head;   // next byte to take
  int count;  // bytes held
};

Hold g_hold[3];  // per slot; slot 0 unused

Hold *slot_hold(int slot) { return slot == 1 || slot == 2 ? &g_hold[slot] : nullptr; }

// The queue of the line that uses the port (the first slot, should both).
Hold *port_hold(unsigned char port) {
  for (int slot = 1; slot <= 2; slot++) {
    if (baseInfo.comInfo[slot].port == port) return &g_hold[slot];
  }
  return nullptr;
}

// The longest free stretch at the ring's tail, and where it starts.
int tail_stretch(const Hold &h, int *at) {
  *at = (h.head + h.count) % LINE_HOLD_SIZE;
  const int to_end = LINE_HOLD_SIZE - *at;
  const int room = LINE_HOLD_SIZE - h.count;
  return room < to_end ? room : to_end;
}

}  // namespace

int hold_room(int slot) {
  const Hold *h = slot_hold(slot);
  return h == nullptr ? 0 : LINE_HOLD_SIZE - h->count;
}

int hold_fill(int slot) {
  Hold *h = slot_hold(slot);
  int total = 0;
  for (int pass = 0; h != nullptr && pass < 2; pass++) {  // the ring may wrap once
    int at = 0;
    const int n = tail_stretch(*h, &at);
    if (n == 0) break;
    const int rc = Receive_Binary(baseInfo.comInfo[slot].port, h->buf + at, n);
    if (rc <= 0) return total > 0 ? total : rc;
    h->count += rc;
    total += rc;
    if (rc < n) break;
  }
  return total;
}

int hold_count(unsigned char port) {
  const Hold *h = port_hold(port);
  return h == nullptr ? 0 : h->count;
}

int hold_take(unsigned char port, char *buf, int n) {
  Hold *h = port_hold(port);
  int taken = 0;
  while (h != nullptr && h->count > 0 && taken < n) {
    const int to_end = LINE_HOLD_SIZE - h->head;
    int chunk = h->count < to_end ? h->count : to_end;
    if (chunk > n - taken) chunk = n - taken;
    memcpy(buf + taken, h->buf + h->head, static_cast<size_t>(chunk));
    h->head = (h->head + chunk) % LINE_HOLD_SIZE;
    h->count -= chunk;
    taken += chunk;
  }
  if (h != nullptr && h->count == 0) h->head = 0;  // the next bytes at the start: warm lines
  return taken;
}

void hold_clear(unsigned char port) {
  Hold *h = port_hold(port);
  if (h != nullptr) h->head = h->count = 0;
}
