// The simulated gateways' side of the acknowledged link, by the rules both
// ends run (ackstream.h): the application protocol offered in the
// handshake, the hello after the init packet, each line's bytes kept in
// the gateway's ring until the hub acknowledges them and sent again after a
// break from where the hub stands, the hub's stream counted and
// acknowledged. A gateway's ring has memory only while it holds bytes.
#include <openssl/ssl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>

#include "fleet.h"

namespace fleet {
namespace {

constexpr unsigned char kAlpn[] = "\x09" ACK_ALPN;

uint32_t new_gen() {
  uint32_t g = 0;
  while (g == 0) {
    if (getrandom(&g, sizeof g, 0) != static_cast<ssize_t>(sizeof g)) g = qy_ticks() | 1;
  }
  return g;
}

// After the ring changed: the figure of bytes held, its memory freed when empty.
void settle(Fleet &f, Gateway &g, uint32_t before) {
  f.st.ack_retained = f.st.ack_retained + g.ring.used - before;
  if (g.ring.used == 0 && g.ring.buf != nullptr) {
    free(g.ring.buf);
    g.ring.buf = nullptr;
  }
}

bool send_section(Fleet &f, uint32_t i, uint16_t port, const uint8_t *data, size_t n, uint32_t now) {
  uint8_t pkt[PACKET_BUF_SIZE];
  const size_t len = build_data(f.gw[i].who, port, data, n, pkt);
  return len > 0 && link_send(f, i, pkt, len, 1, now);
}

bool send_msg(Fleet &f, uint32_t i, const AckMsg &m, uint32_t now) {
  uint8_t b[ACK_MSG_LEN];
  ack_put(b, sizeof b, &m);
  return send_section(f, i, COM_PORT_ACK, b, sizeof b, now);
}

void send_ack(Fleet &f, uint32_t i, uint32_t now) {
  Gateway &g = f.gw[i];
  AckMsg m = {};
  m.kind = ACK_KIND_ACK;
  m.yours = g.ack_taking;
  if (!send_msg(f, i, m, now)) return;
  g.ack_unacked = 0;
  f.st.acks_out++;
}

// A message of the hub's that breaks the rules: counted, the link dropped.
bool refuse(Fleet &f, uint32_t i, const char *why, uint32_t now) {
  if (f.st.ack_refused++ == 0) {
    fprintf(stderr, "trm-fleet: gateway %s: the hub's acknowledged link: %s (the first; all are counted)\n",
            f.gw[i].who.id, why);
  }
  link_close(f, i, now, 0);
  return false;
}

// Kept bytes the hub lacks, while the socket takes them at once.
void flush(Fleet &f, uint32_t i, uint32_t now) {
  Gateway &g = f.gw[i];
  uint8_t data[PACKET_BUF_SIZE];
  int line = 0;
  while (g.ack_hello && g.fd >= 0 && g.tx_len == 0) {
    const uint32_t n = ackring_next(&g.ring, &line, data, static_cast<uint32_t>(data_capacity(g.who)));
    if (n == 0) return;
    const uint64_t end = g.ring.send_off[line], start = end - n;
    if (start < g.ack_sent_max[line]) f.st.ack_resent += (end < g.ack_sent_max[line] ? end : g.ack_sent_max[line]) - start;
    if (end > g.ack_sent_max[line]) g.ack_sent_max[line] = end;
    send_section(f, i, static_cast<uint16_t>(line + 1), data, n, now);
  }
}

bool on_hello(Fleet &f, uint32_t i, const AckMsg &m, uint32_t now) {
  Gateway &g = f.gw[i];
  if (g.ack_hello) return refuse(f, i, "a second hello on one link", now);
  AckMark held;
  uint64_t end[ACK_LINES], from[ACK_LINES], lost[ACK_LINES];
  ackring_held(&g.ring, &held, end);
  if (ack_send_from(&held, end, &m.yours, from, lost) != 0) return refuse(f, i, "its hello claims bytes never sent", now);
  f.st.ack_lost_out += lost[0] + lost[1];
  const uint32_t before = g.ring.used;
  ackring_rewind(&g.ring, from);
  settle(f, g, before);
  ack_take_hello(&g.ack_taking, &m.mine, lost);
  f.st.ack_lost_in += lost[0] + lost[1];
  g.ack_unacked = 0;
  g.ack_hello = true;
  flush(f, i, now);
  return g.fd >= 0;
}

bool on_ack(Fleet &f, uint32_t i, const AckMsg &m, uint32_t now) {
  Gateway &g = f.gw[i];
  if (!g.ack_hello) return refuse(f, i, "an acknowledgement before its hello", now);
  const uint32_t before = g.ring.used;
  if (m.yours.gen != g.ring.gen || ackring_ack(&g.ring, m.yours.off) != 0) {
    return refuse(f, i, "an acknowledgement of bytes never sent", now);
  }
  settle(f, g, before);
  f.st.acks_in++;
  return true;
}

}  // namespace

void ack_init(Fleet &f) {
  for (uint32_t k = 0; k < f.opt.gateways; k++) ackring_init(&f.gw[k].ring, new_gen(), f.opt.ack_retain_kb * 1024);
}

bool ack_on(const Fleet &f, const Gateway &g) {
  const bool unsettled = g.state != GwState::kStarting && g.state != GwState::kUp;  // no link said what it is
  return g.ack_link || (unsettled && f.tls != nullptr && f.opt.ack);
}

void ack_link_up(Fleet &f, uint32_t i) {
  Gateway &g = f.gw[i];
  g.ack_link = g.ack_hello = false;
  if (g.ssl == nullptr || !f.opt.ack) return;
  const unsigned char *p = nullptr;
  unsigned n = 0;
  SSL_get0_alpn_selected(g.ssl, &p, &n);
  g.ack_link = n == sizeof kAlpn - 2 && memcmp(p, kAlpn + 1, n) == 0;
  if (g.ack_link) f.st.ack_links++;
}

void ack_offer(Fleet &f, SSL *ssl) {
  if (f.opt.ack) SSL_set_alpn_protos(ssl, kAlpn, sizeof kAlpn - 1);
}

void ack_hello(Fleet &f, uint32_t i, uint32_t now) {
  Gateway &g = f.gw[i];
  if (!g.ack_link) return;
  AckMsg m = {};
  m.kind = ACK_KIND_HELLO;
  uint64_t end[ACK_LINES];
  ackring_held(&g.ring, &m.mine, end);
  m.yours = g.ack_taking;
  send_msg(f, i, m, now);
}

bool ack_line_send(Fleet &f, uint32_t i, uint16_t port, const uint8_t *data, size_t n, uint32_t now) {
  Gateway &g = f.gw[i];
  if (n == 0 || n > data_capacity(g.who)) return false;
  if (g.ring.buf == nullptr) g.ring.buf = static_cast<uint8_t *>(malloc(g.ring.cap));
  if (g.ring.buf == nullptr) return false;
  const uint32_t before = g.ring.used;
  const long gone = ackring_put(&g.ring, ack_line(port), data, static_cast<uint32_t>(n));
  if (gone > 0) f.st.ack_evicted += static_cast<uint64_t>(gone);
  settle(f, g, before);
  if (gone > 0 && g.fd >= 0 && g.ack_link) {
    link_close(f, i, now, 0);  // a gap the hub cannot hear of on this link: the next hellos count it
    return true;
  }
  flush(f, i, now);
  return gone >= 0;
}

bool ack_section(Fleet &f, uint32_t i, const WireSection &s, uint32_t now) {
  Gateway &g = f.gw[i];
  const int line = ack_line(s.port);
  if (line >= 0) {
    if (!g.ack_hello) return refuse(f, i, "line bytes before its hello", now);
    g.ack_taking.off[line] += s.len;
    if (g.ack_unacked == 0) g.ack_since = now;
    g.ack_unacked += s.len;
    if (ack_due(g.ack_unacked, 0)) send_ack(f, i, now);
    return g.fd >= 0;
  }
  if (s.port != COM_PORT_ACK) return true;
  AckMsg m;
  if (ack_get(s.data, s.len, &m) != 0) return refuse(f, i, "a message that does not parse", now);
  return m.kind == ACK_KIND_HELLO ? on_hello(f, i, m, now) : on_ack(f, i, m, now);
}

void ack_pump(Fleet &f, uint32_t i, uint32_t now) {
  Gateway &g = f.gw[i];
  if (!g.ack_hello || g.fd < 0) return;
  if (ack_due(g.ack_unacked, now - g.ack_since)) send_ack(f, i, now);
  flush(f, i, now);
}

bool ack_due_at(const Gateway &g, uint32_t *at) {
  if (!g.ack_hello || g.ack_unacked == 0) return false;
  *at = g.ack_since + ACK_EVERY_MS;
  return true;
}

void ack_free(Fleet &f) {
  for (uint32_t k = 0; k < f.opt.gateways; k++) free(f.gw[k].ring.buf);
}

}  // namespace fleet
