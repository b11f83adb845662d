// The API's replies, and its routes of the hub, its metrics and the gateways.
#include "web/api.h"

#include <stdlib.h>

#include <algorithm>

#include "core/query.h"
#include "gateways/session.h"
#include "core/json.h"
#include "core/log.h"
#include "mqtt/bridge.h"
#include "web/routes.h"

namespace hub {

ApiReply api_reply(int status, cJSON *body) {
  ApiReply r;
  r.status = status;
  r.body = json_take(body);
  return r;
}

ApiReply api_error(int status, const std::string &why) {
  cJSON *o = cJSON_CreateObject();
  cJSON_AddStringToObject(o, "error", json_safe(why).c_str());
  return api_reply(status, o);
}

namespace {

// Rows per request: each request is built on the loop, so a long list is
// paged (offset) rather than built at once.
constexpr size_t kListMax = 1000;

std::string query(const ApiRequest &req, const char *key, const char *def = "") {
  for (const auto &kv : req.query) {
    if (kv.first == key) return kv.second;
  }
  return def;
}

size_t query_num(const ApiRequest &req, const char *key, size_t def) {
  std::string v = query(req, key);
  if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos || v.size() > 9) return def;
  return static_cast<size_t>(strtoul(v.c_str(), nullptr, 10));
}

cJSON *summary_json(const QuerySummary &s) {
  cJSON *o = cJSON_CreateObject();
  const std::pair<const char *, size_t> kCounts[] = {{"online", s.online},       {"held", s.held},
                                                     {"offline", s.offline},     {"conflict", s.conflict},
                                                     {"never", s.never},         {"attention", s.attention},
                                                     {"changed_hour", s.changed_hour}};
  for (const auto &c : kCounts) cJSON_AddNumberToObject(o, c.first, static_cast<double>(c.second));
  return o;
}

ApiReply submitted(Exchange *j, const std::string &why, const GatewayRecord &r) {
  if (j) {
    ApiReply a;
    a.ticket = j->ticket;
    return a;
  }
  int status = !gw_online(r) ? 503 : !r.session->admitted ? 403 : why.find("waiting") != std::string::npos ? 429 : 400;
  return api_error(status, why);
}

// A command body: plain text, or {"command": "..."}.
std::string command_text(const std::string &body) {
  if (body.empty() || body[0] != '{') return body;
  cJSON *o = cJSON_ParseWithLength(body.data(), body.size());
  const cJSON *c = cJSON_GetObjectItemCaseSensitive(o, "command");
  std::string text = cJSON_IsString(c) ? c->valuestring : "";
  cJSON_Delete(o);
  return text;
}

ApiReply admission(Hub &h, GatewayRecord &r, Admission a) {
  r.admission = a;
  r.admission_at = h.wall_ms;
  gw_readmit(h, r);
  gw_changed(h, r, true);
  return api_reply(200, gateway_json(h, r));
}

ApiReply command(Hub &h, GatewayRecord &r, Channel ch, const ApiRequest &req) {
  std::string why;
  return submitted(cmd_submit(h, r, ch, command_text(req.body), req.done, &why), why, r);
}

}  // namespace

ApiReply api_metrics(Hub &h, const ApiRequest &, const RouteArgs &) {
  ApiReply r;
  r.type = "text/plain; version=0.0.4";
  r.body = metrics_text(h);
  return r;
}

ApiReply api_hub_info(Hub &h, const ApiRequest &req, const RouteArgs &) {
  cJSON *o = cJSON_CreateObject();
  cJSON_AddStringToObject(o, "hub", json_safe(h.cfg.hub_id).c_str());
  cJSON_AddNumberToObject(o, "started", static_cast<double>(h.started_ms));
  cJSON_AddNumberToObject(o, "connections", static_cast<double>(h.session_count));
  cJSON_AddNumberToObject(o, "online", static_cast<double>(h.ready_count));
  cJSON_AddNumberToObject(o, "known", static_cast<double>(h.records.size()));
  cJSON_AddBoolToObject(o, "mqtt", h.mqtt->pub && h.mqtt->pub->ready());
  cJSON_AddNumberToObject(o, "mqtt_queued", static_cast<double>(h.mqtt->queue.size()));
  cJSON_AddStringToObject(o, "role", req.role == Role::kRead ? "read" : "operate");
  return api_reply(200, o);
}

