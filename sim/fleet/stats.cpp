// The fleet's figures: a short line every second and the whole set as JSON.
#include <stdarg.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "fleet.h"

namespace fleet {
namespace {

constexpr double kBinUs = 10.0;

struct Buf {
  char *out;
  size_t cap;
  size_t len;
};

void add(Buf &b, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void add(Buf &b, const char *fmt, ...) {
  if (b.len >= b.cap) return;
  va_list ap;
  va_start(ap, fmt);
  const int n = vsnprintf(b.out + b.len, b.cap - b.len, fmt, ap);
  va_end(ap);
  if (n > 0) b.len += static_cast<size_t>(n);
  if (b.len >= b.cap) b.len = b.cap - 1;
}

void add_u(Buf &b, const char *key, uint64_t v) { add(b, ",\"%s\":%llu", key, static_cast<unsigned long long>(v)); }

void add_links(Buf &b, const Stats &s) {
  add_u(b, "connects", s.connects);
  add_u(b, "connect_fail", s.connect_fail);
  add_u(b, "connect_timeout", s.connect_timeout);
  add_u(b, "closed_by_peer", s.closed_by_peer);
  add_u(b, "write_timeouts", s.write_timeouts);
  add_u(b, "drops", s.drops);
}

void add_traffic(Buf &b, const Stats &s) {
  add_u(b, "tx_packets", s.tx_packets);
  add_u(b, "tx_bytes", s.tx_bytes);
  add_u(b, "rx_packets", s.rx_packets);
  add_u(b, "rx_bytes", s.rx_bytes);
  add_u(b, "tx_dropped", s.tx_dropped);
  add_u(b, "tx_unsent_bytes", s.tx_unsent_bytes);
  add_u(b, "init_sent", s.init_sent);
  add_u(b, "heartbeat_bursts", s.heartbeat_bursts);
  add_u(b, "heartbeat_packets", s.heartbeat_packets);
  add_u(b, "verify_answers", s.verify_answers);
  add_u(b, "modbus_answered", s.modbus_answered);
  add_u(b, "modbus_exceptions", s.modbus_exceptions);
  add_u(b, "modbus_ignored", s.modbus_ignored);
  add_u(b, "port2_echoed", s.port2_echoed);
  add_u(b, "port2_recorded_bytes", s.port2_recorded_bytes);
  add_u(b, "command_replies", s.commands);
  add_u(b, "config_replies", s.configs);
  add_u(b, "malformed_rx", s.malformed);
}

void add_bursts(Buf &b, const Stats &s) {
  add(b, ",\"bursts\":{\"port1\":%llu,\"port2\":%llu}", static_cast<unsigned long long>(s.bursts[1]),
      static_cast<unsigned long long>(s.bursts[2]));
  add(b, ",\"burst_bytes\":{\"port1\":%llu,\"port2\":%llu}",
      static_cast<unsigned long long>(s.burst_bytes[1]), static_cast<unsigned long long>(s.burst_bytes[2]));
  add_u(b, "bursts_deferred", s.bursts_deferred);
  add_u(b, "garbage_bytes", s.garbage_bytes);
}

void add_answer_times(Buf &b, const Stats &s) {
  add(b, ",\"answer_us\":{\"count\":%llu", static_cast<unsigned long long>(s.answer_count));
  if (s.answer_count > 0) {
    add(b, ",\"mean\":%.1f,\"p50\":%.0f,\"p99\":%.0f,\"max\":%.0f",
        s.answer_sum_us / static_cast<double>(s.answer_count), stats_answer_quantile(s, 0.5),
        stats_answer_quantile(s, 0.99), stats_answer_quantile(s, 1.0));
  }
  add(b, "}");
}

void add_timer_late(Buf &b, const Stats &s) {
  uint64_t seen = 0, p99 = 0, max = 0;
  const uint64_t rank = (s.late_count * 99 + 99) / 100;
  for (int i = 0; i <= Stats::kLateBins; i++) {
    if (s.late_bins[i] == 0) continue;
    seen += s.late_bins[i];
    if (p99 == 0 && seen >= rank) p99 = static_cast<uint64_t>(i);
    max = static_cast<uint64_t>(i);
  }
  add(b, ",\"timer_late_ms\":{\"count\":%llu,\"p99\":%llu,\"max\":%llu%s}",
      static_cast<unsigned long long>(s.late_count), static_cast<unsigned long long>(p99),
      static_cast<unsigned long long>(max), max == Stats::kLateBins ? ",\"over\":true" : "");
}

// Handshakes, and the keys and certificates made so far (their time, us).
void add_tls(Buf &b, const Stats &s, const FleetTls &t) {
  add(b, ",\"tls\":{\"full\":%llu", static_cast<unsigned long long>(s.tls_full));
  add_u(b, "resumed", s.tls_resumed);
  add_u(b, "failed", s.tls_failed);
  add_u(b, "keys_made", t.keys_made);
  add_u(b, "keys_us", t.keys_us);
  add(b, "}");
}

// The acknowledged link's figures.
void add_ack(Buf &b, const Stats &s) {
  add(b, ",\"ack\":{\"links\":%llu", static_cast<unsigned long long>(s.ack_links));
  add_u(b, "resent_bytes", s.ack_resent);
  add_u(b, "lost_bytes_to_hub", s.ack_lost_out);
  add_u(b, "lost_bytes_from_hub", s.ack_lost_in);
  add_u(b, "acks_in", s.acks_in);
  add_u(b, "acks_out", s.acks_out);
  add_u(b, "refused", s.ack_refused);
  add_u(b, "evicted_bytes", s.ack_evicted);
  add_u(b, "retained_bytes", s.ack_retained);
  add(b, "}");
}

}  // namespace

void stats_line(const Fleet &f, uint32_t now, char *out, size_t cap) {
  const Stats &s = f.st;
  Buf b = {out, cap, 0};
  add(b, "stats t=%.1f up=%u/%u connected=%u", (now - f.start) / 1000.0, s.up, f.opt.gateways,
      s.connected);
  if (s.all_up_ms >= 0) add(b, " all_up=%.1fs", s.all_up_ms / 1000.0);
  add(b, " tx=%llu rx=%llu hb=%llu verify=%llu modbus=%llu bursts=%llu/%llu malformed=%llu",
      static_cast<unsigned long long>(s.tx_packets), static_cast<unsigned long long>(s.rx_packets),
      static_cast<unsigned long long>(s.heartbeat_bursts),
      static_cast<unsigned long long>(s.verify_answers),
      static_cast<unsigned long long>(s.modbus_answered) + s.modbus_exceptions,
      static_cast<unsigned long long>(s.bursts[1]), static_cast<unsigned long long>(s.bursts[2]),
      static_cast<unsigned long long>(s.malformed));
  add(b, " connects=%llu fails=%llu", static_cast<unsigned long long>(s.connects),
      static_cast<unsigned long long>(s.connect_fail) + s.connect_timeout);
  if (f.tls != nullptr) {
    add(b, " tls full=%llu resumed=%llu failed=%llu", static_cast<unsigned long long>(s.tls_full),
        static_cast<unsigned long long>(s.tls_resumed), static_cast<unsigned long long>(s.tls_failed));
  }
  if (f.tls != nullptr && f.opt.ack) {
    add(b, " ack links=%llu resent=%llu lost=%llu/%llu", static_cast<unsigned long long>(s.ack_links),
        static_cast<unsigned long long>(s.ack_resent), static_cast<unsigned long long>(s.ack_lost_out),
        static_cast<unsigned long long>(s.ack_lost_in));
  }
}

size_t stats_json(const Fleet &f, uint32_t now, char *out, size_t cap) {
  const Stats &s = f.st;
  Buf b = {out, cap, 0};
  add(b, "{\"t_ms\":%u,\"gateways\":%u,\"up\":%u,\"connected\":%u,\"peak_up\":%u", now - f.start,
      f.opt.gateways, s.up, s.connected, s.peak_up);
  add(b, ",\"all_up_ms\":%lld", static_cast<long long>(s.all_up_ms));
  add_links(b, s);
  add_traffic(b, s);
  add_bursts(b, s);
  add_answer_times(b, s);
  add_timer_late(b, s);
  if (f.tls != nullptr) add_tls(b, s, *f.tls);
  if (f.tls != nullptr && f.opt.ack) add_ack(b, s);
  add(b, "}");
  return b.len;
}

void stats_answer_time(Stats &st, int64_t us) {
  if (us < 0) us = 0;
  int bin = static_cast<int>(static_cast<double>(us) / kBinUs);
  if (bin > Stats::kBins) bin = Stats::kBins;
  st.answer_bins[bin]++;
  st.answer_count++;
  st.answer_sum_us += static_cast<double>(us);
}

void stats_timer_late(Stats &st, int32_t ms) {
  if (ms < 0) ms = 0;
  if (ms > Stats::kLateBins) ms = Stats::kLateBins;
  st.late_bins[ms]++;
  st.late_count++;
}

void stats_reset_times(Stats &st) {
  memset(st.answer_bins, 0, sizeof st.answer_bins);
  st.answer_count = 0;
  st.answer_sum_us = 0;
  memset(st.late_bins, 0, sizeof st.late_bins);
  st.late_count = 0;
}

// Upper edge of the bin holding the q-th answer time (the last bin: at
// least its lower edge).
double stats_answer_quantile(const Stats &st, double q) {
  if (st.answer_count == 0) return 0;
  uint64_t rank = static_cast<uint64_t>(llround(q * static_cast<double>(st.answer_count)));
  if (rank < 1) rank = 1;
  uint64_t seen = 0;
  for (int i = 0; i <= Stats::kBins; i++) {
    seen += st.answer_bins[i];
    if (seen >= rank) return (i + 1) * kBinUs;
  }
  return Stats::kBins * kBinUs;
}

}  // namespace fleet
