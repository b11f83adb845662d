// Gateway connections: framing, packets, sessions and their send queues.
#include "gateways/session.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>

#include "core/addr.h"
#include "core/log.h"
#include "core/packet.h"
#include "gateways/ack.h"
#include "gateways/identity.h"
#include "gateways/tls.h"

namespace hub {
namespace {

const char *who(const Session &s) { return s.gw ? s.gw->id.c_str() : "-"; }

std::string peer_text(const Session &s) { return gw_peer_text(s); }

void malformed(Hub &h, Session &s, const char *why) {
  h.m.malformed++;
  if (s.gw) s.gw->c.malformed++;
  LOG_DEBUG("gateway %s from %s malformed: %s", who(s), peer_text(s).c_str(), why);
}

// A key not bound to the ID is held, whatever the lists say.
bool decide_admission(const Hub &h, const GatewayRecord &r, const Session &s) {
  if (!gw_key_bound(r, s)) return false;
  if (r.admission != Admission::kByList) return r.admission == Admission::kAdmitted;
  return id_allowed(h.cfg.allow, r.id) && net_allowed(h.cfg.allow, s.peer_addr);
}

// A section for the rows in order, until one takes it.
bool offer(bool (*GatewayHooks::*hook)(Hub &, GatewayRecord &, uint16_t, const uint8_t *, size_t), Hub &h,
           GatewayRecord &r, const WireSection &sec) {
  for (const GatewayHooks *const *row = kGatewayHooks; *row; row++) {
    if ((*row)->*hook && ((*row)->*hook)(h, r, sec.port, sec.data, sec.len)) return true;
  }
  return false;
}

void schedule_send(Hub &h, Session &s) {
  if (s.in_send_wait) return;
  s.in_send_wait = true;
  h.send_wait.push_back(&s);
}

void take_init_fields(Hub &h, GatewayRecord &r, Session &s, const InitInfo &info, const uint8_t *pkt) {
  r.alias = info.alias;
  r.model = info.model;
  r.version = info.version;
  r.network = info.netif;
  r.heartbeat_s = info.heartbeat_s;
  r.signal = packet_signal(pkt);
  r.peer = peer_text(s);
  r.last_seen = h.wall_ms / 1000;
  if (r.first_seen == 0) r.first_seen = r.last_seen;
}

// The connection introduces itself as gateway r.
void attach(Hub &h, Session &s, GatewayRecord &r) {
  if (r.session != nullptr) {
    h.m.replaced++;
    LOG_INFO("gateway %s: the connection from %s replaces the one from %s", r.id.c_str(), peer_text(s).c_str(),
             peer_text(*r.session).c_str());
    gw_clash_turn(h, r, r.session->peer_addr, s.peer_addr);
    gw_end(h, *r.session, "replaced by a newer connection");
  }
  if (r.first_seen != 0) {
    r.c.reconnects++;
    gw_note_reconnect(r, h.wall_ms / 1000);
  }
  r.session = &s;
  r.session_start = h.wall_ms;
  r.holder = h.cfg.hub_id;
  r.elsewhere = false;
  s.gw = &r;
  s.state = Session::State::kReady;
  h.ready_count++;
}

// On the secure link the key speaks for one ID: a packet that declares
// another is not acted on, and the connection is refused.
void id_changed(Hub &h, Session &s, const std::string &id) {
  gw_refuse(h, s, TlsRefusal::kIdChanged,
            "a packet declares \"" + escaped(reinterpret_cast<const uint8_t *>(id.data()), id.size()) +
                "\", not the ID its key came in as",
            s.gw->id);
}

// A flood of made-up IDs must not grow the registry (every hub's memory)
// without end: a new ID past the cap is refused.
void registry_full(Hub &h, Session &s, const std::string &id) {
  h.m.closed_unknown++;
  std::string held = gw_hold(h, s, id);
  LOG_WARN("gateway %s refused: the registry holds %zu gateways, its cap (max_known %zu x %zu hubs)%s", id.c_str(),
           h.records.size(), h.cfg.max_known, h.hubs, held.c_str());
  gw_end(h, s, "registry full");
}

void on_init(Hub &h, Session &s, const uint8_t *pkt, size_t len) {
  InitInfo info;
  if (!parse_init(pkt, len, &info)) return malformed(h, s, "init packet ends inside its fields");
  if (!id_usable(packet_id(pkt), packet_id_len(pkt))) {
    h.m.closed_bad_id++;
    std::string held = gw_hold(h, s, "");
    LOG_WARN("connection from %s: unusable gateway ID \"%s\"%s", peer_text(s).c_str(),
             escaped(packet_id(pkt), packet_id_len(pkt)).c_str(), held.c_str());
    return gw_end(h, s, "unusable gateway ID");
  }
  std::string id(reinterpret_cast<const char *>(packet_id(pkt)), packet_id_len(pkt));
  bool fresh = s.state != Session::State::kReady;
  if (fresh && !gw_key_gate(h, s, id)) return;
  if (h.records.size() >= hub_known_cap(h) && !hub_find(h, id)) return registry_full(h, s, id);
  if (s.state == Session::State::kReady && id != s.gw->id) {
    if (s.tls) return id_changed(h, s, id);
    return gw_end(h, s, "introduced itself again under another ID");
  }
  GatewayRecord &r = hub_record(h, id);
  if (fresh) attach(h, s, r);
  if (fresh) gw_key_attached(h, s, r);
  take_init_fields(h, r, s, info, pkt);
  s.admitted = decide_admission(h, r, s);
  LOG_INFO("gateway %s online from %s alias=\"%s\" model=\"%s\" version=\"%s\" heartbeat=%u%s", r.id.c_str(),
           r.peer.c_str(), escaped(reinterpret_cast<const uint8_t *>(r.alias.data()), r.alias.size()).c_str(),
           escaped(reinterpret_cast<const uint8_t *>(r.model.data()), r.model.size()).c_str(),
           escaped(reinterpret_cast<const uint8_t *>(r.version.data()), r.version.size()).c_str(), r.heartbeat_s,
           s.admitted ? "" : " held");
  gw_changed(h, r, true);
  if (!fresh) return;
  uint32_t every = h.cfg.verify_interval_s * 1000;
  s.next_verify = h.now + (every ? s.serial * 7919u % every : 0);  // spread over the interval
  if (s.ack) {
    ack_on_init(h, s, r);
  } else {
    ack_on_plain_init(h, r);
  }
  gw_announce(&GatewayHooks::online, h, r);
  if (s.q_count > 0) schedule_send(h, s);
}

void dispatch(Hub &h, Session &s, GatewayRecord &r, const WireSection &sec) {
  h.m.sections_in++;
  if (s.ack && !ack_on_section(h, s, r, sec.port, sec.len, sec.data)) return;
  if (sec.port == COM_PORT_RS485 || sec.port == COM_PORT_RS232) {
    if (s.admitted) offer(&GatewayHooks::port_section, h, r, sec);
  } else if (sec.port == COM_PORT_QYCOM || sec.port == COM_PORT_QYIO || sec.port == COM_PORT_VERIFY) {
    offer(&GatewayHooks::channel_reply, h, r, sec);
  }
}

void on_data(Hub &h, Session &s, const uint8_t *pkt, size_t len) {
  if (!wire_sections_fit(pkt, len)) return malformed(h, s, "sections run past the packet");
  GatewayRecord &r = *s.gw;
  size_t off = 0;
  unsigned count = wire_section_count(pkt);
  for (unsigned i = 0; i < count && s.state == Session::State::kReady; i++) {
    dispatch(h, s, r, wire_next_section(pkt, &off));
  }
  if (off < len) malformed(h, s, "bytes after the last section");
}

// Signal and last seen from any packet of an introduced gateway.
void seen(Hub &h, GatewayRecord &r, const uint8_t *pkt, size_t len) {
  r.c.packets_in++;
  r.c.bytes_in += len;
  r.last_seen = h.wall_ms / 1000;
  uint8_t signal = packet_signal(pkt);
  if (signal != r.signal) {
    r.signal = signal;
    gw_changed(h, r, false);
  }
  gw_announce(&GatewayHooks::seen, h, r);
}

void on_packet(Hub &h, Session &s, const uint8_t *pkt, size_t len) {
  const uint8_t type = pkt[3];
  h.m.packets_in[type]++;
  s.bad_in_row = 0;
  if (type == PACKAGE_TYPE_INIT) return on_init(h, s, pkt, len);
  if (s.state != Session::State::kReady) {
    h.m.before_init++;
    return;
  }
  GatewayRecord &r = *s.gw;
  bool renamed = packet_id_len(pkt) != r.id.size() || memcmp(packet_id(pkt), r.id.data(), r.id.size()) != 0;
  if (renamed && s.tls) {
    return id_changed(h, s, std::string(reinterpret_cast<const char *>(packet_id(pkt)), packet_id_len(pkt)));
  }
  seen(h, r, pkt, len);
  if (type == PACKAGE_TYPE_HEARTBEAT) {
    if (len != wire_prefix_len(pkt)) malformed(h, s, "heartbeat with a body");
  } else {
    on_data(h, s, pkt, len);
  }
  if (renamed && s.state == Session::State::kReady) {
    h.m.renamed++;
    LOG_INFO("gateway %s now sends as \"%s\"", r.id.c_str(), escaped(packet_id(pkt), packet_id_len(pkt)).c_str());
    gw_end(h, s, "it goes by another ID now and will introduce itself again");
  }
}

// What the framer's callbacks are given.
struct Feed {
  Hub &h;
  Session &s;
  bool tls_hello;  // the connection's first bytes look like a TLS handshake
};

// A TLS record header (a handshake, version 3.x) first on the plain port.
// Told only when the bytes cannot be a packet (the scrambling table could
// make a packet's first bytes look alike).
bool tls_hello(const Session &s, const uint8_t *wire, size_t n) {
  return !s.tls && s.state == Session::State::kWaitInit && s.in.have == 0 && n >= 3 && wire[0] == 0x16 &&
         wire[1] == 0x03 && wire[2] <= 0x04;
}

// A header that cannot be framed: the rest of the bytes at hand are
// dropped, and framing starts again with the next bytes that arrive.
void on_bad_header(void *ctx, const LinkBad *) {
  Hub &h = static_cast<Feed *>(ctx)->h;
  Session &s = static_cast<Feed *>(ctx)->s;
  if (static_cast<Feed *>(ctx)->tls_hello) return gw_refuse(h, s, TlsRefusal::kTlsOnPlain, "TLS on the plain port");
  malformed(h, s, "header that cannot be framed");
  if (++s.bad_in_row >= h.cfg.malformed_in_row) {
    h.m.closed_malformed++;
    gw_end(h, s, "too many malformed packets in a row");
  }
}

int on_whole_packet(void *ctx, uint8_t *pkt, size_t len) {
  Session &s = static_cast<Feed *>(ctx)->s;
  on_packet(static_cast<Feed *>(ctx)->h, s, pkt, len);
  return s.state != Session::State::kClosed;
}

uint8_t *packet_room(void *ctx) {
  Session &s = static_cast<Feed *>(ctx)->s;
  s.rx_buf.reset(new uint8_t[kPacketMax]);
  return s.rx_buf.get();
}

// An unfinished packet waits as long as the connection lives; a bad header
// drops everything at hand.
constexpr LinkFraming kFraming = {
    0, LINK_BAD_DROPS_ALL, kPacketMax, 1, on_whole_packet, on_bad_header, packet_room,
};

}  // namespace

std::string gw_peer_text(const Session &s) { return ipv4_text(s.peer_addr) + ":" + std::to_string(s.peer_port); }

Session &gw_open(Hub &h, int fd, uint32_t addr, uint16_t port) {
  Session *s = new Session;
  s->fd = fd;
  s->serial = ++h.next_serial;
  s->peer_addr = addr;
  s->peer_port = port;
  s->opened_at = s->last_rx = h.now;
  s->last_send = h.now - h.cfg.gap_ms;
  s->next = h.sessions;
  if (h.sessions) h.sessions->prev = s;
  h.sessions = s;
  h.session_count++;
  h.m.accepted++;
  LOG_DEBUG("connection from %s", peer_text(*s).c_str());
  return *s;
}

void gw_on_wire(Hub &h, Session &s, uint8_t *wire, size_t n) {
  if (s.state == Session::State::kClosed) return;
  bool hello = tls_hello(s, wire, n);
  DecodePacket(wire, static_cast<int>(n));
  h.m.bytes_in += n;
  s.last_rx = h.now;
  Feed feed = {h, s, hello};
  link_framer_feed(&kFraming, &s.in, wire, n, h.now, &feed);
}

std::string gw_hold(Hub &h, Session &s, const std::string &who) {
  s.hold_ms = h.holds.strike(s.peer_addr, who, h.now);
  return s.hold_ms ? " (held " + std::to_string(s.hold_ms / 1000) + " s before the close)" : "";
}

void gw_end(Hub &h, Session &s, const char *why) {
  if (s.state == Session::State::kClosed) return;
  tls_end(h, s);
  bool ready = s.state == Session::State::kReady;
  s.state = Session::State::kClosed;
  if (ready) h.ready_count--;
  if (s.prev) s.prev->next = s.next;
  if (s.next) s.next->prev = s.prev;
  if (h.sessions == &s) h.sessions = s.next;
  if (h.tick_at == &s) h.tick_at = s.next;
  h.session_count--;
  h.closed.push_back(&s);
  if (ready) {
    LOG_INFO("gateway %s closed: %s", s.gw->id.c_str(), why);
  } else {
    LOG_DEBUG("connection from %s closed: %s", peer_text(s).c_str(), why);
  }
  GatewayRecord *r = s.gw;
  if (!r || r->session != &s) return;
  r->session = nullptr;
  h.end_why = why;
  gw_announce(&GatewayHooks::offline, h, *r);
  gw_changed(h, *r, true);
  h.end_why = nullptr;
}

int gw_send(Hub &h, GatewayRecord &r, uint16_t port, const uint8_t *data, size_t n) {
  Session *s = r.session;
  if (!s || s->state != Session::State::kReady) return -1;
  const int line = s->ack ? ack_line(port) : -1;
  return line >= 0 ? ack_send(h, *s, r, line, data, n) : gw_enqueue(h, *s, port, data, n);
}

int gw_enqueue(Hub &h, Session &s, uint16_t port, const uint8_t *data, size_t n) {
  if (s.q_count >= h.cfg.out_queue) return -2;
  if (n > kSectionMax) return -3;
  size_t cap = kServerHeadLen + n;
  OutPacket *p = static_cast<OutPacket *>(::operator new(sizeof(OutPacket) + cap));
  p->next = nullptr;
  p->len = static_cast<uint16_t>(build_packet(port, data, n, p->bytes, cap));
  if (s.q_tail) {
    s.q_tail->next = p;
  } else {
    s.q_head = p;
  }
  s.q_tail = p;
  s.q_count++;
  schedule_send(h, s);
  return 0;
}

bool gw_has_room(const Hub &h, const GatewayRecord &r) {
  return r.session && r.session->state == Session::State::kReady && r.session->q_count < h.cfg.out_queue;
}

// One session's time-outs and scheduled verify challenge.
void tick_session(Hub &h, Session &s) {
  if (s.state == Session::State::kHandshake) {
    uint32_t bound = h.tls ? h.tls->handshake_ms : 10000;
    if (h.now - s.opened_at >= bound) {
      gw_refuse(h, s, TlsRefusal::kHandshakeTimeout,
                "TLS handshake not done in " + std::to_string(bound / 1000) + " s");
    }
    return;
  }
  if (s.state == Session::State::kWaitInit) {
    if (h.now - s.opened_at >= h.cfg.init_timeout_s * 1000) {
      h.m.closed_init_timeout++;
      gw_end(h, s, "no init packet in time");
    }
    return;
  }
  uint32_t hb = s.gw->heartbeat_s ? s.gw->heartbeat_s : 1;
  uint32_t idle = h.cfg.idle_timeout_s ? h.cfg.idle_timeout_s : 3 * hb + 30;
  if (h.now - s.last_rx >= idle * 1000) {
    h.m.closed_idle++;
    gw_end(h, s, "silent for too long");
  } else if (h.cfg.verify_interval_s && static_cast<int32_t>(h.now - s.next_verify) >= 0) {
    s.next_verify = h.now + h.cfg.verify_interval_s * 1000;
    gw_announce(&GatewayHooks::verify_due, h, *s.gw);
  }
  if (s.ack && s.state == Session::State::kReady) ack_tick(h, s);
}

void gw_tick_start(Hub &h) {
  gw_clash_tick(h);
  h.tick_at = h.sessions;
}

bool gw_tick_some(Hub &h, size_t most) {
  for (; h.tick_at && most > 0; most--) {
    Session &s = *h.tick_at;
    h.tick_at = s.next;
    tick_session(h, s);
  }
  return h.tick_at != nullptr;
}

void gw_tick(Hub &h) {
  gw_tick_start(h);
  while (gw_tick_some(h, SIZE_MAX)) {
  }
}

void gw_readmit(Hub &h, GatewayRecord &r) {
  Session *s = r.session;
  if (!s || s->state != Session::State::kReady) return;
  bool was = s->admitted;
  s->admitted = decide_admission(h, r, *s);
  if (was == s->admitted) return;
  LOG_INFO("gateway %s %s", r.id.c_str(), s->admitted ? "admitted" : "held");
  if (!s->admitted) gw_announce(&GatewayHooks::offline, h, r);
  gw_changed(h, r, true);
}

void gw_changed(Hub &h, GatewayRecord &r, bool urgent) {
  if (urgent) r.state_at = h.wall_ms / 1000;
  gw_announce(&GatewayHooks::changed, h, r, urgent);
}

}  // namespace hub
