// API routes of fleet jobs: the list, making one, one job with a page of
// its targets, cancelling.
#include <stdlib.h>

#include <algorithm>

#include "core/json.h"
#include "core/log.h"
#include "jobs/jobs.h"
#include "web/routes.h"

namespace hub {
namespace {

constexpr size_t kPageMax = 1000;

std::string param(const ApiRequest &req, const char *key) {
  for (const auto &kv : req.query) {
    if (kv.first == key) return kv.second;
  }
  return "";
}

size_t param_num(const ApiRequest &req, const char *key, size_t def) {
  std::string v = param(req, key);
  if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos) return def;
  return static_cast<size_t>(strtoul(v.c_str(), nullptr, 10));
}

cJSON *target_json(const Job &j, const JobTarget &t) {
  cJSON *o = cJSON_CreateObject();
  cJSON_AddStringToObject(o, "gateway", t.gw.c_str());
  cJSON_AddStringToObject(o, "state", target_state_name(t.state));
  cJSON_AddNumberToObject(o, "at", static_cast<double>(t.at));
  if (!t.holder.empty()) cJSON_AddStringToObject(o, "hub", json_safe(t.holder).c_str());
  if (t.state == TargetState::kDone) {
    cJSON *reps = cJSON_AddArrayToObject(o, "replies");
    for (const std::string &r : cmd_split_replies(j.ch, t.detail)) {
      cJSON_AddItemToArray(reps, cJSON_CreateString(json_safe(r).c_str()));
    }
  } else if (!t.detail.empty()) {
    cJSON_AddStringToObject(o, "why", escaped(reinterpret_cast<const uint8_t *>(t.detail.data()), t.detail.size()).c_str());
  }
  return o;
}

}  // namespace

ApiReply api_job_create(Hub &h, const ApiRequest &req, const RouteArgs &) {
  JobRequest asked;
  if (!jobs_parse_request(req.body, &asked)) {
    return api_error(400, "want {\"channel\": \"cfg\" or \"vcom\", \"commands\": text or [...], \"ids\": [...], "
                          "\"prefixes\": [...], \"filter\": {\"state\", \"q\"}, \"deadline_s\": N}");
  }
  int status = 400;
  std::string why;
  Job *j = jobs_create(h, asked, req.who, &status, &why);
  return j ? api_reply(201, job_summary_json(*j)) : api_error(status, why);
}

ApiReply api_job_list(Hub &h, const ApiRequest &req, const RouteArgs &) {
  size_t limit = std::min(param_num(req, "limit", 100), kPageMax), offset = param_num(req, "offset", 0), n = 0;
  cJSON *o = cJSON_CreateObject();
  cJSON_AddNumberToObject(o, "total", static_cast<double>(h.jobs->jobs.size()));
  cJSON_AddNumberToObject(o, "active", static_cast<double>(jobs_active_count(h)));
  cJSON *arr = cJSON_AddArrayToObject(o, "jobs");
  for (auto it = h.jobs->jobs.rbegin(); it != h.jobs->jobs.rend() && n < offset + limit; ++it, n++) {
    if (n >= offset) cJSON_AddItemToArray(arr, job_summary_json(*it->second));
  }
  return api_reply(200, o);
}

// One job: its summary and a page of its targets (?state=&limit=&offset=).
ApiReply api_job_one(Hub &, const ApiRequest &req, const RouteArgs &a) {
  const Job &j = *a.job;
  std::string want = param(req, "state");
  TargetState s = TargetState::kPending;
  if (!want.empty() && !target_state_parse(want, &s)) {
    return api_error(400, "state: pending, sent, done, failed, expired or cancelled");
  }
  size_t limit = std::min(param_num(req, "limit", 100), kPageMax), offset = param_num(req, "offset", 0), n = 0;
  cJSON *o = job_summary_json(j);
  cJSON *arr = cJSON_AddArrayToObject(o, "items");
  for (const JobTarget &t : j.targets) {
    if (!want.empty() && t.state != s) continue;
    if (n >= offset && n < offset + limit) cJSON_AddItemToArray(arr, target_json(j, t));
    n++;
  }
  cJSON_AddNumberToObject(o, "matched", static_cast<double>(n));
  return api_reply(200, o);
}

ApiReply api_job_cancel(Hub &h, const ApiRequest &, const RouteArgs &a) {
  if (!jobs_cancel(h, *a.job)) return api_error(409, "the job has ended");
  return api_reply(200, job_summary_json(*a.job));
}

}  // namespace hub
