// The daemon's side of the acknowledged link: its state across links, the
// hello and acknowledgements it sends, what it does with the hub's.
#include "acklink.h"

#include <string.h>

#include "daemon.h"
#include "linehold.h"
#include "my_uart.h"
#include "packet.h"
#include "qycomm.h"
#include "retain.h"
#include "settings.h"
#include "tlsconf.h"
#include "tlslink.h"
#include "tlsrand.h"

namespace {

struct AckState {
  bool enabled;             // TLS with ack=1: the buffer is set up
  bool active;              // this link speaks the extension
  bool helloSent, helloGot;
  uint8_t building;         // the kind of the control packet last built
  uint32_t gen;             // the daemon's stream (0: not drawn yet)
  AckMark taking;           // the hub's stream as taken
  uint64_t unacked;         // of it, bytes taken since the last acknowledgement
  uint32_t firstAt;         // when the first of them came
  uint64_t skipped;         // retain_skipped at the hub's hello: more is a hole in this link
  uint32_t evicted;         // retain_evicted at this end's hello: more before the hub's is one
};

// Free room made before a hello: what both lines bring at 115 200 bit/s for
// about 2.8 s, so the hub's answer comes before anything gives way.
constexpr uint32_t kHelloRoom = 64 * 1024;

AckState g;
AckLinkStats g_stats;
unsigned char g_pkt[PACKET_BUF_SIZE];  // a burst taken while no packet goes out
unsigned char g_burst[RETAIN_BURST_MAX];

uint32_t draw_gen() {
  uint32_t gen = 0;
  while (gen == 0 && tls_rand_ready()) {
    tls_rand_fill(tls_rand(), reinterpret_cast<unsigned char *>(&gen), sizeof gen);
  }
  return gen != 0 ? gen : GetTimeTicks() | 1u;
}

// A new stream: the buffer emptied, a new generation at the next hello.
void restart_stream() {
  retain_setup(tlsConf.retainKb);
  g.gen = 0;
}

int build_msg(unsigned char *buf, int cap, const AckMsg &m) {
  uint8_t data[ACK_MSG_LEN];
  ack_put(data, sizeof data, &m);
  g.building = m.kind;
  return build_section(buf, cap, COM_PORT_ACK, data, ACK_MSG_LEN);
}

int build_hello(unsigned char *buf, int cap) {
  if (g.gen == 0) g.gen = draw_gen();
  retain_make_room(kHelloRoom);
  g.evicted = retain_evicted();
  AckMsg m{ACK_KIND_HELLO, AckMark{g.gen, {0, 0}}, g.taking};
  uint64_t end[ACK_LINES];
  retain_held(m.mine.off, end);
  return build_msg(buf, cap, m);
}

bool ack_owed() { return g.helloGot && ack_due(g.unacked, pass_ticks(nullptr) - g.firstAt) != 0; }

void log_lost(const char *whose, const uint64_t lost[ACK_LINES], const uint64_t at[ACK_LINES],
              uint64_t *count) {
  for (int i = 0; i < ACK_LINES; i++) {
    if (lost[i] == 0) continue;
    count[i] += lost[i];
    const uint64_t to = at[i] + lost[i];
    PrintMsg("--> ack: line %d: %llu bytes of the %s stream lost at %llu..%llu\r\n", i + 1,
             static_cast<unsigned long long>(lost[i]), whose,
             static_cast<unsigned long long>(at[i]),
             static_cast<unsigned long long>(to));
  }
}

void refuse(const char *why) {
  g_stats.refused++;
  PrintMsg("--> ack: hub message refused: %s, refusals %u\r\n", why, g_stats.refused);
}

// The hub's hello: where each stream goes on, and what was lost.
void take_hello(const AckMsg &m) {
  if (g.helloGot) return refuse("a second hello");
  uint64_t lost[ACK_LINES], from[ACK_LINES];
  const AckMark had = g.taking;
  ack_take_hello(&g.taking, &m.mine, lost);
  log_lost("hub's", lost, had.off, g_stats.lostDown);
  AckMark held{g.gen, {0, 0}};
  uint64_t end[ACK_LINES];
  retain_held(held.off, end);
  if (ack_send_from(&held, end, &m.yours, from, lost) != 0) {
    refuse("it claims bytes never sent");  // all held goes again
    memcpy(from, held.off, sizeof from);
    memset(lost, 0, sizeof lost);
  }
  uint64_t at[ACK_LINES];
  for (int i = 0; i < ACK_LINES; i++) at[i] = from[i] - lost[i];
  log_lost("gateway's", lost, at, g_stats.lostUp);
  retain_rewind(from);
  g.skipped = retain_skipped();
  g.helloGot = true;
  PrintMsg("--> ack: hub's hello: line 1 from %llu, line 2 from %llu\r\n",
           static_cast<unsigned long long>(from[0]), static_cast<unsigned long long>(from[1]));
}

void take_ack(const AckMsg &m) {
  if (m.yours.gen != g.gen) return;  // of a stream before this one
  g_stats.acksIn++;
  if (retain_ack(m.yours.off) != 0) refuse("it acknowledges bytes never sent");
}

}  // namespace