ApiReply api_gateway_list(Hub &h, const ApiRequest &req, const RouteArgs &) {
  Query fq;
  fq.state = query(req, "state");
  fq.q = lower_ascii(query(req, "q"));
  fq.sort = query(req, "sort", "id");
  fq.desc = query(req, "dir") == "desc";
  fq.limit = std::min(query_num(req, "limit", kListMax), kListMax);
  fq.offset = query_num(req, "offset", 0);
  if (!query_sort_known(fq.sort)) return api_error(400, "sort: one of " + query_sort_names());
  QueryPage p = query_page(h, fq);
  cJSON *o = cJSON_CreateObject();
  cJSON_AddNumberToObject(o, "total", static_cast<double>(p.total));
  cJSON_AddNumberToObject(o, "online", static_cast<double>(h.ready_count));
  cJSON_AddNumberToObject(o, "matched", static_cast<double>(p.matched));
  cJSON_AddItemToObject(o, "summary", summary_json(p.sum));
  cJSON *arr = cJSON_AddArrayToObject(o, "gateways");
  for (const QueryRow &row : p.rows) cJSON_AddItemToArray(arr, gateway_json(h, *row.r));
  return api_reply(200, o);
}

ApiReply api_gateway_one(Hub &h, const ApiRequest &, const RouteArgs &a) { return api_reply(200, gateway_json(h, *a.gw)); }

ApiReply api_gateway_cfg(Hub &h, const ApiRequest &req, const RouteArgs &a) {
  return command(h, *a.gw, Channel::kCfg, req);
}

ApiReply api_gateway_vcom(Hub &h, const ApiRequest &req, const RouteArgs &a) {
  return command(h, *a.gw, Channel::kVcom, req);
}

ApiReply api_gateway_verify(Hub &h, const ApiRequest &req, const RouteArgs &a) {
  GatewayRecord &r = *a.gw;
  int x = -1, y = -1;
  if (!req.body.empty()) {
    cJSON *o = cJSON_ParseWithLength(req.body.data(), req.body.size());
    const cJSON *jx = cJSON_GetObjectItemCaseSensitive(o, "x"), *jy = cJSON_GetObjectItemCaseSensitive(o, "y");
    bool ok = cJSON_IsNumber(jx) && cJSON_IsNumber(jy) && jx->valueint >= 0 && jx->valueint <= 255 &&
              jy->valueint >= 0 && jy->valueint <= 255;
    if (ok) {
      x = jx->valueint;
      y = jy->valueint;
    }
    cJSON_Delete(o);
    if (!ok) return api_error(400, "want {\"x\": 0..255, \"y\": 0..255}");
  }
  std::string why;
  return submitted(cmd_verify(h, r, req.done, x, y, &why), why, r);
}

ApiReply api_gateway_admit(Hub &h, const ApiRequest &, const RouteArgs &a) {
  return admission(h, *a.gw, Admission::kAdmitted);
}

ApiReply api_gateway_hold(Hub &h, const ApiRequest &, const RouteArgs &a) { return admission(h, *a.gw, Admission::kHeld); }

ApiReply api_gateway_release(Hub &h, const ApiRequest &, const RouteArgs &a) {
  return admission(h, *a.gw, Admission::kByList);
}

ApiReply api_gateway_close(Hub &h, const ApiRequest &, const RouteArgs &a) {
  if (!gw_online(*a.gw)) return api_error(503, "gateway offline");
  gw_end(h, *a.gw->session, "closed through the API");
  return api_reply(200, gateway_json(h, *a.gw));
}

ApiReply api_exchange_reply(const Exchange &j) {
  cJSON *o = cJSON_CreateObject();
  cJSON_AddStringToObject(o, "gateway", j.gw.c_str());
  cJSON_AddStringToObject(o, "channel", channel_name(j.ch));
  cJSON_AddStringToObject(o, "outcome", outcome_name(j.outcome));
  if (j.ch == Channel::kVerify) {
    cJSON_AddNumberToObject(o, "x", static_cast<uint8_t>(j.text[0]));
    cJSON_AddNumberToObject(o, "y", static_cast<uint8_t>(j.text[1]));
    cJSON_AddNumberToObject(o, "expected", j.expect);
    cJSON_AddNumberToObject(o, "answer", j.answer);
    cJSON_AddBoolToObject(o, "match", j.outcome == Outcome::kDone && j.match);
  } else {
    cJSON *cmds = cJSON_AddArrayToObject(o, "commands");
    for (const std::string &c : cmd_split_replies(Channel::kVcom, j.text)) {
      cJSON_AddItemToArray(cmds, cJSON_CreateString(json_safe(c).c_str()));
    }
    cJSON *reps = cJSON_AddArrayToObject(o, "replies");
    for (const std::string &r : cmd_split_replies(j.ch, j.reply)) {
      cJSON_AddItemToArray(reps, cJSON_CreateString(json_safe(r).c_str()));
    }
    cJSON_AddStringToObject(o, "text", escaped(reinterpret_cast<const uint8_t *>(j.reply.data()), j.reply.size()).c_str());
  }
  static const int kStatus[] = {200, 200, 200, 504, 503};
  return api_reply(kStatus[static_cast<int>(j.outcome)], o);
}

}  // namespace hub
