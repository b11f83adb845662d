// The retained buffer: one static byte ring of bursts, each a 3-byte head
// (line, length LE) and its bytes, the ring wrapping anywhere.
#include "retain.h"

#include <string.h>

namespace {

constexpr uint32_t kHead = 3;

struct Ring {
  uint32_t cap;       // bytes in use of buf
  uint32_t tail;      // index of the oldest burst's head
  uint32_t used;      // bytes held, heads included
  uint32_t sent;      // of them, from the tail, the bytes sent
  uint32_t evicted;
  uint64_t skipped;             // bytes of bursts that gave way before they were sent
  uint64_t tailOff[ACK_LINES];  // the line's oldest held byte
  uint64_t sendOff[ACK_LINES];  // the line's next byte to send
  uint64_t endOff[ACK_LINES];   // after the line's last byte
};

uint8_t g_buf[RETAIN_KB_MAX * 1024];
Ring g_r;

uint32_t at(uint32_t from, uint32_t n) { return (from + n) % g_r.cap; }

void ring_write(uint32_t pos, const uint8_t *src, uint32_t n) {
  const uint32_t first = n < g_r.cap - pos ? n : g_r.cap - pos;
  memcpy(g_buf + pos, src, first);
  memcpy(g_buf, src + first, n - first);
}

void ring_read(uint32_t pos, uint8_t *dst, uint32_t n) {
  const uint32_t first = n < g_r.cap - pos ? n : g_r.cap - pos;
  memcpy(dst, g_buf + pos, first);
  memcpy(dst + first, g_buf, n - first);
}

// The burst whose head is at pos: its line and length.
int burst_at(uint32_t pos, uint32_t *len) {
  uint8_t h[kHead];
  ring_read(pos, h, kHead);
  *len = h[1] | (static_cast<uint32_t>(h[2]) << 8);
  return h[0];
}

// Frees the oldest burst; it counts as sent once it is gone.
void drop_tail() {
  uint32_t len = 0;
  const int line = burst_at(g_r.tail, &len);
  g_r.tailOff[line] += len;
  if (g_r.sent >= kHead + len) {
    g_r.sent -= kHead + len;
  } else {
    g_r.sent = 0;
    g_r.sendOff[line] += len;
  }
  g_r.tail = at(g_r.tail, kHead + len);
  g_r.used -= kHead + len;
}

// Whether the oldest burst is wholly within what the peer has.
bool tail_within(const uint64_t have[ACK_LINES]) {
  if (g_r.used == 0) return false;
  uint32_t len = 0;
  const int line = burst_at(g_r.tail, &len);
  return g_r.tailOff[line] + len <= have[line];
}

}  // namespace

void retain_setup(uint32_t kb) {
  if (kb < RETAIN_KB_MIN) kb = RETAIN_KB_MIN;
  if (kb > RETAIN_KB_MAX) kb = RETAIN_KB_MAX;
  g_r = Ring{};
  g_r.cap = kb * 1024;
}

int retain_put(int line, const uint8_t *data, int n) {
  if (line < 0 || line >= ACK_LINES || n <= 0 || n > RETAIN_BURST_MAX || g_r.cap == 0) return -1;
  const uint32_t need = kHead + static_cast<uint32_t>(n);
  while (g_r.cap - g_r.used < need) {
    if (g_r.sent == 0) {
      uint32_t len = 0;
      burst_at(g_r.tail, &len);
      g_r.skipped += len;
    }
    drop_tail();
    g_r.evicted++;
  }
  const uint8_t h[kHead] = {static_cast<uint8_t>(line), static_cast<uint8_t>(n),
                            static_cast<uint8_t>(n >> 8)};
  const uint32_t pos = at(g_r.tail, g_r.used);
  ring_write(pos, h, kHead);
  ring_write(at(pos, kHead), data, static_cast<uint32_t>(n));
  g_r.used += need;
  g_r.endOff[line] += static_cast<uint32_t>(n);
  return 0;
}

void retain_make_room(uint32_t room) {
  if (room > g_r.cap / 2) room = g_r.cap / 2;
  while (g_r.used > 0 && g_r.cap - g_r.used < room) {
    drop_tail();
    g_r.evicted++;
  }
}

int retain_peek(int *line, uint8_t *buf, int cap) {
  if (g_r.sent >= g_r.used) return 0;
  const uint32_t pos = at(g_r.tail, g_r.sent);
  uint32_t len = 0;
  *line = burst_at(pos, &len);
  if (static_cast<uint32_t>(cap) < len) return 0;
  ring_read(at(pos, kHead), buf, len);
  return static_cast<int>(len);
}

void retain_sent(void) {
  if (g_r.sent >= g_r.used) return;
  uint32_t len = 0;
  const int line = burst_at(at(g_r.tail, g_r.sent), &len);
  g_r.sent += kHead + len;
  g_r.sendOff[line] += len;
}

int retain_ack(const uint64_t have[ACK_LINES]) {
  for (int i = 0; i < ACK_LINES; i++) {
    if (have[i] > g_r.sendOff[i]) return -1;
  }
  while (g_r.sent > 0 && tail_within(have)) drop_tail();
  return 0;
}

void retain_rewind(const uint64_t from[ACK_LINES]) {
  while (tail_within(from)) drop_tail();
  g_r.sent = 0;
  memcpy(g_r.sendOff, g_r.tailOff, sizeof g_r.sendOff);
}

void retain_held(uint64_t tail[ACK_LINES], uint64_t end[ACK_LINES]) {
  memcpy(tail, g_r.tailOff, sizeof g_r.tailOff);
  memcpy(end, g_r.endOff, sizeof g_r.endOff);
}

uint32_t retain_used(void) { return g_r.used; }
uint32_t retain_unsent(void) { return g_r.used - g_r.sent; }
uint32_t retain_evicted(void) { return g_r.evicted; }
uint64_t retain_skipped(void) { return g_r.skipped; }
