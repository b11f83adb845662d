// What a connected gateway sends by itself (init packet, heartbeat bursts
// when idle for its period, serial bursts, faults) and how it answers the
// server's packets.
#include <stdio.h>
#include <time.h>

#include "fleet.h"

namespace fleet {
namespace {

uint32_t heartbeat_due(const Gateway &g) { return g.last_upload + g.who.heartbeat_s * 1000u + 1; }

uint32_t burst_gap(Fleet &f) {
  const double mean = 1000.0 / f.opt.burst_rate;
  const double u = static_cast<double>(fleet_random(f) % 1000) / 1000.0;
  return static_cast<uint32_t>(mean * (0.5 + u)) + 1;
}

void send_heartbeat(Fleet &f, uint32_t i, uint32_t now) {
  uint8_t buf[PACKET_BUF_SIZE];
  const size_t one = build_heartbeat(f.gw[i].who, buf);
  const size_t len = build_heartbeat_burst(f.gw[i].who, buf);
  const unsigned copies = static_cast<unsigned>(len / one);
  if (!link_send(f, i, buf, len, copies, now)) return;
  f.gw[i].last_upload = now;
  f.st.heartbeat_bursts++;
  f.st.heartbeat_packets += copies;
}

void random_burst(Fleet &f, uint32_t i, uint32_t now) {
  const Options &o = f.opt;
  uint16_t port = o.burst_port[1] ? COM_PORT_RS485 : COM_PORT_RS232;
  if (o.burst_port[1] && o.burst_port[2] && fleet_random(f) % 2 == 1) port = COM_PORT_RS232;
  const size_t len = o.burst_min + fleet_random(f) % (o.burst_max - o.burst_min + 1);
  traffic_burst(f, i, port, len, now);
  f.gw[i].next_burst = now + burst_gap(f);
}

void garbage(Fleet &f, uint32_t i, uint32_t now) {
  if (f.gw[i].tx_len > 0) return;  // garbage only as fast as the server takes it
  uint8_t buf[PACKET_BUF_SIZE];
  size_t n = f.gw[i].fault_rate * kFaultTickMs / 1000;
  if (n == 0) n = 1;
  if (n > sizeof buf) n = sizeof buf;
  for (size_t k = 0; k < n; k++) buf[k] = static_cast<uint8_t>(fleet_random(f));
  if (link_send(f, i, buf, n, 0, now)) f.st.garbage_bytes += n;
}

void flood(Fleet &f, uint32_t i, uint32_t now) {
  unsigned n = f.gw[i].fault_rate * kFaultTickMs / 1000;
  if (n == 0) n = 1;
  for (unsigned k = 0; k < n && f.gw[i].fd >= 0; k++) {
    if (!traffic_burst(f, i, COM_PORT_RS232, f.opt.burst_max, now)) break;
  }
}

// Garbage and floods go out in steps of kFaultTickMs, whatever else wakes
// the gateway in between.
void fault_tick(Fleet &f, uint32_t i, uint32_t now) {
  Gateway &g = f.gw[i];
  if (tick_diff(now, g.fault_until) >= 0) {
    g.fault = Fault::kNone;
    return;
  }
  if (tick_diff(now, g.fault_next) < 0) return;
  g.fault_next = now + kFaultTickMs;
  if (g.fault == Fault::kGarbage) garbage(f, i, now);
  if (g.fault == Fault::kFlood) flood(f, i, now);
}

void count_answer(Fleet &f, uint32_t i, const Reply &r, const WireSection &s, int64_t stamp) {
  switch (r.kind) {
    case Answer::kVerify: f.st.verify_answers++; break;
    case Answer::kModbus: f.st.modbus_answered++; break;
    case Answer::kModbusException: f.st.modbus_exceptions++; break;
    case Answer::kModbusIgnored: f.st.modbus_ignored++; break;
    case Answer::kEcho: f.st.port2_echoed++; break;
    case Answer::kCommand: f.st.commands++, f.gw[i].command_sections++; break;
    case Answer::kConfig: f.st.configs++, f.gw[i].command_sections++; break;
    default: break;
  }
  if (r.kind == Answer::kModbus || r.kind == Answer::kModbusException) {
    f.gw[i].modbus++;
    if (stamp < 0) return;
    const int64_t us = wall_us() - stamp;
    stats_answer_time(f.st, us);
    if (f.answer_log != nullptr) {
      fprintf(f.answer_log, "%s %u %lld\n", f.gw[i].who.id, static_cast<unsigned>(s.data[0] << 8 | s.data[1]),
              static_cast<long long>(us));
    }
  }
}

void answer(Fleet &f, uint32_t i, const WireSection &s, uint32_t now, int64_t stamp) {
  Gateway &g = f.gw[i];
  uint8_t out[PACKET_BUF_SIZE], pkt[PACKET_BUF_SIZE];
  const Reply r = answer_section(g.who, g.slave, f.opt.behaviour, s, out, data_capacity(g.who));
  if (r.kind == Answer::kRecorded) f.st.port2_recorded_bytes += s.len;
  const bool has_reply = r.kind != Answer::kNone && r.kind != Answer::kModbusIgnored &&
                         r.kind != Answer::kRecorded;
  if (has_reply && ack_on(f, g) && ack_line(r.port) >= 0) {
    if (ack_line_send(f, i, r.port, out, r.len, now)) g.last_upload = now;
  } else if (has_reply) {
    const size_t len = build_data(g.who, r.port, out, r.len, pkt);
    if (len > 0 && link_send(f, i, pkt, len, 1, now)) g.last_upload = now;
  }
  count_answer(f, i, r, s, stamp);
  if (g.fd >= 0 && (r.relink || r.reboot)) {
    link_close(f, i, now, r.reboot ? f.opt.reconnect_ms + 5000 : 0);
  }
}

}  // namespace

int64_t wall_us() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void traffic_init_packet(Fleet &f, uint32_t i, uint32_t now) {
  Gateway &g = f.gw[i];
  uint8_t buf[PACKET_BUF_SIZE];
  const size_t len = build_init(g.who, buf);
  g.state = GwState::kUp;
  f.st.up++;
  if (f.st.up > f.st.peak_up) f.st.peak_up = f.st.up;
  if (f.st.up == f.opt.gateways && f.st.all_up_ms < 0) f.st.all_up_ms = now - f.start;
  g.last_upload = now;
  if (g.bursting) g.next_burst = now + burst_gap(f);
  link_update_events(f, i);
  if (link_send(f, i, buf, len, 1, now)) f.st.init_sent++;
  if (g.fd >= 0) ack_hello(f, i, now);
}

uint32_t traffic_next(const Fleet &f, const Gateway &g, uint32_t now) {
  // While the socket holds back earlier bytes only the time-out and the
  // faults run; heartbeats and bursts wait for the queue to empty.
  uint32_t due = g.tx_len > 0 ? g.tx_since + kWriteTimeoutMs : heartbeat_due(g);
  auto sooner = [&due](uint32_t t) {
    if (tick_diff(t, due) < 0) due = t;
  };
  if (g.tx_len == 0 && g.bursting && f.opt.burst_fraction > 0) sooner(g.next_burst);
  if (g.fault != Fault::kNone) sooner(tick_diff(g.fault_next, now) > 0 ? g.fault_next : now);
  if (g.stalled) sooner(g.stall_until);
  uint32_t ack_at = 0;
  if (ack_due_at(g, &ack_at)) sooner(ack_at);
  return due;
}

void traffic_due(Fleet &f, uint32_t i, uint32_t now) {
  Gateway &g = f.gw[i];
  if (g.tx_len > 0 && tick_diff(now, g.tx_since) >= static_cast<int32_t>(kWriteTimeoutMs)) {
    f.st.write_timeouts++;
    return link_close(f, i, now, 0);
  }
  if (g.stalled && tick_diff(now, g.stall_until) >= 0) {
    g.stalled = false;
    link_update_events(f, i);
  }
  if (g.fault != Fault::kNone) fault_tick(f, i, now);
  if (g.fd < 0) return;
  ack_pump(f, i, now);
  if (g.fd < 0) return;
  const bool burst_due = g.bursting && f.opt.burst_fraction > 0 && tick_diff(now, g.next_burst) >= 0;
  if (g.tx_len > 0) {
    // Nothing new goes out while the socket holds back what was sent before;
    // a burst due now is skipped (its number stays unused).
    if (burst_due) {
      f.st.bursts_deferred++;
      g.next_burst = now + burst_gap(f);
    }
    return;
  }
  if (tick_diff(now, heartbeat_due(g)) >= 0) send_heartbeat(f, i, now);
  if (g.fd >= 0 && burst_due) random_burst(f, i, now);
}

bool traffic_burst(Fleet &f, uint32_t i, uint16_t port, size_t len, uint32_t now) {
  Gateway &g = f.gw[i];
  if (g.tx_len > 0) {
    f.st.bursts_deferred++;
    return false;
  }
  uint8_t data[PACKET_BUF_SIZE], pkt[PACKET_BUF_SIZE];
  const size_t cap = data_capacity(g.who);
  const size_t n = burst_payload(g.who.id, port, g.seq[port], len < cap ? len : cap, data, cap);
  if (ack_on(f, g)) {
    if (!ack_line_send(f, i, port, data, n, now)) return false;
  } else {
    const size_t plen = n > 0 ? build_data(g.who, port, data, n, pkt) : 0;
    if (plen == 0 || !link_send(f, i, pkt, plen, 1, now)) return false;
  }
  g.seq[port]++;
  g.bursts++;
  g.last_upload = now;
  f.st.bursts[port]++;
  f.st.burst_bytes[port] += n;
  return true;
}

void traffic_received(Fleet &f, uint32_t i, const uint8_t *pkt, size_t len, uint32_t now,
                      int64_t stamp) {
  f.st.rx_packets++;
  if (!wire_sections_fit(pkt, len)) {
    f.st.malformed++;
    f.gw[i].malformed++;
    return;
  }
  const unsigned count = wire_section_count(pkt);
  size_t off = 0;
  for (unsigned k = 0; k < count && f.gw[i].fd >= 0; k++) {
    const WireSection sec = wire_next_section(pkt, &off);
    if (f.gw[i].ack_link && (!ack_section(f, i, sec, now) || sec.port == COM_PORT_ACK)) continue;
    answer(f, i, sec, now, stamp);
  }
}

}  // namespace fleet
