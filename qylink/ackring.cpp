// The retained bytes' ring: each burst a head (line, length LE) and its
// bytes, the ring wrapping anywhere.
#include "ackring.h"

#include <string.h>

namespace {

uint32_t at(const AckRing *r, uint32_t from, uint32_t n) { return (from + n) % r->cap; }

void ring_write(AckRing *r, uint32_t pos, const uint8_t *src, uint32_t n) {
  const uint32_t first = n < r->cap - pos ? n : r->cap - pos;
  memcpy(r->buf + pos, src, first);
  memcpy(r->buf, src + first, n - first);
}

void ring_read(const AckRing *r, uint32_t pos, uint8_t *dst, uint32_t n) {
  const uint32_t first = n < r->cap - pos ? n : r->cap - pos;
  memcpy(dst, r->buf + pos, first);
  memcpy(dst + first, r->buf, n - first);
}

// The burst whose head is at pos: its line and length.
int burst_at(const AckRing *r, uint32_t pos, uint32_t *len) {
  uint8_t h[ACKRING_HEAD];
  ring_read(r, pos, h, ACKRING_HEAD);
  *len = h[1] | (static_cast<uint32_t>(h[2]) << 8);
  return h[0];
}

// Frees the oldest burst; its line bytes.
uint32_t drop_tail(AckRing *r) {
  uint32_t len = 0;
  const int line = burst_at(r, r->tail, &len);
  r->tail_off[line] += len;
  if (r->cursor >= ACKRING_HEAD + len) {
    r->cursor -= ACKRING_HEAD + len;
  } else {  // not looked at yet: the cursor passes it
    r->cursor = 0;
    r->cur_off[line] += len;
  }
  r->tail = at(r, r->tail, ACKRING_HEAD + len);
  r->used -= ACKRING_HEAD + len;
  return len;
}

// Whether the oldest burst is wholly within what the peer has.
bool tail_within(const AckRing *r, const uint64_t have[ACK_LINES]) {
  if (r->used == 0) return false;
  uint32_t len = 0;
  const int line = burst_at(r, r->tail, &len);
  return r->tail_off[line] + len <= have[line];
}

}  // namespace

extern "C" void ackring_init(AckRing *r, uint32_t gen, uint32_t cap) {
  memset(r, 0, sizeof *r);
  r->gen = gen;
  r->cap = cap;
}

extern "C" long ackring_put(AckRing *r, int line, const uint8_t *data, uint32_t n) {
  if (line < 0 || line >= ACK_LINES || n == 0 || n > 0xFFFF || ACKRING_HEAD + n > r->cap || !r->buf) return -1;
  long gone = 0;
  while (r->cap - r->used < ACKRING_HEAD + n) gone += drop_tail(r);
  r->evicted += static_cast<uint64_t>(gone);
  const uint8_t h[ACKRING_HEAD] = {static_cast<uint8_t>(line), static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)};
  const uint32_t pos = at(r, r->tail, r->used);
  ring_write(r, pos, h, ACKRING_HEAD);
  ring_write(r, at(r, pos, ACKRING_HEAD), data, n);
  r->used += ACKRING_HEAD + n;
  r->end_off[line] += n;
  return gone;
}

extern "C" uint32_t ackring_next(AckRing *r, int *line, uint8_t *out, uint32_t cap) {
  while (r->cursor < r->used) {
    const uint32_t pos = at(r, r->tail, r->cursor);
    uint32_t len = 0;
    const int l = burst_at(r, pos, &len);
    const uint64_t start = r->cur_off[l];
    const uint32_t skip = r->send_off[l] > start ? static_cast<uint32_t>(r->send_off[l] - start) : 0;
    if (skip < len && len - skip > cap) return 0;
    r->cursor += ACKRING_HEAD + len;
    r->cur_off[l] += len;
    if (skip >= len) continue;  // the peer has it
    ring_read(r, at(r, pos, ACKRING_HEAD + skip), out, len - skip);
    r->send_off[l] = start + len;
    *line = l;
    return len - skip;
  }
  return 0;
}

extern "C" uint32_t ackring_pending(const AckRing *r) { return r->used - r->cursor; }

extern "C" int ackring_ack(AckRing *r, const uint64_t have[ACK_LINES]) {
  for (int i = 0; i < ACK_LINES; i++) {
    if (have[i] > r->send_off[i] && have[i] > r->tail_off[i]) return -1;
  }
  while (tail_within(r, have)) drop_tail(r);
  return 0;
}

extern "C" void ackring_rewind(AckRing *r, const uint64_t from[ACK_LINES]) {
  while (tail_within(r, from)) drop_tail(r);
  r->cursor = 0;
  for (int i = 0; i < ACK_LINES; i++) {
    r->cur_off[i] = r->tail_off[i];
    r->send_off[i] = from[i] > r->tail_off[i] ? from[i] : r->tail_off[i];
  }
}

extern "C" void ackring_held(const AckRing *r, AckMark *held, uint64_t end[ACK_LINES]) {
  held->gen = r->gen;
  memcpy(held->off, r->tail_off, sizeof r->tail_off);
  memcpy(end, r->end_off, sizeof r->end_off);
}
