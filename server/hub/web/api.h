// The HTTP API without sockets: a request (method, path, query, body,
// whether its token was good and its role) in, a reply out, by the route
// table (routes.h, routes.cpp; trm-hub(8) lists the routes). Commands and
// verify challenges answer later: their reply carries a ticket, and the
// HTTP layer waits for the exchange with that ticket (api_exchange_reply).
#ifndef HUB_API_H
#define HUB_API_H

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

struct cJSON;

#include "gateways/channels.h"
#include "core/hub.h"

namespace hub {

struct ApiRequest {
  std::string method, path, body;
  std::vector<std::pair<std::string, std::string>> query;
  bool authorized = true;
  std::string who = "anonymous";  // the token's name
  Role role = Role::kOperate;
  // Hears the end of the command exchange a reply with a ticket waits for
  // (the HTTP layer; null: nobody waits).
  ExchangeDone done = nullptr;
};

struct ApiReply {
  int status = 200;
  std::string type = "application/json";
  std::string body;
  uint64_t ticket = 0;  // non-zero: the reply comes with the job's end
};

constexpr size_t kApiBodyMax = 65536;

// A reply with a JSON body (taken), and one with {"error": why}.
ApiReply api_reply(int status, cJSON *body);
ApiReply api_error(int status, const std::string &why);
ApiReply api_handle(Hub &h, const ApiRequest &req);
ApiReply api_exchange_reply(const Exchange &j);

// The audit log (api_history.cpp): a read token's refusal (403, audited),
// and a change's outcome (a reply that waited for an exchange: when it comes).
ApiReply api_read_only(Hub &h, const ApiRequest &req);
void api_audit(Hub &h, const ApiRequest &req, const ApiReply &reply);

// Prometheus text of the hub's counters (metrics.cpp).
std::string metrics_text(const Hub &h);

}  // namespace hub

#endif
