// JSON forms of a gateway.
#include "core/json.h"

#include <stdlib.h>

#include "core/ack.h"

namespace hub {
namespace {

const char *admission_name(Admission a) {
  static const char *const kNames[] = {"list", "admitted", "held"};
  return kNames[static_cast<int>(a)];
}

void add_str(cJSON *o, const char *key, const std::string &s) { cJSON_AddStringToObject(o, key, json_safe(s).c_str()); }

// The secure link's keys: bound, pending (an operator's admit binds it),
// revoked, and whether it has come over TLS.
cJSON *key_json(const GatewayRecord &r) {
  static const GatewayKeys kNone;
  const GatewayKeys &k = r.keys ? *r.keys.get() : kNone;
  cJSON *o = cJSON_CreateObject();
  cJSON_AddStringToObject(o, "fingerprint", k.has_bound ? fp_hex(k.bound).c_str() : "");
  cJSON_AddStringToObject(o, "pending", k.has_pending ? fp_hex(k.pending).c_str() : "");
  cJSON_AddBoolToObject(o, "tls", k.tls);
  const char *state = k.has_pending ? "pending" : k.has_bound ? "bound" : !k.revoked.empty() ? "revoked" : "none";
  cJSON_AddStringToObject(o, "state", state);
  cJSON *rev = cJSON_AddArrayToObject(o, "revoked");
  for (const Fingerprint &f : k.revoked) cJSON_AddItemToArray(rev, cJSON_CreateString(fp_hex(f).c_str()));
  return o;
}

cJSON *loss_json(const AckLoss (&lines)[ACK_LINES]) {
  cJSON *o = cJSON_CreateObject();
  cJSON *bytes = cJSON_AddArrayToObject(o, "bytes");
  cJSON *gap = cJSON_AddArrayToObject(o, "last_gap");
  for (const AckLoss &l : lines) {
    cJSON_AddItemToArray(bytes, cJSON_CreateNumber(static_cast<double>(l.bytes)));
    const double g[2] = {static_cast<double>(l.from), static_cast<double>(l.to)};
    cJSON_AddItemToArray(gap, cJSON_CreateDoubleArray(g, 2));
  }
  return o;
}

// The acknowledged link: whether the live link speaks it, the bytes kept
// for the gateway and sent again, and per line the bytes lost each way with
// the last gap's offsets [from, to).
cJSON *ack_json(const Hub &h, const GatewayRecord &r) {
  const AckState *a = ack_state(h, r);
  cJSON *o = cJSON_CreateObject();
  cJSON_AddBoolToObject(o, "on", r.session && r.session->ack);
  cJSON_AddNumberToObject(o, "links", a ? a->links : 0);
  cJSON_AddNumberToObject(o, "retained", a ? a->out.used : 0);
  cJSON_AddNumberToObject(o, "resent", a ? static_cast<double>(a->resent) : 0);
  static const AckLoss kNone[ACK_LINES];
  cJSON_AddItemToObject(o, "lost_in", loss_json(a ? a->lost_in : kNone));
  cJSON_AddItemToObject(o, "lost_out", loss_json(a ? a->lost_out : kNone));
  return o;
}

}  // namespace

std::string json_safe(const std::string &s) {
  std::string out(s);
  for (char &c : out) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7F) c = '?';
  }
  return out;
}

cJSON *status_json(const Hub &h, const GatewayRecord &r, bool online) {
  cJSON *o = cJSON_CreateObject();
  add_str(o, "id", r.id);
  cJSON_AddBoolToObject(o, "online", online);
  cJSON_AddStringToObject(o, "state", online ? "online" : "offline");
  cJSON_AddNumberToObject(o, "signal", r.signal);
  cJSON_AddNumberToObject(o, "network", r.network);
  add_str(o, "version", r.version);
  add_str(o, "alias", r.alias);
  add_str(o, "model", r.model);
  cJSON_AddNumberToObject(o, "last_seen", static_cast<double>(r.last_seen));
  add_str(o, "hub", h.cfg.hub_id);
  cJSON_AddNumberToObject(o, "session", static_cast<double>(r.session_start));
  cJSON_AddBoolToObject(o, "conflict", r.conflict);
  return o;
}

cJSON *gateway_json(const Hub &h, const GatewayRecord &r) {
  cJSON *o = status_json(h, r, gw_up(r));
  cJSON_ReplaceItemInObject(o, "state", cJSON_CreateString(gw_state(r)));
  // Held here, held elsewhere (a hub sharing the registry), or last held by.
  cJSON_ReplaceItemInObject(o, "hub",
                            cJSON_CreateString(json_safe(r.holder.empty() ? h.cfg.hub_id : r.holder).c_str()));
  cJSON_AddBoolToObject(o, "here", gw_online(r));
  add_str(o, "peer", r.peer);
  cJSON_AddNumberToObject(o, "first_seen", static_cast<double>(r.first_seen));
  cJSON_AddNumberToObject(o, "heartbeat", r.heartbeat_s);
  cJSON_AddStringToObject(o, "admission", admission_name(r.admission));
  cJSON_AddItemToObject(o, "key", key_json(r));
  cJSON_AddItemToObject(o, "ack", ack_json(h, r));
  cJSON *c = cJSON_AddObjectToObject(o, "counters");
  cJSON_AddNumberToObject(c, "bytes_in", static_cast<double>(r.c.bytes_in));
  cJSON_AddNumberToObject(c, "bytes_out", static_cast<double>(r.c.bytes_out));
  cJSON_AddNumberToObject(c, "packets_in", static_cast<double>(r.c.packets_in));
  cJSON_AddNumberToObject(c, "packets_out", static_cast<double>(r.c.packets_out));
  cJSON_AddNumberToObject(c, "reconnects", static_cast<double>(r.c.reconnects));
  cJSON_AddNumberToObject(c, "malformed", static_cast<double>(r.c.malformed));
  cJSON_AddNumberToObject(c, "modbus_timeouts", static_cast<double>(r.c.modbus_timeouts));
  cJSON_AddNumberToObject(c, "verify_fail", static_cast<double>(r.c.verify_fail));
  cJSON_AddNumberToObject(o, "state_at", static_cast<double>(r.state_at));
  const char *why[7];
  gw_attention_names(gw_attention(r, h.wall_ms / 1000), why);
  cJSON *attn = cJSON_AddArrayToObject(o, "attention");
  for (const char **w = why; *w; w++) cJSON_AddItemToArray(attn, cJSON_CreateString(*w));
  return o;
}

std::string json_take(cJSON *obj) {
  char *text = cJSON_PrintUnformatted(obj);
  std::string s = text ? text : "null";
  free(text);
  cJSON_Delete(obj);
  return s;
}

}  // namespace hub
