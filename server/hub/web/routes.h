// The HTTP routes: one table (routes.cpp) of method, path pattern, who may
// call it and its handler. trm-hub(8) lists the same routes for operators
// (tests/docs/check_man.py holds the two to each other).
//
// A pattern is literal text and captures: {name} takes one or more
// characters, '/' included, as many as the rest of the pattern allows;
// {name?} may take none. A capture named gateway must name a known
// gateway, one named job a job (404 "no such gateway", "no such job"
// otherwise); the handler has them found. The first row whose pattern
// matches the path decides, with the rows of the same pattern for the
// other methods (405 "GET only", "GET or POST": another method; a * row
// takes any). No row: 404 "no such path".
//
// Who may call it: anyone (the pages hold no data), or a token (401
// without); a read token may only read (GET, HEAD: 403 for the rest,
// whatever the row), and every request that is not a read goes to the
// audit log with its outcome.
#ifndef HUB_ROUTES_H
#define HUB_ROUTES_H

#include <stddef.h>
#include <stdint.h>

#include <string_view>

#include "web/api.h"

namespace hub {

struct Job;

enum class Access : uint8_t { kAnyone, kRead, kOperate };
const char *access_name(Access a);  // "anyone", "read", "operate"

// What a request's path captured.
constexpr size_t kCapturesMax = 2;
struct RouteArgs {
  std::string_view text[kCapturesMax];  // in the pattern's order
  GatewayRecord *gw = nullptr;          // {gateway}
  Job *job = nullptr;                   // {job}
};

using RouteHandler = ApiReply (*)(Hub &h, const ApiRequest &req, const RouteArgs &a);

struct Route {
  const char *method;  // "*": any
  const char *pattern;
  Access role;
  RouteHandler handler;
  // Another method on this path is answered as a path that is not there
  // (404), not with 405.
  bool no_405 = false;
};

// The table, for those that list it.
const Route *api_routes(size_t *count);

// The handlers. The pages (pages.cpp):
ApiReply page_fleet(Hub &h, const ApiRequest &req, const RouteArgs &a);
ApiReply page_gateway(Hub &h, const ApiRequest &req, const RouteArgs &a);
ApiReply page_jobs(Hub &h, const ApiRequest &req, const RouteArgs &a);
// The hub, its metrics, gateways, exposures (api.cpp):
ApiReply api_metrics(Hub &h, const ApiRequest &req, const RouteArgs &a);
ApiReply api_hub_info(Hub &h, const ApiRequest &req, const RouteArgs &a);
ApiReply api_gateway_list(Hub &h, const ApiRequest &req, const RouteArgs &a);
ApiReply api_gateway_one(Hub &h, const ApiRequest &req, const RouteArgs &a);
ApiReply api_gateway_cfg(Hub &h, const ApiRequest &req, const RouteArgs &a);
ApiReply api_gateway_vcom(Hub &h, const ApiRequest &req, const RouteArgs &a);
ApiReply api_gateway_verify(Hub &h, const ApiRequest &req, const RouteArgs &a);
ApiReply api_gateway_admit(Hub &h, const ApiRequest &req, const RouteArgs &a);
ApiReply api_gateway_hold(Hub &h, const ApiRequest &req, const RouteArgs &a);
ApiReply api_gateway_release(Hub &h, const ApiRequest &req, const RouteArgs &a);
ApiReply api_gateway_close(Hub &h, const ApiRequest &req, const RouteArgs &a);
ApiReply api_exposure_list(Hub &h, const ApiRequest &req, const RouteArgs &a);
ApiReply api_exposure_add(Hub &h, const ApiRequest &req, const RouteArgs &a);
ApiReply api_exposure_remove(Hub &h, const ApiRequest &req, const RouteArgs &a);
// A gateway's history and the audit log (api_history.cpp):
ApiReply api_history(Hub &h, const ApiRequest &req, const RouteArgs &a);
ApiReply api_audit_list(Hub &h, const ApiRequest &req, const RouteArgs &a);
// Fleet jobs (api_jobs.cpp):
ApiReply api_job_list(Hub &h, const ApiRequest &req, const RouteArgs &a);
ApiReply api_job_create(Hub &h, const ApiRequest &req, const RouteArgs &a);
ApiReply api_job_one(Hub &h, const ApiRequest &req, const RouteArgs &a);
ApiReply api_job_cancel(Hub &h, const ApiRequest &req, const RouteArgs &a);

}  // namespace hub

#endif
