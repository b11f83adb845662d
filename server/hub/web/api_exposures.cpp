// API routes of exposures: the list, adding one, removing one.

#include <string>

#include "core/json.h"
#include "gateways/exposures.h"
#include "store/registry.h"
#include "web/routes.h"

namespace hub {
namespace {

cJSON *exposure_json(const Exposure &e) {
  cJSON *o = cJSON_CreateObject();
  cJSON_AddStringToObject(o, "gateway", e.conf.gateway.c_str());
  cJSON_AddNumberToObject(o, "port", e.conf.port);
  cJSON_AddStringToObject(o, "kind", exp_kind_name(e.conf.kind, e.conf.tls));
  cJSON_AddStringToObject(o, "listen", (e.conf.listen.host + ":" + std::to_string(e.bound_port)).c_str());
  cJSON_AddBoolToObject(o, "from_api", e.from_api);
  cJSON_AddNumberToObject(o, "clients", static_cast<double>(e.clients.size()));
  cJSON_AddNumberToObject(o, "queued", static_cast<double>(e.mb.queue.size()));
  cJSON_AddNumberToObject(o, "requests", static_cast<double>(e.requests));
  cJSON_AddNumberToObject(o, "timeouts", static_cast<double>(e.timeouts));
  return o;
}

}  // namespace

ApiReply api_exposure_list(Hub &h, const ApiRequest &, const RouteArgs &) {
  cJSON *arr = cJSON_CreateArray();
  for (const auto &e : h.ex->list) cJSON_AddItemToArray(arr, exposure_json(*e));
  return api_reply(200, arr);
}

// {"gateway": ID, "port": 1|2, "kind": one of kExpKindNames, "listen": "addr:port"}
ApiReply api_exposure_add(Hub &h, const ApiRequest &req, const RouteArgs &) {
  cJSON *o = cJSON_ParseWithLength(req.body.data(), req.body.size());
  const cJSON *gw = cJSON_GetObjectItemCaseSensitive(o, "gateway");
  const cJSON *port = cJSON_GetObjectItemCaseSensitive(o, "port");
  const cJSON *kind = cJSON_GetObjectItemCaseSensitive(o, "kind");
  const cJSON *listen = cJSON_GetObjectItemCaseSensitive(o, "listen");
  ExposureConf c;
  bool ok = cJSON_IsString(gw) && cJSON_IsNumber(port) && (port->valueint == 1 || port->valueint == 2) &&
            (!kind || (cJSON_IsString(kind) && exp_kind_parse(kind->valuestring, &c.kind, &c.tls))) &&
            (!listen || (cJSON_IsString(listen) && parse_endpoint(listen->valuestring, &c.listen)));
  if (ok) {
    c.gateway = gw->valuestring;
    c.port = static_cast<unsigned>(port->valueint);
  }
  cJSON_Delete(o);
  if (!ok) {
    return api_error(400, std::string("want {\"gateway\": ID, \"port\": 1 or 2, \"kind\": ") + kExpKindNames +
                              ", \"listen\": \"addr:port\"}");
  }
  std::string why;
  Exposure *e = exp_add(h, c, true, &why);
  if (!e) return api_error(409, why);
  c.listen.port = e->bound_port;  // the same port after a restart
  if (h.reg) h.reg->put_exposure(c, true);
  return api_reply(201, exposure_json(*e));
}

// /api/exposures/<id>/<port>
ApiReply api_exposure_remove(Hub &h, const ApiRequest &, const RouteArgs &a) {
  std::string gw(a.text[0]), port(a.text[1]);
  unsigned p = port == "1" ? 1 : port == "2" ? 2 : 0;
  Exposure *e = exp_find(h, gw, p);
  if (!e) return api_error(404, "no such exposure");
  ExposureConf c = e->conf;
  exp_remove(h, gw, p);
  if (h.reg) h.reg->put_exposure(c, false);
  return api_reply(200, cJSON_CreateObject());
}

}  // namespace hub
