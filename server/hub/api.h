// The HTTP API without sockets: a request (method, path, query, body,
// whether its token was good) in, a reply out. Commands and verify
// challenges answer later: their reply carries a ticket, and the HTTP layer
// waits for the job with that ticket (api_job_reply).
//
//   GET    /                              the status page
//   GET    /metrics                       Prometheus text
//   GET    /api/hub                       the hub and its counters
//   GET    /api/gateways[?state=&q=&limit=&offset=]   (at most 1000 a page)
//   GET    /api/gateways/<id>
//   POST   /api/gateways/<id>/cfg         commands in the body, one a line
//   POST   /api/gateways/<id>/vcom
//   POST   /api/gateways/<id>/verify      optional {"x": X, "y": Y}
//   POST   /api/gateways/<id>/admit | hold | release | close
//   GET    /api/exposures
//   POST   /api/exposures                 {"gateway", "port", "kind", "listen"}
//   DELETE /api/exposures/<id>/<port>
#ifndef HUB_API_H
#define HUB_API_H

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "commands.h"
#include "hub.h"

namespace hub {

struct ApiRequest {
  std::string method, path, body;
  std::vector<std::pair<std::string, std::string>> query;
  bool authorized = true;
};

struct ApiReply {
  int status = 200;
  std::string type = "application/json";
  std::string body;
  uint64_t ticket = 0;  // non-zero: the reply comes with the job's end
};

constexpr size_t kApiBodyMax = 65536;

ApiReply api_handle(Hub &h, const ApiRequest &req);
ApiReply api_job_reply(const Job &j);

// Prometheus text of the hub's counters (metrics.cpp).
std::string metrics_text(const Hub &h);
// The status page (page.cpp).
const std::string &status_page();

}  // namespace hub

#endif
