// The acknowledged link on the hub's side: hellos, acknowledgements, the
// gateway's stream counted and the hub's own bursts kept and sent.
#include "gateways/ack.h"

#include <openssl/rand.h>

#include <algorithm>
#include <string>

#include "core/log.h"
#include "core/packet.h"

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

AckState &state_of(Hub &h, GatewayRecord &r) {
  std::unique_ptr<AckState> &p = h.acks->of[&r];
  if (!p) {
    p.reset(new AckState);
    ackring_init(&p->out, new_gen(), kAckRetain);
  }
  return *p;
}

AckState *find(Hub &h, GatewayRecord &r) { return const_cast<AckState *>(ack_state(h, r)); }

// After the ring changed: the hub's gauge in step, its memory given back
// when it holds nothing.
void settle(Hub &h, AckState &a, uint32_t before) {
  h.acks->retained = h.acks->retained + a.out.used - before;
  if (a.out.used == 0 && a.mem) {
    a.mem.reset();
    a.out.buf = nullptr;
  }
}

bool put_msg(Hub &h, Session &s, const AckMsg &m) {
  uint8_t b[ACK_MSG_LEN];
  ack_put(b, sizeof b, &m);
  return gw_enqueue(h, s, COM_PORT_ACK, b, sizeof b) == 0;
}

bool refuse(Hub &h, Session &s, const std::string &why) {
  h.m.ack_refused++;
  LOG_WARN("gateway %s acknowledged link refused: %s", s.gw->id.c_str(), why.c_str());
  gw_end(h, s, ("acknowledged link: " + why).c_str());
  return false;
}

void note_loss(Hub &h, const GatewayRecord &r, AckLoss &l, int line, uint64_t n, uint64_t to, bool in) {
  l.bytes += n;
  l.from = to - n;
  l.to = to;
  (in ? h.m.ack_lost_in : h.m.ack_lost_out) += n;
  LOG_WARN("gateway %s line %d: %llu bytes %s it lost (offsets %llu..%llu): the outage outlasted what %s kept",
           r.id.c_str(), line + 1, static_cast<unsigned long long>(n), in ? "from" : "to",
           static_cast<unsigned long long>(l.from), static_cast<unsigned long long>(to),
           in ? "the gateway" : "the hub");
}

void send_ack(Hub &h, Session &s, AckState &a) {
  AckMsg m{};
  m.kind = ACK_KIND_ACK;
  m.yours = a.taking;
  if (!put_msg(h, s, m)) return;  // the queue is full: when it drains
  a.unacked = 0;
  h.m.ack_acks_out++;
}

// Bursts the gateway lacks, as the queue has room, once it said where it is.
void flush(Hub &h, Session &s, AckState &a) {
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

// The gateway's stream from where it stands, and the hub's from where the
// gateway stands.
bool on_hello(Hub &h, Session &s, GatewayRecord &r, AckState &a, const AckMsg &m) {
  if (s.ack_hello) return refuse(h, s, "a second hello on one link");
  AckMark held;
  uint64_t end[ACK_LINES], from[ACK_LINES], lost[ACK_LINES];
  ackring_held(&a.out, &held, end);
  if (ack_send_from(&held, end, &m.yours, from, lost) != 0) return refuse(h, s, "its hello claims bytes never sent");
  for (int i = 0; i < ACK_LINES; i++) {
    if (lost[i]) note_loss(h, r, a.lost_out[i], i, lost[i], from[i], false);
  }
  const uint32_t before = a.out.used;
  ackring_rewind(&a.out, from);
  settle(h, a, before);
  if (a.taking.gen != 0 && a.taking.gen != m.mine.gen) {
    LOG_INFO("gateway %s: its stream started again (it restarted): what it held before is not counted", r.id.c_str());
  }
  ack_take_hello(&a.taking, &m.mine, lost);
  for (int i = 0; i < ACK_LINES; i++) {
    if (lost[i]) note_loss(h, r, a.lost_in[i], i, lost[i], a.taking.off[i], true);
  }
  a.unacked = 0;
  s.ack_hello = true;
  flush(h, s, a);
  return true;
}

bool on_ack(Hub &h, Session &s, AckState &a, const AckMsg &m) {
  if (!s.ack_hello) return refuse(h, s, "an acknowledgement before its hello");
  if (m.yours.gen != a.out.gen) return refuse(h, s, "an acknowledgement of a stream not the hub's");
  const uint32_t before = a.out.used;
  if (ackring_ack(&a.out, m.yours.off) != 0) return refuse(h, s, "an acknowledgement of bytes never sent");
  settle(h, a, before);
  h.m.ack_acks_in++;
  return true;
}

bool take_line(Hub &h, Session &s, AckState &a, int line, size_t n) {
  if (!s.ack_hello) return refuse(h, s, "line bytes before its hello");
  a.taking.off[line] += n;
  if (a.unacked == 0) a.unacked_since = h.now;
  a.unacked += n;
  if (ack_due(a.unacked, 0)) send_ack(h, s, a);
  return true;
}

void on_drained(Hub &h, GatewayRecord &r) {
  Session *s = r.session;
  AckState *a = s && s->ack_hello ? find(h, r) : nullptr;
  if (!a) return;
  if (ack_due(a->unacked, h.now - a->unacked_since)) send_ack(h, *s, *a);
  flush(h, *s, *a);
}

}  // namespace

const GatewayHooks kAckHooks = [] {
  GatewayHooks row{};
  row.drained = on_drained;
  return row;
}();

void ack_on_init(Hub &h, Session &s, GatewayRecord &r) {
  AckState &a = state_of(h, r);
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

bool ack_on_section(Hub &h, Session &s, GatewayRecord &r, uint16_t port, size_t n, const uint8_t *data) {
  AckState &a = state_of(h, r);
  const int line = ack_line(port);
  if (line >= 0) return take_line(h, s, a, line, n);
  if (port != COM_PORT_ACK) return true;
  AckMsg m;
  if (ack_get(data, n, &m) != 0) {
    return refuse(h, s, "a message that does not parse (" + std::to_string(n) + " bytes)");
  }
  return m.kind == ACK_KIND_HELLO ? on_hello(h, s, r, a, m) : on_ack(h, s, a, m);
}

int ack_send(Hub &h, Session &s, GatewayRecord &r, int line, const uint8_t *data, size_t n) {
  if (n > kSectionMax) return -3;
  AckState &a = state_of(h, r);
  if (ackring_pending(&a.out) + ACKRING_HEAD + n > h.cfg.out_queue * kPendingPerPacket) return -2;
  if (!a.out.buf) {
    a.mem.reset(new uint8_t[kAckRetain]);
    a.out.buf = a.mem.get();
  }
  const uint32_t before = a.out.used;
  ackring_put(&a.out, line, data, static_cast<uint32_t>(n));
  settle(h, a, before);
  flush(h, s, a);
  return 0;
}

void ack_tick(Hub &h, Session &s) {
  AckState *a = s.gw && s.ack_hello ? find(h, *s.gw) : nullptr;
  if (!a) return;
  if (ack_due(a->unacked, h.now - a->unacked_since)) send_ack(h, s, *a);
  flush(h, s, *a);
}

}  // namespace hub
