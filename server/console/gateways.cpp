// Gateway connections: the TLS handshake when the listener speaks TLS,
// reading, spaced whole-packet writes, closing.
#include "gateways.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "conn.h"
#include "net.h"
#include "out.h"
#include "qylink.h"

namespace console {
namespace {

struct OutPacket {
  size_t len;
  unsigned port;
  size_t data_len;
  uint8_t bytes[kPacketMax];  // scrambled
};

struct Gateway {
  bool used;
  Conn conn;
  uint32_t generation;
  char peer[48];
  Receiver rx;
  OutPacket q[kOutQueue];
  size_t q_head, q_count;
  size_t head_sent;  // bytes of the head packet already written
  uint32_t last_send;
};

Gateway g_gw[kMaxGateways];
int g_slot_of_entry[kMaxGateways];
uint32_t g_gap_ms = 50;
uint32_t g_generation = 0;
unsigned g_tls_refused = 0;  // connections whose TLS handshake failed or ran out of time
SectionFn g_on_section = nullptr;
void *g_ctx = nullptr;

// A connected gateway: its handshake (if any) is done.
Gateway *find(int id) {
  if (id < 1 || id > kMaxGateways || !g_gw[id - 1].used || !g_gw[id - 1].conn.up) return nullptr;
  return &g_gw[id - 1];
}

// A connection whose handshake did not finish never was a gateway.
void refuse_slot(Gateway &g, const char *why) {
  conn_close(g.conn);
  g_tls_refused++;
  out_line("refused gateway from=%s: %s", g.peer, why);
  g.used = false;
}

void close_slot(Gateway &g, const char *why) {
  if (!g.conn.up) return refuse_slot(g, why);
  rx_finish(g.rx);
  if (g.q_count > 0) out_line("gw%d dropped %zu unsent packets", g.rx.gw, g.q_count);
  conn_close(g.conn);
  out_line("gw%d closed: %s", g.rx.gw, why);
  g.used = false;
}

void connected(Gateway &g, const char *key) {
  g.last_send = qy_ticks() - g_gap_ms;
  if (key) {
    out_line("gw%d connected from=%s key=%s", g.rx.gw, g.peer, key);
  } else {
    out_line("gw%d connected from=%s", g.rx.gw, g.peer);
  }
}

void handshake(Gateway &g) {
  char why[160] = "", key[72] = "";
  int rc = conn_handshake(g.conn, why, sizeof why, key, sizeof key);
  if (rc < 0) refuse_slot(g, why);
  if (rc > 0) connected(g, key);
}

void expire(Gateway &g) {
  char why[64];
  snprintf(why, sizeof why, "TLS handshake not done within %u s", kHandshakeMs / 1000);
  refuse_slot(g, why);
}

void on_readable(Gateway &g, uint32_t now) {
  if (!g.conn.up) return handshake(g);
  uint8_t wire[2 * kPacketMax];
  const char *why = "";
  ssize_t n = conn_read(g.conn, wire, rx_room(g.rx), &why);
  if (n == 0) {
    close_slot(g, "peer closed");
  } else if (n == -2) {
    close_slot(g, why);
  } else if (n > 0) {
    rx_feed(g.rx, wire, static_cast<size_t>(n), now);
    if (g.rx.bad_in_row >= kBadInRowLimit) close_slot(g, "too many malformed packets in a row");
  }
}

// Writes (the rest of) the head packet once its turn has come.
void try_send(Gateway &g, uint32_t now) {
  if (g.q_count == 0 || g.rx.packets == 0) return;
  if (g.head_sent == 0 && now - g.last_send < g_gap_ms) return;
  OutPacket &p = g.q[g.q_head];
  const char *why = "";
  ssize_t n = conn_write(g.conn, p.bytes + g.head_sent, p.len - g.head_sent, &why);
  if (n < 0) {
    if (n == -2) close_slot(g, why);
    return;
  }
  if (static_cast<size_t>(n) < p.len - g.head_sent) {
    out_line("gw%d slow: packet to port%u written in pieces", g.rx.gw, p.port);
  }
  g.head_sent += static_cast<size_t>(n);
  if (g.head_sent < p.len) return;
  out_line("gw%d sent port%u len=%zu", g.rx.gw, p.port, p.data_len);
  g.head_sent = 0;
  g.last_send = now;
  g.q_head = (g.q_head + 1) % kOutQueue;
  g.q_count--;
}

}  // namespace

size_t build_packet(unsigned port, const uint8_t *data, size_t n, uint8_t *out, size_t cap) {
  if (n > kSectionMax || port > 0xFFFF) return 0;
  // no IP text; the signal byte is not used in this direction
  size_t off = wire_put_prefix(out, cap, PACKAGE_TYPE_DATA, "", 0, 0);
  if (off == 0 || off >= cap) return 0;
  out[off++] = 1;  // one section
  off = wire_put_section(out, cap, off, static_cast<uint16_t>(port), data, n);
  return off == 0 ? 0 : wire_finish(out, off);
}

void gw_setup(uint32_t gap_ms, SectionFn on_section, void *ctx) {
  g_gap_ms = gap_ms;
  g_on_section = on_section;
  g_ctx = ctx;
}

void gw_accept(int lfd) {
  char peer[48];
  int fd = net_accept(lfd, peer, sizeof peer);
  if (fd >= 0) gw_adopt(fd, peer);
}


int gw_adopt(int fd, const char *peer) {
  int slot = 0;
  while (slot < kMaxGateways && g_gw[slot].used) slot++;
  if (slot == kMaxGateways) {
    out_line("refused gateway from=%s: all %d slots taken", peer, kMaxGateways);
    close(fd);
    return 0;
  }
  Gateway &g = g_gw[slot];
  memset(&g, 0, sizeof g);
  if (!conn_open(g.conn, fd, qy_ticks())) {
    out_line("refused gateway from=%s: no memory for its TLS state", peer);
    close(fd);
    return 0;
  }
  g.used = true;
  g.generation = ++g_generation;
  snprintf(g.peer, sizeof g.peer, "%s", peer);
  rx_init(g.rx, slot + 1, g_on_section, g_ctx);
  // Over TLS the gateway is connected once its handshake is done.
  if (g.conn.up) connected(g, nullptr);
  return slot + 1;
}

int gw_fill(pollfd *fds, int room) {
  int n = 0;
  for (int i = 0; i < kMaxGateways && n < room; i++) {
    if (!g_gw[i].used) continue;
    fds[n].fd = g_gw[i].conn.fd;
    fds[n].events = conn_events(g_gw[i].conn, g_gw[i].head_sent > 0);
    fds[n].revents = 0;
    g_slot_of_entry[n++] = i;
  }
  return n;
}

void gw_serve(const pollfd *fds, int count, uint32_t now) {
  for (int k = 0; k < count; k++) {
    Gateway &g = g_gw[g_slot_of_entry[k]];
    if (!g.used || g.conn.fd != fds[k].fd) continue;
    // POLLOUT also moves a TLS read or handshake that waited to write.
    short in = static_cast<short>(POLLIN | POLLHUP | POLLERR | (g.conn.tls ? POLLOUT : 0));
    if (fds[k].revents & in) on_readable(g, now);
    if (g.used && g.conn.up && (fds[k].revents & POLLOUT)) try_send(g, now);
  }
}

void gw_tick(uint32_t now) {
  for (Gateway &g : g_gw) {
    if (g.used && conn_expired(g.conn, now)) expire(g);
    if (!g.used || !g.conn.up) continue;
    if (conn_pending(g.conn)) on_readable(g, now);
    if (!g.used) continue;
    rx_tick(g.rx, now);
    try_send(g, now);
  }
}

uint32_t gw_generation(int id) {
  Gateway *g = find(id);
  return g ? g->generation : 0;
}

bool gw_ready(int id) {
  Gateway *g = find(id);
  return g && g->rx.packets > 0;
}

int gw_send(int id, unsigned port, const uint8_t *data, size_t n) {
  Gateway *g = find(id);
  if (!g) return -1;
  if (g->q_count == kOutQueue) return -2;
  OutPacket &p = g->q[(g->q_head + g->q_count) % kOutQueue];
  p.len = build_packet(port, data, n, p.bytes, sizeof p.bytes);
  if (p.len == 0) return -3;
  p.port = port;
  p.data_len = n;
  EncodePacket(p.bytes, static_cast<int>(p.len));
  g->q_count++;
  return 0;
}

int gw_verify(int id, uint8_t x, uint8_t y) {
  const uint8_t xy[2] = {x, y};
  int rc = gw_send(id, COM_PORT_VERIFY, xy, sizeof xy);
  if (rc == 0) {
    Gateway *g = find(id);
    g->rx.verify_pending = true;
    g->rx.verify_expect = wire_verify_answer(x, y);
  }
  return rc;
}

void gw_close(int id, const char *why) {
  Gateway *g = find(id);
  if (g) close_slot(*g, why);
}

void gw_close_all(const char *why) {
  for (Gateway &g : g_gw) {
    if (g.used) close_slot(g, why);
  }
}

void gw_list() {
  int n = 0;
  for (const Gateway &g : g_gw) {
    if (!g.used || !g.conn.up) continue;
    n++;
    out_line("gw%d from=%s packets=%u queued=%zu %s", g.rx.gw, g.peer, g.rx.packets, g.q_count,
             g.rx.packets > 0 ? "ready" : "waiting for its first packet");
  }
  out_line("gateways=%d", n);
  if (tls_enabled()) out_line("tls refused=%u", g_tls_refused);
}

bool gw_drained() {
  for (const Gateway &g : g_gw) {
    if (g.used && g.q_count > 0 && g.rx.packets > 0) return false;
  }
  return true;
}

}  // namespace console
