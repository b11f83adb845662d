// The fleet: N simulated gateways on one epoll loop, each a fixed record
// (identity, slave, link state, one partial packet in, a bounded send
// queue), timed by one timer wheel, counted in one set of figures.
#ifndef FLEET_FLEET_H
#define FLEET_FLEET_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "ackring.h"
#include "framer.h"
#include "gwlink.h"
#include "options.h"
#include "tls.h"
#include "wheel.h"

namespace fleet {

constexpr size_t kTxCap = 4096;          // bytes waiting for the socket, per gateway
constexpr uint32_t kConnectTimeoutMs = 5000;
constexpr uint32_t kWriteTimeoutMs = 5000;  // a send queue stuck this long drops the link
constexpr uint32_t kRetryMs = 1100;         // after a failed connect, as the daemon waits
constexpr uint32_t kFaultTickMs = 20;       // pace of garbage and flood faults
constexpr uint32_t kStayDown = 0xFFFFFFFF;  // link_close: no reconnect

enum class GwState : uint8_t {
  kDown,        // held down by a command; no timer
  kWaiting,     // connects when its timer fires
  kConnecting,  // non-blocking connect under way
  kHandshake,   // the secure link's TLS handshake under way (the connect time-out runs on)
  kStarting,    // connected; the init packet goes out when the timer fires
  kUp,          // init packet sent
};

enum class Fault : uint8_t { kNone, kGarbage, kFlood };

struct Gateway {
  Identity who;
  Slave slave;
  int fd;
  SSL *ssl;          // the secure link's, while connected (null: plain)
  GwState state;
  Fault fault;
  bool bursting;
  bool stalled;      // reads nothing
  bool granted;      // its connect slot is booked
  bool tls_writing;  // the handshake waits for the socket to take bytes
  uint8_t server;
  uint32_t events;   // epoll interest now
  uint32_t since;    // connect start, or connected
  uint32_t last_upload;
  uint32_t next_burst;
  uint32_t fault_until, fault_next, fault_rate;
  uint32_t stall_until;
  uint32_t tx_since;  // the send queue last moved
  uint32_t seq[3];    // next burst number on port 1 and 2
  uint32_t connects, bursts, modbus, malformed;
  uint32_t command_sections;  // sections on the two command channels answered
  LinkFramer in;                // an unfinished packet, kept in rx
  uint16_t tx_off, tx_len;
  // The acknowledged link (ack.cpp), kept across links: its line bytes
  // kept until the hub has them (memory only while it holds some), the
  // hub's stream as taken.
  bool ack_link;      // this link chose it
  bool ack_hello;     // and the hub's hello came on it
  uint32_t ack_since;  // the first byte not acknowledged came then
  uint64_t ack_unacked;
  AckMark ack_taking;
  uint64_t ack_sent_max[ACK_LINES];
  AckRing ring;
  uint8_t rx[PACKET_BUF_SIZE];  // plain bytes of an unfinished packet
  uint8_t tx[kTxCap];           // scrambled bytes not yet taken by the socket
};

struct Stats {
  uint64_t connects, connect_fail, connect_timeout, closed_by_peer, write_timeouts, drops;
  uint64_t tx_packets, tx_bytes, rx_packets, rx_bytes, tx_dropped;
  uint64_t init_sent, heartbeat_bursts, heartbeat_packets, verify_answers;
  uint64_t modbus_answered, modbus_exceptions, modbus_ignored;
  uint64_t port2_echoed, port2_recorded_bytes, commands, configs;
  uint64_t malformed;
  uint64_t bursts[3], burst_bytes[3], bursts_deferred, tx_unsent_bytes;
  uint64_t garbage_bytes;
  uint64_t tls_full, tls_resumed, tls_failed;  // handshakes
  // The acknowledged link: links that chose it, line bytes sent again,
  // lost to the hub (by the hub's hello) and from it, acknowledgements,
  // the hub's messages refused, bytes that gave way and bytes held now.
  uint64_t ack_links, ack_resent, ack_lost_out, ack_lost_in, acks_in, acks_out, ack_refused;
  uint64_t ack_evicted, ack_retained;
  int64_t all_up_ms;  // start to every gateway up (first time), -1 not yet
  uint32_t up, connected, peak_up;
  // Modbus answer time: kernel receive stamp to the answer written, 10 us bins
  static constexpr int kBins = 5000;
  uint32_t answer_bins[kBins + 1];
  uint64_t answer_count;
  double answer_sum_us;
  // How late gateway timers fire, 1 ms bins: the simulator's own lag
  static constexpr int kLateBins = 100;
  uint32_t late_bins[kLateBins + 1];
  uint64_t late_count;
};

struct Fleet {
  Options opt;
  Gateway *gw;
  Wheel wheel;
  Stats st;
  int ep;
  uint32_t start;       // tick at start
  uint32_t now;         // tick of this turn of the loop
  double slot_ms;       // next free connect slot (ticks since start, fractional)
  uint64_t rng;
  bool quit;
  FILE *answer_log;  // --answer-log, or null
  FleetTls *tls;     // the secure link's state, or null (plain)
};

// ---- set-up and the loop (fleet.cpp)
bool fleet_init(Fleet &f);
void fleet_timer(void *ctx, uint32_t i);  // a gateway's timer fired
void fleet_churn(Fleet &f, uint32_t now);
void fleet_shutdown(Fleet &f);
uint64_t fleet_random(Fleet &f);

// ---- connections (link.cpp)
void link_connect(Fleet &f, uint32_t i, uint32_t now);
void link_event(Fleet &f, uint32_t i, uint32_t events, uint32_t now);
void link_close(Fleet &f, uint32_t i, uint32_t now, uint32_t reconnect_ms);
// Scrambles and sends (or queues) plain bytes in one write (a packet, or a
// heartbeat burst of `packets` copies); false when they were dropped: no
// room in the queue, or the link failed and was closed.
bool link_send(Fleet &f, uint32_t i, uint8_t *plain, size_t len, unsigned packets, uint32_t now);
void link_update_events(Fleet &f, uint32_t i);
// Schedules gateway i's next timer from its state.
void link_reschedule(Fleet &f, uint32_t i, uint32_t now);

// ---- what a gateway does by itself (traffic.cpp)
void traffic_init_packet(Fleet &f, uint32_t i, uint32_t now);
void traffic_due(Fleet &f, uint32_t i, uint32_t now);
uint32_t traffic_next(const Fleet &f, const Gateway &g, uint32_t now);
bool traffic_burst(Fleet &f, uint32_t i, uint16_t port, size_t len, uint32_t now);
void traffic_received(Fleet &f, uint32_t i, const uint8_t *pkt, size_t len, uint32_t now,
                      int64_t stamp_us);
int64_t wall_us();  // the wall clock, as the kernel stamps receptions

// ---- the acknowledged link (ack.cpp)
// At start: every gateway's stream, a random generation each.
void ack_init(Fleet &f);
// Whether a gateway's line bytes go through its kept stream now.
bool ack_on(const Fleet &f, const Gateway &g);
// The link came up: whether the handshake chose it; the init packet went:
// the hello.
void ack_offer(Fleet &f, SSL *ssl);
void ack_link_up(Fleet &f, uint32_t i);
void ack_hello(Fleet &f, uint32_t i, uint32_t now);
// A line's bytes kept and sent when the link may carry them; false when
// they do not fit a section.
bool ack_line_send(Fleet &f, uint32_t i, uint16_t port, const uint8_t *data, size_t n, uint32_t now);
// A section from the hub on such a link: false when the link was dropped.
bool ack_section(Fleet &f, uint32_t i, const WireSection &s, uint32_t now);
// The send queue emptied or the timer fired: kept bytes, an acknowledgement due.
void ack_pump(Fleet &f, uint32_t i, uint32_t now);
// When an acknowledgement is due by time (only while bytes wait for one).
bool ack_due_at(const Gateway &g, uint32_t *at);
void ack_free(Fleet &f);

// ---- figures (stats.cpp)
void stats_line(const Fleet &f, uint32_t now, char *out, size_t cap);
// The figures as one JSON object (no line end); the length written.
size_t stats_json(const Fleet &f, uint32_t now, char *out, size_t cap);
void stats_answer_time(Stats &st, int64_t us);
double stats_answer_quantile(const Stats &st, double q);
void stats_timer_late(Stats &st, int32_t ms);
void stats_reset_times(Stats &st);

// ---- commands (control.cpp); output lines go to fd
void control_command(Fleet &f, const char *text, int fd, uint32_t now);
void say(int fd, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace fleet

#endif
