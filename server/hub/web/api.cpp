// API routes.
#include "web/api.h"

#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "gateways/exposures.h"
#include "gateways/identity.h"
#include "core/query.h"
#include "gateways/session.h"
#include "core/json.h"
#include "core/log.h"
#include "mqtt/bridge.h"
#include "store/registry.h"

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

ApiReply list_gateways(Hub &h, const ApiRequest &req) {
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

cJSON *exposure_json(const Exposure &e) {
  cJSON *o = cJSON_CreateObject();
  cJSON_AddStringToObject(o, "gateway", e.conf.gateway.c_str());
  cJSON_AddNumberToObject(o, "port", e.conf.port);
  cJSON_AddStringToObject(o, "kind", e.conf.kind == ExpKind::kRaw ? "raw" : "modbus");
  cJSON_AddStringToObject(o, "listen", (e.conf.listen.host + ":" + std::to_string(e.bound_port)).c_str());
  cJSON_AddBoolToObject(o, "from_api", e.from_api);
  cJSON_AddNumberToObject(o, "clients", static_cast<double>(e.clients.size()));
  cJSON_AddNumberToObject(o, "queued", static_cast<double>(e.mb.queue.size()));
  cJSON_AddNumberToObject(o, "requests", static_cast<double>(e.requests));
  cJSON_AddNumberToObject(o, "timeouts", static_cast<double>(e.timeouts));
  return o;
}

ApiReply list_exposures(Hub &h) {
  cJSON *arr = cJSON_CreateArray();
  for (const auto &e : h.ex->list) cJSON_AddItemToArray(arr, exposure_json(*e));
  return api_reply(200, arr);
}

// {"gateway": ID, "port": 1|2, "kind": "modbus"|"raw", "listen": "addr:port"}
ApiReply add_exposure(Hub &h, const ApiRequest &req) {
  cJSON *o = cJSON_ParseWithLength(req.body.data(), req.body.size());
  const cJSON *gw = cJSON_GetObjectItemCaseSensitive(o, "gateway");
  const cJSON *port = cJSON_GetObjectItemCaseSensitive(o, "port");
  const cJSON *kind = cJSON_GetObjectItemCaseSensitive(o, "kind");
  const cJSON *listen = cJSON_GetObjectItemCaseSensitive(o, "listen");
  ExposureConf c;
  bool ok = cJSON_IsString(gw) && cJSON_IsNumber(port) && (port->valueint == 1 || port->valueint == 2) &&
            (!kind || (cJSON_IsString(kind) && (!strcmp(kind->valuestring, "raw") || !strcmp(kind->valuestring, "modbus")))) &&
            (!listen || (cJSON_IsString(listen) && parse_endpoint(listen->valuestring, &c.listen)));
  if (ok) {
    c.gateway = gw->valuestring;
    c.port = static_cast<unsigned>(port->valueint);
    c.kind = kind && !strcmp(kind->valuestring, "raw") ? ExpKind::kRaw : ExpKind::kModbus;
  }
  cJSON_Delete(o);
  if (!ok) return api_error(400, "want {\"gateway\": ID, \"port\": 1 or 2, \"kind\": \"modbus\" or \"raw\", \"listen\": \"addr:port\"}");
  std::string why;
  Exposure *e = exp_add(h, c, true, &why);
  if (!e) return api_error(409, why);
  c.listen.port = e->bound_port;  // the same port after a restart
  if (h.reg) h.reg->put_exposure(c, true);
  return api_reply(201, exposure_json(*e));
}

ApiReply remove_exposure(Hub &h, const std::string &gw, const std::string &port) {
  unsigned p = port == "1" ? 1 : port == "2" ? 2 : 0;
  Exposure *e = exp_find(h, gw, p);
  if (!e) return api_error(404, "no such exposure");
  ExposureConf c = e->conf;
  exp_remove(h, gw, p);
  if (h.reg) h.reg->put_exposure(c, false);
  return api_reply(200, cJSON_CreateObject());
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

ApiReply verify(Hub &h, GatewayRecord &r, const ApiRequest &req) {
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

// Optional {"fingerprint": "<64 hex digits>"}: that key; none: the bound
// key, or else the pending one.
ApiReply revoke(Hub &h, GatewayRecord &r, const ApiRequest &req) {
  Fingerprint f{};
  bool named = !req.body.empty();
  if (named) {
    cJSON *o = cJSON_ParseWithLength(req.body.data(), req.body.size());
    const cJSON *fp = cJSON_GetObjectItemCaseSensitive(o, "fingerprint");
    bool ok = cJSON_IsString(fp) && fp_parse(fp->valuestring, strlen(fp->valuestring), &f);
    cJSON_Delete(o);
    if (!ok) return api_error(400, "want {\"fingerprint\": 64 hex digits} or nothing");
  }
  std::string why;
  if (!gw_key_revoke(h, r, named ? &f : nullptr, &why)) return api_error(409, why);
  gw_changed(h, r, true);
  return api_reply(200, gateway_json(h, r));
}

ApiReply gateway_action(Hub &h, GatewayRecord &r, const std::string &action, const ApiRequest &req) {
  std::string why;
  if (action == "cfg" || action == "vcom") {
    Channel ch = action == "cfg" ? Channel::kCfg : Channel::kVcom;
    return submitted(cmd_submit(h, r, ch, command_text(req.body), req.done, &why), why, r);
  }
  if (action == "verify") return verify(h, r, req);
  if (action == "admit") {
    gw_key_admit(h, r);  // a pending key is bound
    return admission(h, r, Admission::kAdmitted);
  }
  if (action == "revoke") return revoke(h, r, req);
  if (action == "hold") return admission(h, r, Admission::kHeld);
  if (action == "release") return admission(h, r, Admission::kByList);
  if (action == "close") {
    if (!gw_online(r)) return api_error(503, "gateway offline");
    gw_end(h, *r.session, "closed through the API");
    return api_reply(200, gateway_json(h, r));
  }
  return api_error(404, "no such action");
}

const char *const kActions[] = {"cfg", "vcom", "verify", "admit", "hold", "release", "close", "history", "revoke"};

// /api/gateways/<id>[/<action>]; the ID is whatever comes before a known action.
ApiReply gateways(Hub &h, const ApiRequest &req, const std::string &rest) {
  std::string id = rest, action;
  size_t slash = rest.rfind('/');
  if (slash != std::string::npos) {
    std::string last = rest.substr(slash + 1);
    for (const char *a : kActions) {
      if (last == a) action = last;
    }
    if (!action.empty()) id = rest.substr(0, slash);
  }
  GatewayRecord *r = hub_find(h, id);
  if (!r) return api_error(404, "no such gateway");
  if (action.empty() || action == "history") {
    if (req.method != "GET") return api_error(405, "GET only");
    return action.empty() ? api_reply(200, gateway_json(h, *r)) : api_history(h, req, id);
  }
  if (req.method != "POST") return api_error(405, "POST only");
  return gateway_action(h, *r, action, req);
}

ApiReply hub_info(Hub &h, const ApiRequest &req) {
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

ApiReply text(int status, const char *type, const std::string &body) {
  ApiReply r;
  r.status = status;
  r.type = type;
  r.body = body;
  return r;
}

// The pages hold no data: they are served without a token.
const std::string *page_for(const std::string &path) {
  if (path == "/" || path == "/index.html") return &fleet_page_html();
  if (path.compare(0, 9, "/gateway/") == 0 && path.size() > 9) return &gateway_page_html();
  return nullptr;
}

ApiReply route(Hub &h, const ApiRequest &req) {
  const std::string &p = req.path;
  if (p == "/metrics") return text(200, "text/plain; version=0.0.4", metrics_text(h));
  if (p == "/api/hub") return hub_info(h, req);
  if (p == "/api/audit") return req.method == "GET" ? api_audit_list(h, req) : api_error(405, "GET only");
  if (p == "/api/jobs" || p.compare(0, 10, "/api/jobs/") == 0) return api_jobs(h, req);
  if (p == "/api/gateways") return req.method == "GET" ? list_gateways(h, req) : api_error(405, "GET only");
  if (p.compare(0, 14, "/api/gateways/") == 0 && p.size() > 14) return gateways(h, req, p.substr(14));
  if (p == "/api/exposures") {
    if (req.method == "GET") return list_exposures(h);
    return req.method == "POST" ? add_exposure(h, req) : api_error(405, "GET or POST");
  }
  if (p.compare(0, 15, "/api/exposures/") == 0 && req.method == "DELETE") {
    std::string rest = p.substr(15);
    size_t slash = rest.rfind('/');
    if (slash != std::string::npos) return remove_exposure(h, rest.substr(0, slash), rest.substr(slash + 1));
  }
  return api_error(404, "no such path");
}

}  // namespace

ApiReply api_handle(Hub &h, const ApiRequest &req) {
  h.m.http_requests++;
  if (const std::string *page = page_for(req.path)) {
    return req.method == "GET" ? text(200, "text/html; charset=utf-8", *page) : api_error(405, "GET only");
  }
  if (req.path == "/jobs") {
    return req.method == "GET" ? text(200, "text/html; charset=utf-8", jobs_page()) : api_error(405, "GET only");
  }
  if (!req.authorized) return api_error(401, "a bearer token is needed");
  if (!api_changes(req)) return route(h, req);
  if (req.role != Role::kOperate) return api_read_only(h, req);
  ApiReply r = route(h, req);
  if (r.ticket == 0) api_audit(h, req, r);
  return r;
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
