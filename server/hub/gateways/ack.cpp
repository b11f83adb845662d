// The acknowledged link on the hub's side: hellos, acknowledgements, the
// gateway's stream counted and the hub's own bursts kept and sent.
#include "gateways/ack.h"

#include <openssl/rand.h>

#include <algorithm>
#include <string>

#include "core/log.h"
#include "core/packet.h"
#include "gateways/ack_out.h"

namespace hub {
namespace {

constexpr size_t kPendingPerPacket = kSectionMax + ACKRING_HEAD;

// The hub's generation for a gateway: random, never 0.
uint32_t new_gen() {
  uint32_t g = 0;
  while (g == 0) {
    if (RAND_bytes(reinterpret_cast<uint8_t *>(&g), sizeof g) != 1) g = static_cast<uint32_t>(qy_ticks()) | 1;
  }
  return g;
}

}  // namespace

AckState &ack_state_of(Hub &h, GatewayRecord &r) {
  std::unique_ptr<AckState> &p = h.acks->of[&r];
  if (!p) {
    p.reset(new AckState);
    ackring_init(&p->out, new_gen(), kAckRetain);
  }
  return *p;
}

namespace {

AckState *find(Hub &h, GatewayRecord &r) { return const_cast<AckState *>(ack_state(h, r)); }

bool put_msg(Hub &h, Session &s, const AckMsg &m) {
  uint8_t b[ACK_MSG_LEN];
  ack_put(b, sizeof b, &m);
  return gw_enqueue(h, s, COM_PORT_ACK, b, sizeof b) == 0;
}

// Bytes, heads included, the ring takes now: no more than `queue` packets'
// worth wait unsent, and nothing held gives way (the sender waits instead).
size_t ring_room(const Hub &h, const AckState &a) {
  const size_t pending = ackring_pending(&a.out), by_queue = h.cfg.out_queue * kPendingPerPacket;
  const size_t free_bytes = a.out.used >= kAckRetain ? 0 : kAckRetain - a.out.used;
  return std::min(pending >= by_queue ? 0 : by_queue - pending, free_bytes);
}

}  // namespace

// After the ring changed: the hub's gauge in step, its memory given back
// when it holds nothing.
void ack_settle(Hub &h, AckState &a, uint32_t before) {
  h.acks->retained = h.acks->retained + a.out.used - before;
  if (a.out.used == 0 && a.mem) {
    a.mem.reset();
    a.out.buf = nullptr;
  }
}

namespace {

int put_burst(Hub &h, AckState &a, int line, const uint8_t *data, size_t n) {
  if (n > kSectionMax) return -3;
  if (ACKRING_HEAD + n > ring_room(h, a)) return -2;
  if (!a.out.buf) {
    a.mem.reset(new uint8_t[kAckRetain]);
    a.out.buf = a.mem.get();
  }
  const uint32_t before = a.out.used;
  ackring_put(&a.out, line, data, static_cast<uint32_t>(n));
  ack_settle(h, a, before);
  return 0;
}

}  // namespace

void ack_send_ack(Hub &h, Session &s, AckState &a) {
  AckMsg m{};
  m.kind = ACK_KIND_ACK;
  m.yours = a.taking;
  if (!put_msg(h, s, m)) return;  // the queue is full: when it drains
  a.unacked = 0;
  h.m.ack_acks_out++;
}

void ack_flush(Hub &h, Session &s, AckState &a) {
  uint8_t buf[kSectionMax];
  int line = 0;
  while (s.ack_hello && s.state == Session::State::kReady && s.q_count < h.cfg.out_queue) {
    const uint32_t n = ackring_next(&a.out, &line, buf, sizeof buf);
    if (n == 0) return;
    const uint64_t end = a.out.send_off[line], start = end - n;
    if (start < a.sent_max[line]) {
      const uint64_t again = std::min(end, a.sent_max[line]) - start;
      a.resent += again;
      h.m.ack_resent += again;
    }
    a.sent_max[line] = std::max(a.sent_max[line], end);
    gw_enqueue(h, s, static_cast<uint16_t>(line + 1), buf, n);
  }
}

namespace {

void on_drained(Hub &h, GatewayRecord &r) {
  Session *s = r.session;
  AckState *a = s && s->ack_hello ? find(h, r) : nullptr;
  if (!a) return;
  if (ack_due(a->unacked, h.now - a->unacked_since)) ack_send_ack(h, *s, *a);
  ack_flush(h, *s, *a);
}

}  // namespace

const GatewayHooks kAckHooks = [] {
  GatewayHooks row{};
  row.drained = on_drained;
  return row;
}();

void ack_on_init(Hub &h, Session &s, GatewayRecord &r) {
  AckState &a = ack_state_of(h, r);
  a.holds = true;
  a.links++;
  h.m.ack_links++;
  a.unacked = 0;
  AckMsg m{};
  m.kind = ACK_KIND_HELLO;
  uint64_t end[ACK_LINES];
  ackring_held(&a.out, &m.mine, end);
  m.yours = a.taking;
  put_msg(h, s, m);
  LOG_DEBUG("gateway %s: acknowledged link (link %u)", r.id.c_str(), a.links);
}

int ack_send(Hub &h, Session &s, GatewayRecord &r, int line, const uint8_t *data, size_t n) {
  AckState &a = ack_state_of(h, r);
  const int put = put_burst(h, a, line, data, n);
  if (put == 0) ack_flush(h, s, a);
  return put;
}

bool ack_room(const Hub &h, const GatewayRecord &r, size_t *room) {
  const AckState *a = ack_state(h, r);
  if (!gw_online(r)) {
    *room = 0;  // away after the extension: its senders wait for its next link
    return a && a->holds && !r.elsewhere;
  }
  const Session &s = *r.session;
  if (!s.ack || !s.admitted) return false;
  const size_t pending = a ? ackring_pending(&a->out) : 0, ring = a ? ring_room(h, *a) : kAckRetain;
  const size_t slots = s.q_count >= h.cfg.out_queue || pending > 0 ? 0 : h.cfg.out_queue - s.q_count;
  *room = std::min(slots * kSectionMax, ring / kPendingPerPacket * kSectionMax);
  return true;
}

void ack_on_plain_init(Hub &h, GatewayRecord &r) {
  AckState *a = find(h, r);
  if (!a || !a->holds) return;
  a->holds = false;
  AckMark held;
  uint64_t end[ACK_LINES];
  ackring_held(&a->out, &held, end);
  for (int i = 0; i < ACK_LINES; i++) {
    if (end[i] > held.off[i]) ack_note_loss(h, r, a->lost_out[i], i, end[i] - held.off[i], end[i], false);
  }
  const uint32_t before = a->out.used;
  ackring_init(&a->out, new_gen(), kAckRetain);
  ack_settle(h, *a, before);
}

void ack_tick(Hub &h, Session &s) {
  AckState *a = s.gw && s.ack_hello ? find(h, *s.gw) : nullptr;
  if (!a) return;
  if (ack_due(a->unacked, h.now - a->unacked_since)) ack_send_ack(h, s, *a);
  ack_flush(h, s, *a);
}

}  // namespace hub
