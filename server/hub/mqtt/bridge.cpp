// What goes to the broker and what comes from it.
#include "mqtt/bridge.h"

#include <stdio.h>
#include <string.h>

#include "store/audit.h"
#include "gateways/session.h"
#include "core/json.h"
#include "core/log.h"
#include "core/packet.h"

namespace hub {
namespace {

constexpr size_t kStatusBudget = 2000;  // statuses published in one pass at most

bool mine(const Hub &h, const Claim &c) { return c.hub == h.cfg.hub_id; }

GwStatus &status_of(Hub &h, const GatewayRecord &r) { return h.mqtt->status[&r]; }

// As the broker was last told; nothing told yet when there is no entry.
GwStatus told(const Hub &h, const GatewayRecord &r) {
  auto it = h.mqtt->status.find(&r);
  return it == h.mqtt->status.end() ? GwStatus() : it->second;
}

// Events (bursts, replies) wait in a bounded queue while the broker is
// away; the oldest go first when it is full, and are counted.
void emit(Hub &h, std::string topic, std::string payload) {
  MqttBridge &b = *h.mqtt;
  if (!b.pub) return;
  int qos = h.cfg.mqtt.qos;
  if (b.queue.empty() && b.pub->ready() && b.pub->inflight() < h.cfg.mqtt.inflight &&
      b.pub->publish(topic, payload, qos, false)) {
    h.m.mqtt_published++;
    return;
  }
  b.queue_bytes += topic.size() + payload.size();
  b.queue.push_back(MqttMsg{std::move(topic), std::move(payload)});
  while (!b.queue.empty() &&
         (b.queue.size() > h.cfg.mqtt.queue_messages || b.queue_bytes > h.cfg.mqtt.queue_bytes)) {
    b.queue_bytes -= b.queue.front().topic.size() + b.queue.front().payload.size();
    b.queue.pop_front();
    h.m.mqtt_dropped++;
  }
}

// Publishes offline over the retained status only while that is ours.
bool may_publish_offline(const Hub &h, const GatewayRecord &r) {
  auto it = h.mqtt->claims.find(r.id);
  return it == h.mqtt->claims.end() || mine(h, it->second);
}

bool publish_status(Hub &h, GatewayRecord &r) {
  bool online = gw_admitted(r);
  GwStatus &st = status_of(h, r);
  if (!online && (!st.online || !may_publish_offline(h, r))) {
    st.online = false;
    return true;  // nothing to say
  }
  std::string text = json_take(status_json(h, r, online));
  if (!h.mqtt->pub->publish(topic_of(h, r.id, "status"), text, 1, true)) return false;
  h.m.mqtt_published++;
  st.online = online;
  st.seen = r.last_seen;
  st.sent = h.now;
  return true;
}

// Routine statuses may go out while the fleet-wide pace allows.
bool routine_allowed(Hub &h) {
  MqttBridge &b = *h.mqtt;
  double add = (h.now - b.routine_at) * kRoutinePerSecond / 1000.0;
  b.routine_at = h.now;
  b.routine_left = b.routine_left + add > kRoutinePerSecond ? kRoutinePerSecond : b.routine_left + add;
  return b.routine_left >= 1;
}

// Statuses whose turn has come on one list, while the broker (and, for
// routine ones, the pace) takes them; the scan stops as soon as it cannot
// take more, so a slow broker costs no CPU.
void pump_list(Hub &h, std::vector<GatewayRecord *> &list, bool urgent) {
  MqttBridge &b = *h.mqtt;
  size_t keep = 0, done = 0, i = 0;
  for (; i < list.size(); i++) {
    if (done >= kStatusBudget || b.pub->inflight() >= h.cfg.mqtt.inflight) break;
    if (!urgent && !routine_allowed(h)) break;
    GatewayRecord *r = list[i];
    GwStatus &st = status_of(h, *r);
    if (!(urgent ? st.urgent : st.dirty)) continue;  // went out with an urgent one
    bool due = urgent || h.now - st.sent >= h.cfg.mqtt.status_min_interval_ms;
    if (!due || !publish_status(h, *r)) {
      list[keep++] = r;
      continue;
    }
    st.dirty = st.urgent = false;
    if (!urgent) b.routine_left--;
    done++;
  }
  for (; i < list.size(); i++) list[keep++] = list[i];
  list.resize(keep);
}

void pump_statuses(Hub &h) {
  pump_list(h, h.mqtt->urgent, true);
  pump_list(h, h.mqtt->dirty, false);
}

bool parse_claim(const uint8_t *payload, size_t n, Claim *c) {
  cJSON *o = cJSON_ParseWithLength(reinterpret_cast<const char *>(payload), n);
  if (!o) return false;
  const cJSON *hub = cJSON_GetObjectItemCaseSensitive(o, "hub");
  const cJSON *session = cJSON_GetObjectItemCaseSensitive(o, "session");
  const cJSON *online = cJSON_GetObjectItemCaseSensitive(o, "online");
  // A session is wall-clock milliseconds: anything a double cannot hold
  // exactly as a whole number is not one.
  bool ok = cJSON_IsString(hub) && cJSON_IsNumber(session) && cJSON_IsBool(online) &&
            session->valuedouble >= 0 && session->valuedouble <= 9007199254740992.0;
  if (ok) {
    c->hub = hub->valuestring;
    c->session = static_cast<int64_t>(session->valuedouble);
    c->online = cJSON_IsTrue(online);
  }
  cJSON_Delete(o);
  return ok;
}

// Another hub's word on a gateway we hold: a newer session there means
// ours is stale; anything else is put right by saying ours again.
void on_foreign_claim(Hub &h, GatewayRecord &r, const Claim &c) {
  bool newer = c.session > r.session_start || (c.session == r.session_start && c.hub > h.cfg.hub_id);
  if (c.online && newer) {
    LOG_INFO("gateway %s is held by hub %s now", r.id.c_str(), c.hub.c_str());
    status_of(h, r).online = false;  // the retained status is theirs
    gw_end(h, *r.session, "held by another hub now");
    return;
  }
  mqtt_status_changed(h, r, true);
}

void on_status(Hub &h, const std::string &id, const uint8_t *payload, size_t n) {
  Claim c;
  if (!parse_claim(payload, n, &c)) {
    if (n == 0) h.mqtt->claims.erase(id);  // retained status cleared
    return;
  }
  MqttBridge &b = *h.mqtt;
  if (b.claims.size() < kMaxClaims || b.claims.count(id)) b.claims[id] = c;
  if (mine(h, c)) return;
  GatewayRecord *r = hub_find(h, id);
  if (r && gw_admitted(*r)) on_foreign_claim(h, *r, c);
}

// Offline over a retained online status that nobody holds any more: ours
// from before a restart, or another hub's that went away (its will).
void clear_claim(Hub &h, const std::string &id, const Claim &c) {
  GatewayRecord *r = hub_find(h, id);
  if (r && gw_admitted(*r)) return;
  cJSON *o = cJSON_CreateObject();
  cJSON_AddStringToObject(o, "id", id.c_str());
  cJSON_AddBoolToObject(o, "online", false);
  cJSON_AddStringToObject(o, "state", "offline");
  cJSON_AddStringToObject(o, "hub", json_safe(c.hub).c_str());
  cJSON_AddNumberToObject(o, "session", static_cast<double>(c.session));
  cJSON_AddStringToObject(o, "cleared_by", json_safe(h.cfg.hub_id).c_str());
  if (h.mqtt->pub->publish(topic_of(h, id, "status"), json_take(o), 1, true)) h.m.mqtt_published++;
}

void sweep(Hub &h, const std::string &hub_id) {
  for (auto &kv : h.mqtt->claims) {
    if (kv.second.online && kv.second.hub == hub_id) clear_claim(h, kv.first, kv.second);
  }
}

void on_hub_status(Hub &h, const std::string &hub_id, const uint8_t *payload, size_t n) {
  if (hub_id == h.cfg.hub_id) return;
  cJSON *o = cJSON_ParseWithLength(reinterpret_cast<const char *>(payload), n);
  bool gone = o && cJSON_IsFalse(cJSON_GetObjectItemCaseSensitive(o, "online"));
  cJSON_Delete(o);
  if (!gone) return;
  LOG_INFO("hub %s is gone: its gateways' statuses are cleared", hub_id.c_str());
  sweep(h, hub_id);
}

void send_bytes(Hub &h, GatewayRecord &r, uint16_t port, const uint8_t *p, size_t n) {
  for (size_t off = 0; off < n; off += kSectionMax) {
    size_t len = n - off < kSectionMax ? n - off : kSectionMax;
    if (gw_send(h, r, port, p + off, len) != 0) {
      h.m.send_dropped++;
      LOG_WARN("gateway %s port%u: %zu bytes from the broker dropped (queue full)", r.id.c_str(), port, n - off);
      return;
    }
  }
}

void on_verify(Hub &h, GatewayRecord &r, const uint8_t *payload, size_t n) {
  std::string text(reinterpret_cast<const char *>(payload), n);
  int x = -1, y = -1;
  if (!text.empty() && sscanf(text.c_str(), "%d %d", &x, &y) != 2) x = y = -1;
  if (x > 255 || y > 255 || x < -1 || y < -1) x = y = -1;
  std::string why;
  if (!cmd_verify(h, r, mqtt_exchange_done, x, y, &why)) audit_record(h, "mqtt", topic_of(h, r.id, "verify"), r.id, "refused: " + why);
}

// A command topic of a gateway this hub holds.
void on_command(Hub &h, GatewayRecord &r, const std::string &tail, const uint8_t *payload, size_t n) {
  std::string text(reinterpret_cast<const char *>(payload), n), why;
  if (tail == "port1/tx" || tail == "port2/tx") {
    send_bytes(h, r, tail[4] == '1' ? COM_PORT_RS485 : COM_PORT_RS232, payload, n);
  } else if (tail == "cfg" || tail == "vcom") {
    if (!cmd_submit(h, r, tail == "cfg" ? Channel::kCfg : Channel::kVcom, text, mqtt_exchange_done, &why)) {
      h.m.mqtt_ignored++;
      LOG_WARN("gateway %s: %s command from the broker refused: %s", r.id.c_str(), tail.c_str(), why.c_str());
      audit_record(h, "mqtt", topic_of(h, r.id, tail.c_str()), r.id, "refused: " + why);
    }
  } else if (tail == "verify") {
    on_verify(h, r, payload, n);
  } else {
    h.m.mqtt_ignored++;
  }
}

// A change of last_seen alone is told once status_refresh_s have passed
// since the status last published: to the broker and the registry alike.
void on_seen(Hub &h, GatewayRecord &r) {
  if (r.last_seen - told(h, r).seen >= static_cast<int64_t>(h.cfg.mqtt.status_refresh_s)) gw_changed(h, r, false);
}

}  // namespace

const GatewayHooks kMqttHooks = [] {
  GatewayHooks row{};
  row.changed = mqtt_status_changed;
  row.seen = on_seen;
  row.port_section = mqtt_on_rx;
  row.channel_reply = mqtt_unsolicited;
  return row;
}();

std::string topic_of(const Hub &h, const std::string &id, const char *tail) {
  return h.cfg.mqtt.prefix + "/" + id + "/" + tail;
}

std::string hub_status_topic(const Hub &h) { return h.cfg.mqtt.prefix + "/hub/" + h.cfg.hub_id + "/status"; }

std::string hub_status_payload(const Hub &h, bool online) {
  cJSON *o = cJSON_CreateObject();
  cJSON_AddBoolToObject(o, "online", online);
  cJSON_AddStringToObject(o, "hub", json_safe(h.cfg.hub_id).c_str());
  cJSON_AddNumberToObject(o, "started", static_cast<double>(h.started_ms));
  return json_take(o);
}

std::vector<std::string> mqtt_subscriptions(const Hub &h) {
  const std::string p = h.cfg.mqtt.prefix + "/", jobs = p + "hub/" + h.cfg.hub_id + "/jobs/";
  return {p + "+/port1/tx", p + "+/port2/tx", p + "+/cfg", p + "+/vcom", p + "+/verify",
          p + "+/status", p + "hub/+/status", jobs + "create", jobs + "+/cancel"};
}

void mqtt_status_changed(Hub &h, GatewayRecord &r, bool urgent) {
  if (!h.mqtt->pub) return;
  GwStatus &st = status_of(h, r);
  if (urgent && !st.urgent) {
    st.urgent = true;
    h.mqtt->urgent.push_back(&r);
  } else if (!urgent && !st.dirty && !st.urgent) {
    st.dirty = true;
    h.mqtt->dirty.push_back(&r);
  }
}

bool mqtt_on_rx(Hub &h, GatewayRecord &r, uint16_t port, const uint8_t *data, size_t n) {
  if (!h.mqtt->pub) return false;
  emit(h, topic_of(h, r.id, port == COM_PORT_RS485 ? "port1/rx" : "port2/rx"),
       std::string(reinterpret_cast<const char *>(data), n));
  return false;
}

void mqtt_exchange_done(Hub &h, const Exchange &j) {
  const std::string &id = j.gw;
  audit_record(h, "mqtt", topic_of(h, id, channel_name(j.ch)), id, outcome_name(j.outcome));
  if (j.ch == Channel::kVerify) {
    cJSON *o = cJSON_CreateObject();
    cJSON_AddStringToObject(o, "outcome", outcome_name(j.outcome));
    cJSON_AddBoolToObject(o, "match", j.outcome == Outcome::kDone && j.match);
    cJSON_AddNumberToObject(o, "answer", j.answer);
    cJSON_AddNumberToObject(o, "expected", j.expect);
    emit(h, topic_of(h, id, "verify/reply"), json_take(o));
  } else if (j.outcome == Outcome::kDone || j.outcome == Outcome::kPartial) {
    emit(h, topic_of(h, id, j.ch == Channel::kCfg ? "cfg/reply" : "vcom/reply"), j.reply);
  } else {
    LOG_WARN("gateway %s: %s command from the broker: %s", id.c_str(), channel_name(j.ch), outcome_name(j.outcome));
  }
}

bool mqtt_unsolicited(Hub &h, GatewayRecord &r, uint16_t port, const uint8_t *data, size_t n) {
  if (port == COM_PORT_VERIFY || !gw_admitted(r)) return false;
  emit(h, topic_of(h, r.id, port == COM_PORT_QYIO ? "cfg/reply" : "vcom/reply"),
       std::string(reinterpret_cast<const char *>(data), n));
  return false;
}

void mqtt_on_message(Hub &h, const std::string &topic, const uint8_t *payload, size_t n) {
  h.m.mqtt_received++;
  const std::string &p = h.cfg.mqtt.prefix;
  if (topic.size() <= p.size() + 1 || topic.compare(0, p.size(), p) != 0 || topic[p.size()] != '/') return;
  std::string rest = topic.substr(p.size() + 1);
  size_t slash = rest.find('/');
  if (slash == std::string::npos) return;
  std::string id = rest.substr(0, slash), tail = rest.substr(slash + 1);
  if (id == "hub") {
    const std::string jobs = h.cfg.hub_id + "/jobs/";
    if (tail.compare(0, jobs.size(), jobs) == 0 && h.mqtt->on_jobs) {
      return h.mqtt->on_jobs(h, tail.substr(jobs.size()), std::string(reinterpret_cast<const char *>(payload), n));
    }
    size_t s2 = tail.find('/');
    if (s2 != std::string::npos && tail.compare(s2, std::string::npos, "/status") == 0) {
      on_hub_status(h, tail.substr(0, s2), payload, n);
    }
    return;
  }
  if (!id_usable(reinterpret_cast<const uint8_t *>(id.data()), id.size())) return;
  if (tail == "status") return on_status(h, id, payload, n);
  GatewayRecord *r = hub_find(h, id);
  if (r && gw_admitted(*r)) on_command(h, *r, tail, payload, n);
}

void mqtt_on_connect(Hub &h) {
  MqttBridge &b = *h.mqtt;
  h.m.mqtt_connects++;
  b.announced = false;
  b.swept = false;
  b.connected_at = h.now;
  for (auto &kv : h.records) {
    if (gw_admitted(*kv.second) || told(h, *kv.second).online) mqtt_status_changed(h, *kv.second, true);
  }
}

void mqtt_pump(Hub &h) {
  MqttBridge &b = *h.mqtt;
  if (!b.pub || !b.pub->ready()) return;
  if (!b.announced && b.pub->publish(hub_status_topic(h), hub_status_payload(h, true), 1, true)) {
    b.announced = true;
  }
  if (!b.swept && h.now - b.connected_at >= kSweepDelayMs) {
    b.swept = true;
    sweep(h, h.cfg.hub_id);
  }
  pump_statuses(h);
  while (!b.queue.empty() && b.pub->inflight() < h.cfg.mqtt.inflight) {
    MqttMsg &m = b.queue.front();
    if (!b.pub->publish(m.topic, m.payload, h.cfg.mqtt.qos, false)) break;
    h.m.mqtt_published++;
    b.queue_bytes -= m.topic.size() + m.payload.size();
    b.queue.pop_front();
  }
}

void mqtt_all_offline(Hub &h) {
  if (!h.mqtt->pub || !h.mqtt->pub->ready()) return;
  for (auto &kv : h.records) {
    GatewayRecord &r = *kv.second;
    if (!told(h, r).online || !may_publish_offline(h, r)) continue;
    if (h.mqtt->pub->publish(topic_of(h, r.id, "status"), json_take(status_json(h, r, false)), 1, true)) {
      h.m.mqtt_published++;
      status_of(h, r).online = false;
    }
  }
  h.mqtt->pub->publish(hub_status_topic(h), hub_status_payload(h, false), 1, true);
}

}  // namespace hub
