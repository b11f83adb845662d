// The hub's counters as Prometheus text.
#include <inttypes.h>
#include <stdio.h>

#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "core/ack.h"
#include "gateways/exp_tls.h"
#include "jobs/jobs.h"
#include "mqtt/bridge.h"
#include "store/journal.h"
#include "store/registry.h"
#include "store/sync.h"
#include "web/api.h"

namespace hub {
namespace {

struct Out {
  std::string s;

  void metric(const char *name, const char *type, const char *help, double v, const char *labels = "") {
    char line[512];
    if (*labels == '\0' || s.find(std::string("# TYPE ") + name + " ") == std::string::npos) {
      snprintf(line, sizeof line, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
      s += line;
    }
    snprintf(line, sizeof line, "%s%s %.17g\n", name, labels, v);
    s += line;
  }
  void counter(const char *name, const char *help, uint64_t v, const char *labels = "") {
    metric(name, "counter", help, static_cast<double>(v), labels);
  }
  void gauge(const char *name, const char *help, double v) { metric(name, "gauge", help, v); }
};

// Refusals that last: connections held open before their close.
void held_figures(Out &o, const Hub &h) {
  o.gauge("trm_hub_refused_held", "Refused connections held open and silent now, before their close.",
          static_cast<double>(h.holds.held()));
  o.counter("trm_hub_refused_held_total", "Refused connections held before their close.", h.holds.taken());
  o.counter("trm_hub_refused_not_held_total", "Refusals that last closed at once: refused_holds were held already.",
            h.holds.unheld());
  o.gauge("trm_hub_refused_peers", "Address and ID pairs remembered for their refusals (at most 65536).",
          static_cast<double>(h.holds.remembered()));
}

void gateway_figures(Out &o, const Hub &h) {
  const Metrics &m = h.m;
  o.gauge("trm_hub_gateways_connected", "Gateway connections open now.", static_cast<double>(h.session_count));
  o.gauge("trm_hub_gateways_online", "Gateways introduced (init packet) on an open connection.",
          static_cast<double>(h.ready_count));
  o.gauge("trm_hub_gateways_known", "Gateways in the registry.", static_cast<double>(h.records.size()));
  o.counter("trm_hub_connections_total", "Gateway connections accepted.", m.accepted);
  o.counter("trm_hub_connections_refused_total", "Connections refused.", m.refused_rate, "{reason=\"rate\"}");
  o.counter("trm_hub_connections_refused_total", "Connections refused.", m.refused_full, "{reason=\"full\"}");
  const char *const closed_help = "Gateway connections closed by the hub.";
  o.counter("trm_hub_connections_closed_total", closed_help, m.closed_init_timeout, "{reason=\"no_init\"}");
  o.counter("trm_hub_connections_closed_total", closed_help, m.closed_idle, "{reason=\"idle\"}");
  o.counter("trm_hub_connections_closed_total", closed_help, m.closed_malformed, "{reason=\"malformed\"}");
  o.counter("trm_hub_connections_closed_total", closed_help, m.closed_bad_id, "{reason=\"bad_id\"}");
  o.counter("trm_hub_connections_closed_total", closed_help, m.closed_unknown, "{reason=\"registry_full\"}");
  o.counter("trm_hub_connections_closed_total", closed_help, m.replaced, "{reason=\"replaced\"}");
  o.counter("trm_hub_connections_closed_total", closed_help, m.renamed, "{reason=\"renamed\"}");
  o.gauge("trm_hub_registry_cap", "New gateway IDs are refused once the registry holds this many.",
          static_cast<double>(hub_known_cap(h)));
  held_figures(o, h);
  o.counter("trm_hub_id_conflicts_total", "Replacements where two addresses keep taking one ID from each other.",
            m.id_conflicts);
  const char *const in_help = "Packets received from gateways.";
  o.counter("trm_hub_packets_in_total", in_help, m.packets_in[0], "{type=\"init\"}");
  o.counter("trm_hub_packets_in_total", in_help, m.packets_in[1], "{type=\"data\"}");
  o.counter("trm_hub_packets_in_total", in_help, m.packets_in[2], "{type=\"heartbeat\"}");
  o.counter("trm_hub_bytes_in_total", "Bytes received from gateways.", m.bytes_in);
  o.counter("trm_hub_packets_out_total", "Packets written to gateways.", m.packets_out);
  o.counter("trm_hub_bytes_out_total", "Bytes written to gateways.", m.bytes_out);
  o.counter("trm_hub_sections_in_total", "Sections in gateways' data packets.", m.sections_in);
  o.counter("trm_hub_malformed_total", "Malformed packets from gateways.", m.malformed);
  o.counter("trm_hub_packets_before_init_total", "Packets that came before a gateway's init packet.", m.before_init);
  o.counter("trm_hub_send_dropped_total", "Sections for gateways dropped on a full queue.", m.send_dropped);
  o.counter("trm_hub_torn_writes_total", "Packets the socket took only in part.", m.torn_writes);
}

// The secure link: refusals by reason, handshakes full and resumed.
void tls_figures(Out &o, const Hub &h) {
  const Metrics &m = h.m;
  for (size_t i = 0; i < static_cast<size_t>(TlsRefusal::kCount); i++) {
    std::string label = std::string("{reason=\"") + kTlsRefusalNames[i] + "\"}";
    o.counter("trm_hub_tls_refused_total", "Connections the secure link refused.", m.tls_refused[i], label.c_str());
  }
  const char *const help = "TLS handshakes done, full or resumed from a session ticket.";
  o.counter("trm_hub_tls_handshakes_total", help, m.tls_full, "{kind=\"full\"}");
  o.counter("trm_hub_tls_handshakes_total", help, m.tls_resumed, "{kind=\"resumed\"}");
}

// The acknowledged link: links, bytes lost each way and sent again, the
// bytes kept for gateways, acknowledgements, messages refused.
void ack_figures(Out &o, const Hub &h) {
  const Metrics &m = h.m;
  o.counter("trm_hub_ack_links_total", "Gateway links that chose the acknowledged link.", m.ack_links);
  const char *const lost = "Line bytes lost in outages longer than an end kept them, by direction.";
  o.counter("trm_hub_ack_lost_bytes_total", lost, m.ack_lost_in, "{direction=\"from_gateway\"}");
  o.counter("trm_hub_ack_lost_bytes_total", lost, m.ack_lost_out, "{direction=\"to_gateway\"}");
  o.counter("trm_hub_ack_resent_bytes_total", "Line bytes sent to gateways again after a break.", m.ack_resent);
  o.gauge("trm_hub_ack_retained_bytes", "Bytes kept for gateways until they acknowledge them.",
          static_cast<double>(h.acks ? h.acks->retained : 0));
  const char *const acks = "Acknowledgements, by direction.";
  o.counter("trm_hub_acks_total", acks, m.ack_acks_in, "{direction=\"from_gateway\"}");
  o.counter("trm_hub_acks_total", acks, m.ack_acks_out, "{direction=\"to_gateway\"}");
  o.counter("trm_hub_ack_refused_total", "Acknowledged links dropped for a message that does not parse or lies.",
            m.ack_refused);
}

// Time the hub adds to Modbus round trips, as a Prometheus histogram.
void added_histogram(Out &o, const Metrics &m) {
  o.s +=
      "# HELP trm_hub_modbus_added_seconds Time the hub adds to a Modbus round trip.\n"
      "# TYPE trm_hub_modbus_added_seconds histogram\n";
  uint64_t cum = 0;
  char line[160];
  for (size_t i = 0; i <= Metrics::kAddedBuckets; i++) {
    cum += m.modbus_added[i];
    if (i < Metrics::kAddedBuckets) {
      snprintf(line, sizeof line, "trm_hub_modbus_added_seconds_bucket{le=\"%g\"} %" PRIu64 "\n",
               Metrics::kAddedBounds[i] / 1e6, cum);
    } else {
      snprintf(line, sizeof line, "trm_hub_modbus_added_seconds_bucket{le=\"+Inf\"} %" PRIu64 "\n", cum);
    }
    o.s += line;
  }
  snprintf(line, sizeof line, "trm_hub_modbus_added_seconds_sum %.6f\ntrm_hub_modbus_added_seconds_count %" PRIu64 "\n",
           m.modbus_added_us / 1e6, cum);
  o.s += line;
}

void service_figures(Out &o, const Hub &h) {
  const Metrics &m = h.m;
  o.counter("trm_hub_modbus_requests_total", "Modbus TCP requests from clients.", m.modbus_requests);
  o.counter("trm_hub_modbus_responses_total", "Modbus responses from gateways.", m.modbus_responses);
  o.counter("trm_hub_modbus_timeouts_total", "Modbus requests answered 0x0B.", m.modbus_timeouts);
  o.counter("trm_hub_modbus_offline_total", "Modbus requests answered 0x0A.", m.modbus_offline);
  o.counter("trm_hub_modbus_busy_total", "Modbus requests answered 0x06.", m.modbus_busy);
  o.counter("trm_hub_modbus_broadcasts_total", "Modbus broadcasts (unit 0).", m.modbus_broadcasts, "{result=\"sent\"}");
  o.counter("trm_hub_modbus_broadcasts_total", "Modbus broadcasts (unit 0).", m.modbus_broadcasts_refused,
            "{result=\"refused\"}");
  o.counter("trm_hub_modbus_mismatched_total", "Modbus replies from another unit or function, answered 0x0B.",
            m.modbus_mismatched);
  added_histogram(o, m);
  o.counter("trm_hub_exposure_clients_dropped_total", "Clients dropped for not reading.",
            m.modbus_clients_dropped + m.raw_clients_dropped);
  o.counter("trm_hub_raw_bytes_total", "Raw exposure bytes.", m.raw_to_gw, "{dir=\"to_gateway\"}");
  o.counter("trm_hub_raw_bytes_total", "Raw exposure bytes.", m.raw_from_gw, "{dir=\"from_gateway\"}");
  o.counter("trm_hub_raw_dropped_bytes_total", "Raw bytes with nobody to take them.", m.raw_dropped);
  o.counter("trm_hub_modbus_unauthorized_total", "Modbus requests a TLS client's role does not allow, answered 0x01.",
            m.modbus_unauthorized);
  for (size_t i = 0; i < static_cast<size_t>(ExpRefusal::kCount); i++) {
    std::string label = std::string("{reason=\"") + kExpRefusalNames[i] + "\"}";
    o.counter("trm_hub_exposure_tls_refused_total", "Clients the TLS exposures refused.", m.exp_tls_refused[i],
              label.c_str());
  }
  o.counter("trm_hub_exposure_tls_handshakes_total", "TLS exposures' handshakes.", m.exp_tls_full, "{kind=\"full\"}");
  o.counter("trm_hub_exposure_tls_handshakes_total", "TLS exposures' handshakes.", m.exp_tls_resumed,
            "{kind=\"resumed\"}");
  static const char *const kComResults[] = {"{result=\"done\"}", "{result=\"refused\"}", "{result=\"unreached\"}"};
  for (int i = 0; i < 3; i++) {
    o.counter("trm_hub_rfc2217_settings_total", "RFC 2217 settings answered, by what came of them.", m.com_settings[i],
              kComResults[i]);
  }
  o.counter("trm_hub_commands_total", "Configuration and virtual COM requests.", m.commands);
  o.counter("trm_hub_command_timeouts_total", "Commands without a whole reply in time.", m.command_timeouts);
  o.counter("trm_hub_verify_total", "Verify challenges answered.", m.verify_ok, "{result=\"match\"}");
  o.counter("trm_hub_verify_total", "Verify challenges answered.", m.verify_fail, "{result=\"fail\"}");
  o.gauge("trm_hub_mqtt_connected", "1 while connected to the broker.", h.mqtt->pub && h.mqtt->pub->ready());
  o.counter("trm_hub_mqtt_published_total", "Messages handed to the broker.", m.mqtt_published);
  o.counter("trm_hub_mqtt_dropped_total", "Messages dropped while the broker was away.", m.mqtt_dropped);
  o.counter("trm_hub_mqtt_received_total", "Messages from the broker.", m.mqtt_received);
  o.counter("trm_hub_mqtt_connects_total", "Broker sessions begun.", m.mqtt_connects);
  o.gauge("trm_hub_mqtt_queued", "Messages waiting for the broker.", static_cast<double>(h.mqtt->queue.size()));
  o.counter("trm_hub_registry_writes_total", "Rows written to the registry.", h.reg ? h.reg->writes() : 0);
  o.counter("trm_hub_registry_errors_total", "Registry writes that failed (and were retried).",
            h.reg ? h.reg->errors() : 0);
  o.gauge("trm_hub_registry_up", "1 while the registry's database takes writes (0: away, writes wait).",
          !h.reg || (h.reg->up() && (!h.journal || h.journal->up())) ? 1 : 0);
  if (h.sync) {
    o.gauge("trm_hub_cluster_sync_up", "1 while the last read of the other hubs' changes went through.",
            h.sync->up() ? 1 : 0);
    o.gauge("trm_hub_cluster_hubs", "Other hubs sharing the registry heard from lately.", h.jobs->alive.size());
    o.counter("trm_hub_cluster_sync_rows_total", "Gateway and job target rows the sync read back from the registry.",
              h.sync->rows());
  }
  o.counter("trm_hub_registry_reconnects_total", "Connections to the registry's database made again.",
            (h.reg ? h.reg->reconnects() : 0) + (h.journal ? h.journal->reconnects() : 0));
  o.counter("trm_hub_http_requests_total", "HTTP requests.", m.http_requests);
  o.gauge("trm_hub_http_connections", "HTTP connections open.", static_cast<double>(m.http_connections));
  o.counter("trm_hub_http_request_timeouts_total", "HTTP connections closed for a request that did not arrive in time.",
            m.http_request_timeouts);
  o.counter("trm_hub_https_refused_total", "HTTPS connections that ended before a request: no TLS handshake.",
            m.https_refused);
}

// Fleet-wide figures for alerting (a series per gateway would be too many
// at 100 000): gateways by state, offline for longer than each of a few
// spans, online with a weak signal.
struct Span {
  const char *label;
  int64_t seconds;
};
const Span kOfflineSpans[] = {
    {"{longer_than=\"15m\"}", 900}, {"{longer_than=\"1h\"}", 3600}, {"{longer_than=\"1d\"}", 86400}};

void fleet_figures(Out &o, const Hub &h) {
  std::vector<std::pair<const char *, size_t>> states = {{"online", 0}, {"held", 0}, {"offline", 0}};
  size_t offline_for[3] = {}, weak = 0;
  int64_t now = h.wall_ms / 1000;
  for (const auto &kv : h.records) {
    const GatewayRecord &r = *kv.second;
    const char *st = gw_state(r);
    size_t i = 0;
    while (i < states.size() && strcmp(states[i].first, st) != 0) i++;
    if (i == states.size()) states.emplace_back(st, 0);
    states[i].second++;
    if (gw_online(r)) {
      weak += r.signal <= kWeakSignal;
      continue;
    }
    for (size_t k = 0; k < 3; k++) offline_for[k] += now - r.last_seen > kOfflineSpans[k].seconds;
  }
  for (const auto &s : states) {
    std::string label = std::string("{state=\"") + s.first + "\"}";
    o.metric("trm_hub_gateways_by_state", "gauge", "Gateways in the registry by state.", static_cast<double>(s.second),
             label.c_str());
  }
  for (size_t k = 0; k < 3; k++) {
    o.metric("trm_hub_gateways_offline_for", "gauge", "Gateways offline for longer than a span (last packet).",
             static_cast<double>(offline_for[k]), kOfflineSpans[k].label);
  }
  o.gauge("trm_hub_gateways_weak_signal", "Gateways online with a signal of CSQ 9 or below.",
          static_cast<double>(weak));
}

void journal_figures(Out &o, const Hub &h) {
  Journal *j = h.journal.get();
  o.gauge("trm_hub_mqtt_enabled", "1 when the hub is configured to use a broker.", h.cfg.mqtt.enabled ? 1 : 0);
  o.counter("trm_hub_history_rows_total", "History and audit rows written.", j ? j->written() : 0);
  o.counter("trm_hub_history_dropped_total", "History and audit rows dropped on a full queue.", j ? j->dropped() : 0);
  o.counter("trm_hub_history_errors_total", "History writes that failed (and were retried).", j ? j->errors() : 0);
  o.counter("trm_hub_history_pruned_total", "History and audit rows pruned.", j ? j->pruned() : 0);
  o.gauge("trm_hub_history_queued", "History and audit rows waiting to be written.",
          static_cast<double>(j ? j->waiting() : 0));
}

void job_figures(Out &o, const Hub &h) {
  o.gauge("trm_hub_jobs_active", "Fleet jobs with targets pending or sent.", static_cast<double>(jobs_active_count(h)));
  const char *const help = "Targets of fleet jobs ended, by how.";
  for (TargetState s : {TargetState::kDone, TargetState::kFailed, TargetState::kExpired, TargetState::kCancelled}) {
    std::string label = std::string("{state=\"") + target_state_name(s) + "\"}";
    o.counter("trm_hub_job_targets_total", help, h.jobs->finished[static_cast<int>(s)], label.c_str());
  }
  o.gauge("trm_hub_job_targets_in_flight", "Targets of fleet jobs sent, awaiting their reply.",
          static_cast<double>(h.jobs->flight.size() + h.jobs->storing));
}

}  // namespace

std::string metrics_text(const Hub &h) {
  Out o;
  gateway_figures(o, h);
  tls_figures(o, h);
  ack_figures(o, h);
  fleet_figures(o, h);
  service_figures(o, h);
  journal_figures(o, h);
  job_figures(o, h);
  return o.s;
}

}  // namespace hub
