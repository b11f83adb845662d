// The HTTP API without sockets: a request (method, path, query, body,
// whether its token was good) in, a reply out. Commands and verify
// challenges answer later: their reply carries a ticket, and the HTTP layer
// waits for the job with that ticket (api_exchange_reply).
//
//   GET    /                              the fleet page (page_fleet.cpp)
//   GET    /gateway/<id>                  a gateway's page (page_gateway.cpp)
//   GET    /metrics                       Prometheus text
//   GET    /api/hub                       the hub, its counters, the token's role
//   GET    /api/gateways[?state=&q=&sort=&dir=&limit=&offset=]   (at most 1000 a page, fleet.h;
//                                         state: all, online, held, offline, conflict, never, attention)
//   GET    /api/gateways/<id>
//   POST   /api/gateways/<id>/cfg         commands in the body, one a line
//   POST   /api/gateways/<id>/vcom
//   POST   /api/gateways/<id>/verify      optional {"x": X, "y": Y}
//   POST   /api/gateways/<id>/admit | hold | release | close   (admit binds a pending key)
//   POST   /api/gateways/<id>/revoke      optional {"fingerprint"}: its key revoked, its link ended
//   GET    /api/exposures
//   POST   /api/exposures                 {"gateway", "port", "kind", "listen"}
//   DELETE /api/exposures/<id>/<port>
//   GET    /api/gateways/<id>/history     state changes, signal, traffic (apihist.cpp)
//   GET    /api/audit                     changes made, by whom
//   GET    /jobs                          the jobs view (page_jobs.cpp)
//   GET    /api/jobs[?limit=&offset=]     fleet jobs, newest first (apijobs.cpp)
//   POST   /api/jobs                      {"channel", "commands", "ids", "prefixes", "filter", "deadline_s"}
//   GET    /api/jobs/<id>[?state=&limit=&offset=]   a job and a page of its targets
//   POST   /api/jobs/<id>/cancel
//
// A read token may only GET (403 for the rest); every other request is a
// change and goes to the audit log with its outcome.
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

// The history and the audit log (apihist.cpp).
bool api_changes(const ApiRequest &req);  // not a GET
ApiReply api_read_only(Hub &h, const ApiRequest &req);  // 403, audited
ApiReply api_history(Hub &h, const ApiRequest &req, const std::string &id);
ApiReply api_audit_list(Hub &h, const ApiRequest &req);
// A change's outcome to the audit log (a reply that waited for a job: when it comes).
void api_audit(Hub &h, const ApiRequest &req, const ApiReply &reply);

// Fleet jobs: /api/jobs and below (apijobs.cpp).
ApiReply api_jobs(Hub &h, const ApiRequest &req);

// Prometheus text of the hub's counters (metrics.cpp).
std::string metrics_text(const Hub &h);
// The pages (page_*.cpp): the fleet, and one gateway's (/gateway/<id>).
const std::string &fleet_page_html();
const std::string &gateway_page_html();
// A document of the pages' style and helper script with a page's own.
std::string page_document(const char *title, const char *style, const char *body, const char *script);
const char *plot_script();
// The jobs view (page_jobs.cpp).
const std::string &jobs_page();

}  // namespace hub

#endif
