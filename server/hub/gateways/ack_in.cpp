// What comes from the gateway on the acknowledged link: its hello, its
// acknowledgements, its line bytes counted; whatever breaks the rules
// refused.
#include <string>

#include "core/log.h"
#include "gateways/ack.h"
#include "gateways/ack_out.h"

namespace hub {
namespace {

bool refuse(Hub &h, Session &s, const std::string &why) {
  h.m.ack_refused++;
  LOG_WARN("gateway %s acknowledged link refused: %s", s.gw->id.c_str(), why.c_str());
  gw_end(h, s, ("acknowledged link: " + why).c_str());
  return false;
}

}  // namespace

void ack_note_loss(Hub &h, const GatewayRecord &r, AckLoss &l, int line, uint64_t n, uint64_t to, bool in) {
  l.bytes += n;
  l.from = to - n;
  l.to = to;
  (in ? h.m.ack_lost_in : h.m.ack_lost_out) += n;
  LOG_WARN("gateway %s line %d: %llu bytes %s it lost (offsets %llu..%llu): the outage outlasted what %s kept",
           r.id.c_str(), line + 1, static_cast<unsigned long long>(n), in ? "from" : "to",
           static_cast<unsigned long long>(l.from), static_cast<unsigned long long>(to),
           in ? "the gateway" : "the hub");
}

namespace {

// The gateway's stream from where it stands, and the hub's from where the
// gateway stands.
bool on_hello(Hub &h, Session &s, GatewayRecord &r, AckState &a, const AckMsg &m) {
  if (s.ack_hello) return refuse(h, s, "a second hello on one link");
  AckMark held;
  uint64_t end[ACK_LINES], from[ACK_LINES], lost[ACK_LINES];
  ackring_held(&a.out, &held, end);
  if (ack_send_from(&held, end, &m.yours, from, lost) != 0) return refuse(h, s, "its hello claims bytes never sent");
  for (int i = 0; i < ACK_LINES; i++) {
    if (lost[i]) ack_note_loss(h, r, a.lost_out[i], i, lost[i], from[i], false);
  }
  const uint32_t before = a.out.used;
  ackring_rewind(&a.out, from);
  ack_settle(h, a, before);
  if (a.taking.gen != 0 && a.taking.gen != m.mine.gen) {
    LOG_INFO("gateway %s: its stream started again (it restarted): what it held before is not counted", r.id.c_str());
  }
  ack_take_hello(&a.taking, &m.mine, lost);
  for (int i = 0; i < ACK_LINES; i++) {
    if (lost[i]) ack_note_loss(h, r, a.lost_in[i], i, lost[i], a.taking.off[i], true);
  }
  a.unacked = 0;
  s.ack_hello = true;
  ack_flush(h, s, a);
  return true;
}

bool on_ack(Hub &h, Session &s, AckState &a, const AckMsg &m) {
  if (!s.ack_hello) return refuse(h, s, "an acknowledgement before its hello");
  if (m.yours.gen != a.out.gen) return refuse(h, s, "an acknowledgement of a stream not the hub's");
  const uint32_t before = a.out.used;
  if (ackring_ack(&a.out, m.yours.off) != 0) return refuse(h, s, "an acknowledgement of bytes never sent");
  ack_settle(h, a, before);
  h.m.ack_acks_in++;
  if (a.out.used < before) gw_announce(&GatewayHooks::drained, h, *s.gw);  // senders waiting for room
  return true;
}

bool take_line(Hub &h, Session &s, AckState &a, int line, size_t n) {
  if (!s.ack_hello) return refuse(h, s, "line bytes before its hello");
  a.taking.off[line] += n;
  if (a.unacked == 0) a.unacked_since = h.now;
  a.unacked += n;
  if (ack_due(a.unacked, 0)) ack_send_ack(h, s, a);
  return true;
}

}  // namespace

bool ack_on_section(Hub &h, Session &s, GatewayRecord &r, uint16_t port, size_t n, const uint8_t *data) {
  AckState &a = ack_state_of(h, r);
  const int line = ack_line(port);
  if (line >= 0) return take_line(h, s, a, line, n);
  if (port != COM_PORT_ACK) return true;
  AckMsg m;
  if (ack_get(data, n, &m) != 0) {
    return refuse(h, s, "a message that does not parse (" + std::to_string(n) + " bytes)");
  }
  return m.kind == ACK_KIND_HELLO ? on_hello(h, s, r, a, m) : on_ack(h, s, a, m);
}

}  // namespace hub
