// The route table and the dispatch of a request by it (routes.h).
#include "web/routes.h"

#include <stdlib.h>
#include <string.h>

#include <string>

#include "jobs/jobs.h"

namespace hub {
namespace {

constexpr Access kAnyone = Access::kAnyone, kRead = Access::kRead, kOperate = Access::kOperate;

// Matched in order: a pattern before the ones that would take its paths too.
const Route kRoutes[] = {
    {"GET", "/", kAnyone, page_fleet},
    {"GET", "/index.html", kAnyone, page_fleet},
    {"GET", "/gateway/{id}", kAnyone, page_gateway},
    {"GET", "/jobs", kAnyone, page_jobs},
    {"*", "/metrics", kRead, api_metrics},
    {"*", "/api/hub", kRead, api_hub_info},
    {"GET", "/api/gateways", kRead, api_gateway_list},
    {"GET", "/api/gateways/{gateway}/history", kRead, api_history},
    {"POST", "/api/gateways/{gateway}/cfg", kOperate, api_gateway_cfg},
    {"POST", "/api/gateways/{gateway}/vcom", kOperate, api_gateway_vcom},
    {"POST", "/api/gateways/{gateway}/verify", kOperate, api_gateway_verify},
    {"POST", "/api/gateways/{gateway}/admit", kOperate, api_gateway_admit},
    {"POST", "/api/gateways/{gateway}/hold", kOperate, api_gateway_hold},
    {"POST", "/api/gateways/{gateway}/release", kOperate, api_gateway_release},
    {"POST", "/api/gateways/{gateway}/close", kOperate, api_gateway_close},
    {"GET", "/api/gateways/{gateway}", kRead, api_gateway_one},
    {"GET", "/api/exposures", kRead, api_exposure_list},
    {"POST", "/api/exposures", kOperate, api_exposure_add},
    {"DELETE", "/api/exposures/{id?}/{port?}", kOperate, api_exposure_remove, true},
    {"GET", "/api/audit", kRead, api_audit_list},
    {"GET", "/api/jobs", kRead, api_job_list},
    {"POST", "/api/jobs", kOperate, api_job_create},
    {"POST", "/api/jobs/{job}/cancel", kOperate, api_job_cancel},
    {"GET", "/api/jobs/{job?}", kRead, api_job_one},
};

struct Capture {
  std::string_view name, text;
};
struct Captures {
  Capture at[kCapturesMax];
  size_t n = 0;
};

// The path against the pattern; a capture tries its longest text first.
bool match(std::string_view pat, std::string_view path, Captures *c) {
  size_t open = pat.find('{'), close = pat.find('}', open);
  if (open == pat.npos) return pat == path;
  if (close == pat.npos || c->n == kCapturesMax || pat.substr(0, open) != path.substr(0, open)) return false;
  std::string_view name = pat.substr(open + 1, close - open - 1), rest = path.substr(open);
  size_t least = name.empty() || name.back() != '?' ? 1 : 0;
  if (least == 0) name.remove_suffix(1);
  for (size_t n = rest.size() + 1; n-- > least;) {
    c->at[c->n++] = Capture{name, rest.substr(0, n)};
    if (match(pat.substr(close + 1), rest.substr(n), c)) return true;
    c->n--;
  }
  return false;
}

// The first row whose pattern takes the path.
const Route *path_row(const std::string &path, Captures *c) {
  for (const Route &r : kRoutes) {
    if (match(r.pattern, path, c)) return &r;
  }
  return nullptr;
}

bool takes(const Route &r, const std::string &method) { return strcmp(r.method, "*") == 0 || method == r.method; }

// The row of the path's pattern for the method.
const Route *method_row(const Route &path, const std::string &method) {
  for (const Route &r : kRoutes) {
    if (strcmp(r.pattern, path.pattern) == 0 && takes(r, method)) return &r;
  }
  return nullptr;
}

// 405's text: the methods the path's pattern takes ("GET only", "GET or POST").
std::string allowed(const Route &path) {
  std::string list;
  for (const Route &r : kRoutes) {
    if (strcmp(r.pattern, path.pattern) != 0) continue;
    list += list.empty() ? r.method : std::string(" or ") + r.method;
  }
  return list.find(' ') == std::string::npos ? list + " only" : list;
}

bool find_gateway(Hub &h, std::string_view text, RouteArgs *a) {
  return (a->gw = hub_find(h, std::string(text))) != nullptr;
}

bool find_job(Hub &h, std::string_view text, RouteArgs *a) {
  std::string n(text);
  bool number = !n.empty() && n.size() <= 15 && n.find_first_not_of("0123456789") == std::string::npos;
  return (a->job = number ? jobs_find(h, strtoull(n.c_str(), nullptr, 10)) : nullptr) != nullptr;
}

// Captures that name something that must be there.
struct Subject {
  const char *name;
  bool (*find)(Hub &h, std::string_view text, RouteArgs *a);
  const char *missing;
};
const Subject kSubjects[] = {{"gateway", find_gateway, "no such gateway"}, {"job", find_job, "no such job"}};

// The captures into the handler's arguments; false (and *why) when one names nothing.
bool resolve(Hub &h, const Captures &c, RouteArgs *a, ApiReply *why) {
  for (size_t i = 0; i < c.n; i++) {
    a->text[i] = c.at[i].text;
    for (const Subject &s : kSubjects) {
      if (c.at[i].name == s.name && !s.find(h, c.at[i].text, a)) return *why = api_error(404, s.missing), false;
    }
  }
  return true;
}

// Reads (GET, HEAD) change nothing; whatever else a request is, it is taken for a change.
bool reads(const std::string &method) { return method == "GET" || method == "HEAD"; }

// Who may make the request: its row's role, a token where no row takes it
// (unless only the pages' do), and an operate token for every change.
Access needed(const Route *path, const Route *row, const std::string &method) {
  Access a = row ? row->role : path && path->role == kAnyone ? kAnyone : kRead;
  return a != kAnyone && !reads(method) ? kOperate : a;
}

ApiReply answer(Hub &h, const ApiRequest &req, const Route *path, const Route *row, const Captures &c) {
  if (!path) return api_error(404, "no such path");
  RouteArgs a;
  ApiReply missing;
  if (!resolve(h, c, &a, &missing)) return missing;
  if (!row) return api_error(405, allowed(*path));
  return row->handler(h, req, a);
}

}  // namespace

const char *access_name(Access a) {
  static const char *const kNames[] = {"anyone", "read", "operate"};
  return kNames[static_cast<int>(a)];
}

const Route *api_routes(size_t *count) {
  *count = sizeof kRoutes / sizeof kRoutes[0];
  return kRoutes;
}

ApiReply api_handle(Hub &h, const ApiRequest &req) {
  h.m.http_requests++;
  Captures c;
  const Route *path = path_row(req.path, &c);
  const Route *row = path ? method_row(*path, req.method) : nullptr;
  if (path && !row && path->no_405) path = nullptr;
  Access need = needed(path, row, req.method);
  if (need == kAnyone) return answer(h, req, path, row, c);
  if (!req.authorized) return api_error(401, "a bearer token is needed");
  if (need == kOperate && req.role != Role::kOperate) return api_read_only(h, req);
  ApiReply r = answer(h, req, path, row, c);
  if (need == kOperate && r.ticket == 0) api_audit(h, req, r);  // a reply that waits: when it comes
  return r;
}

}  // namespace hub
