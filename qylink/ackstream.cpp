// The acknowledged link's messages and the rules both ends run on them.
#include "ackstream.h"

#include <string.h>

namespace {

void put32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void put64(uint8_t *p, uint64_t v) {
  for (int i = 0; i < 8; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t get32(const uint8_t *p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; i--) v = (v << 8) | p[i];
  return v;
}

uint64_t get64(const uint8_t *p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; i--) v = (v << 8) | p[i];
  return v;
}

constexpr size_t kMarkLen = 4 + 8 * ACK_LINES;

void put_mark(uint8_t *p, const AckMark &m) {
  put32(p, m.gen);
  for (int i = 0; i < ACK_LINES; i++) put64(p + 4 + 8 * i, m.off[i]);
}

AckMark get_mark(const uint8_t *p) {
  AckMark m;
  m.gen = get32(p);
  for (int i = 0; i < ACK_LINES; i++) m.off[i] = get64(p + 4 + 8 * i);
  return m;
}

}  // namespace

static_assert(1 + 2 * kMarkLen == ACK_MSG_LEN, "message layout");

extern "C" size_t ack_put(uint8_t *out, size_t cap, const AckMsg *m) {
  if (cap < ACK_MSG_LEN) return 0;
  out[0] = m->kind;
  put_mark(out + 1, m->mine);
  put_mark(out + 1 + kMarkLen, m->yours);
  return ACK_MSG_LEN;
}

extern "C" int ack_get(const uint8_t *p, size_t n, AckMsg *m) {
  if (n != ACK_MSG_LEN) return -1;
  if (p[0] != ACK_KIND_HELLO && p[0] != ACK_KIND_ACK) return -1;
  AckMsg got;
  got.kind = p[0];
  got.mine = get_mark(p + 1);
  got.yours = get_mark(p + 1 + kMarkLen);
  if (got.kind == ACK_KIND_HELLO && got.mine.gen == 0) return -1;
  *m = got;
  return 0;
}

extern "C" int ack_line(unsigned port) { return port == 1 ? 0 : port == 2 ? 1 : -1; }

extern "C" int ack_send_from(const AckMark *held, const uint64_t end[ACK_LINES], const AckMark *peer,
                             uint64_t from[ACK_LINES], uint64_t lost[ACK_LINES]) {
  const bool known = peer->gen != 0 && peer->gen == held->gen;
  uint64_t f[ACK_LINES], l[ACK_LINES];
  for (int i = 0; i < ACK_LINES; i++) {
    f[i] = known ? peer->off[i] : held->off[i];
    if (f[i] > end[i]) return -1;
    l[i] = f[i] < held->off[i] ? held->off[i] - f[i] : 0;
    if (f[i] < held->off[i]) f[i] = held->off[i];
  }
  memcpy(from, f, sizeof f);
  memcpy(lost, l, sizeof l);
  return 0;
}

extern "C" void ack_take_hello(AckMark *taking, const AckMark *peer, uint64_t lost[ACK_LINES]) {
  const bool known = taking->gen != 0 && taking->gen == peer->gen;
  for (int i = 0; i < ACK_LINES; i++) {
    lost[i] = known && peer->off[i] > taking->off[i] ? peer->off[i] - taking->off[i] : 0;
    if (!known || peer->off[i] > taking->off[i]) taking->off[i] = peer->off[i];
  }
  taking->gen = peer->gen;
}

extern "C" int ack_due(uint64_t unacked, uint32_t ms) {
  return unacked >= ACK_EVERY_BYTES || (unacked > 0 && ms >= ACK_EVERY_MS);
}