void ack_start(void) {
  g = AckState{};
  g.enabled = tls_on() && tlsConf.ack != 0;
  if (g.enabled) restart_stream();
}

bool ack_collecting(void) {
  return g.enabled && (iGPRSStep != GPRS_ONLINE || (g.active && !g.helloGot));
}

void ack_link_up(void) {
  g.active = g.enabled && tls_ack();
  g.helloSent = g.helloGot = false;
  if (!g.enabled || g.active) return;
  const uint32_t held = retain_used();
  g_stats.dropped += held;
  if (held > 0) PrintMsg("--> ack: the server keeps no acknowledged link: %u bytes held dropped\r\n", held);
  restart_stream();
}

void ack_link_down(void) { g.active = g.helloSent = g.helloGot = false; }

bool ack_active(void) { return g.active; }

int ack_take(int slot) {
  SerialLine &l = qysc_lines[slot];
  const int len = build_line_data(g_pkt, PACKET_BUF_SIZE, slot, l.len);
  l.len = 0;
  l.lenNow = hold_count(baseInfo.comInfo[slot].port);  // what stays is a new burst
  if (len == 0) return 0;
  size_t off = 0;
  const WireSection s = wire_next_section(g_pkt, &off);
  retain_put(slot - 1, g_pkt + s.at, s.len);
  return s.len;
}

void ack_spill(int slot) {
  const unsigned char port = baseInfo.comInfo[slot].port;
  while (hold_count(port) >= LINE_HOLD_SIZE / 2) {
    const int most = BurstCapacity(slot);
    qysc_lines[slot].len = hold_count(port) < most ? hold_count(port) : most;
    if (ack_take(slot) == 0) return;
  }
}

void ack_take_lines(uint32_t now, uint32_t us) {
  for (int slot = 1; slot <= 2; slot++) {
    qysc_lines[slot].lenNow = hold_count(baseInfo.comInfo[slot].port);  // the waits read the lines
    if (qysc_lines[slot].lenNow != 0 && BurstDueAt(slot, now, us) != 0) ack_take(slot);
  }
}

int ack_control(unsigned char *buf, int cap) {
  if (!g.active) return 0;
  if (!g.helloSent) return build_hello(buf, cap);
  if (!ack_owed()) return 0;
  return build_msg(buf, cap, AckMsg{ACK_KIND_ACK, AckMark{0, {0, 0}}, g.taking});
}

void ack_control_sent(void) {
  if (g.building == ACK_KIND_HELLO) {
    g.helloSent = true;
    g.unacked = 0;  // the hello says how far the hub's stream is taken
    g_stats.hellos++;
  } else {
    g.unacked = 0;
    g_stats.acksOut++;
  }
}

bool ack_hole(void) {
  if (!g.active || !g.helloSent) return false;
  return g.helloGot ? retain_skipped() != g.skipped : retain_evicted() != g.evicted;
}

int ack_data(unsigned char *buf, int cap, int *slot) {
  if (!g.active || !g.helloGot || ack_hole()) return 0;
  int line = 0;
  const int n = retain_peek(&line, g_burst, sizeof g_burst);
  if (n == 0) return 0;
  *slot = line + 1;
  return build_section(buf, cap, static_cast<uint16_t>(line + 1), g_burst, n);
}

void ack_data_sent(void) { retain_sent(); }

bool ack_data_ready(void) { return g.active && g.helloGot && !ack_hole() && retain_unsent() > 0; }

uint32_t ack_due_us(uint32_t now, uint32_t us) {
  if (!g.active || !g.helloGot || g.unacked == 0) return UINT32_MAX;
  return us_until(g.firstAt + ACK_EVERY_MS, now, us);
}

bool ack_sending(void) {
  if (!g.active) return false;
  return !g.helloSent || ack_owed() || ack_data_ready();
}

void ack_took(int slot, int n) {
  if (!g.active || n <= 0) return;
  g.taking.off[slot - 1] += static_cast<uint64_t>(n);
  if (g.unacked == 0) g.firstAt = pass_ticks(nullptr);
  g.unacked += static_cast<uint64_t>(n);
}

void ack_section(unsigned char *data, int n) {
  if (!g.active) return;  // a port the specified link does not have
  AckMsg m;
  if (ack_get(data, static_cast<size_t>(n), &m) != 0) return refuse("not a message");
  if (m.kind == ACK_KIND_HELLO) return take_hello(m);
  take_ack(m);
}

const AckLinkStats *ack_stats(void) { return &g_stats; }

void ack_reset(void) {
  g = AckState{};
  g_stats = AckLinkStats{};
}
