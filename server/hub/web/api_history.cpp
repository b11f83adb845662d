// API routes of a gateway's history (?from=&to=&kind=state,signal,traffic&limit=&before=&bucket=)
// and the audit log (?from=&to=&who=&gateway=&limit=&before=), the
// read-only role's refusal, and the audit of every request that changes
// something.
//
// Times are epoch milliseconds or ISO 8601 UTC (2026-12-08, 2026-12-08T20:41:07Z,
// with a fraction or an offset); rows come newest first, at most limit of
// each kind; "more" and "before" say where the next page begins.
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "core/json.h"
#include "store/audit.h"
#include "store/journal.h"
#include "web/routes.h"

namespace hub {
namespace {

constexpr size_t kRowsDefault = 1000;
constexpr size_t kRowsMax = 5000;

std::string param(const ApiRequest &req, const char *key) {
  for (const auto &kv : req.query) {
    if (kv.first == key) return kv.second;
  }
  return "";
}


// 2026-12-08[T20:41[:07[.123]]][Z|+01:00]
bool parse_iso(const char *s, int64_t *ms) {
  tm t{};
  int n = 0, oh = 0, om = 0;
  if (sscanf(s, "%4d-%2d-%2d%n", &t.tm_year, &t.tm_mon, &t.tm_mday, &n) != 3) return false;
  s += n;
  if (*s == 'T' && sscanf(s, "T%2d:%2d%n", &t.tm_hour, &t.tm_min, &n) == 2) s += n;
  if (*s == ':' && sscanf(s, ":%2d%n", &t.tm_sec, &n) == 1) s += n;
  double frac = 0;
  if (*s == '.' && sscanf(s, "%lf%n", &frac, &n) == 1) s += n;
  int sign = *s == '+' ? 1 : *s == '-' ? -1 : 0;
  if (sign && sscanf(s + 1, "%2d:%2d%n", &oh, &om, &n) == 2) s += 1 + n;
  if (*s == 'Z') s++;
  if (*s != '\0' || t.tm_mon < 1 || t.tm_mon > 12 || t.tm_mday < 1 || t.tm_mday > 31) return false;
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  int64_t secs = static_cast<int64_t>(timegm(&t)) - sign * (oh * 3600 + om * 60);
  *ms = secs * 1000 + static_cast<int64_t>(frac * 1000);
  return true;
}

// Epoch milliseconds or ISO 8601; def when absent; false when unreadable.
bool time_param(const ApiRequest &req, const char *key, int64_t def, int64_t *ms) {
  std::string v = param(req, key);
  if (v.empty()) return *ms = def, true;
  if (v.size() <= 15 && v.find_first_not_of("0123456789") == std::string::npos) {
    *ms = strtoll(v.c_str(), nullptr, 10);
    return true;
  }
  return parse_iso(v.c_str(), ms);
}

bool span_params(const ApiRequest &req, Span *s, std::string *why) {
  if (!time_param(req, "from", 0, &s->from) || !time_param(req, "to", INT64_MAX, &s->to) ||
      !time_param(req, "before", INT64_MAX, &s->before)) {
    return *why = "from, to and before: epoch milliseconds or ISO 8601 (2026-12-08T20:41:07Z)", false;
  }
  std::string limit = param(req, "limit"), bucket = param(req, "bucket");
  s->limit = limit.empty() ? kRowsDefault : strtoul(limit.c_str(), nullptr, 10);
  if (s->limit < 1 || s->limit > kRowsMax) return *why = "limit: 1 to " + std::to_string(kRowsMax), false;
  s->bucket_ms = bucket.empty() ? 0 : strtoll(bucket.c_str(), nullptr, 10) * 1000;
  if (!bucket.empty() && s->bucket_ms < 60000) return *why = "bucket: 60 seconds or more", false;
  return true;
}

using JournalRead = cJSON *(Journal::*)(const std::string &, const Span &);
struct HistKind {
  const char *name;
  JournalRead query;
};
const HistKind kKinds[] = {{"state", &Journal::events}, {"signal", &Journal::samples}, {"traffic", &Journal::traffic}};

ApiReply unavailable(const Journal &j) {
  return api_error(503, "the registry's database does not answer: " + j.query_error());
}

ApiReply no_journal() { return api_error(503, "no history is kept: the hub runs without a registry ([registry] path or url)"); }

// The gateway a change concerns: /api/gateways/<id>/..., /api/exposures/<id>/<port>, or the body's "gateway".
std::string changed_gateway(const ApiRequest &req) {
  const std::string &p = req.path;
  for (const char *prefix : {"/api/gateways/", "/api/exposures/"}) {
    size_t n = strlen(prefix);
    if (p.compare(0, n, prefix) == 0 && p.size() > n) return p.substr(n, p.rfind('/') > n ? p.rfind('/') - n : p.npos);
  }
  cJSON *o = cJSON_ParseWithLength(req.body.data(), req.body.size());
  const cJSON *gw = cJSON_GetObjectItemCaseSensitive(o, "gateway");
  std::string id = cJSON_IsString(gw) ? gw->valuestring : "";
  cJSON_Delete(o);
  return id;
}

// "200 done", "403 held", "201 job 7", ...: the status and the reply's
// outcome or error, or the job it made.
std::string outcome_text(const ApiReply &r) {
  std::string out = std::to_string(r.status);
  cJSON *o = cJSON_ParseWithLength(r.body.data(), r.body.size());
  const cJSON *job = cJSON_GetObjectItemCaseSensitive(o, "id");
  if (r.status == 201 && cJSON_IsNumber(job)) out += " job " + std::to_string(static_cast<uint64_t>(job->valuedouble));
  for (const char *key : {"outcome", "error"}) {
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(o, key);
    if (cJSON_IsString(v)) out += std::string(" ") + v->valuestring;
  }
  cJSON_Delete(o);
  return out;
}

}  // namespace

void api_audit(Hub &h, const ApiRequest &req, const ApiReply &reply) {
  audit_record(h, req.who, req.method + " " + req.path, changed_gateway(req), outcome_text(reply));
}

ApiReply api_read_only(Hub &h, const ApiRequest &req) {
  ApiReply r = api_error(403, "the token \"" + req.who + "\" may only read");
  api_audit(h, req, r);
  return r;
}

ApiReply api_history(Hub &h, const ApiRequest &req, const RouteArgs &a) {
  if (!h.journal) return no_journal();
  std::string id(a.text[0]);
  Span s;
  std::string why, kinds = param(req, "kind");
  if (!span_params(req, &s, &why)) return api_error(400, why);
  cJSON *o = cJSON_CreateObject();
  cJSON_AddStringToObject(o, "gateway", id.c_str());
  cJSON_AddNumberToObject(o, "from", static_cast<double>(s.from));
  if (s.to != INT64_MAX) cJSON_AddNumberToObject(o, "to", static_cast<double>(s.to));
  size_t asked = 0;
  for (const HistKind &k : kKinds) {
    bool wanted = kinds.empty() || ("," + kinds + ",").find(std::string(",") + k.name + ",") != std::string::npos;
    cJSON *rows = wanted ? ((*h.journal).*k.query)(id, s) : nullptr;
    if (wanted && !rows) return cJSON_Delete(o), unavailable(*h.journal);
    if (wanted) cJSON_AddItemToObject(o, k.name, rows), asked++;
  }
  if (asked == 0) {
    cJSON_Delete(o);
    return api_error(400, "kind: state, signal or traffic (comma-separated)");
  }
  return api_reply(200, o);
}

ApiReply api_audit_list(Hub &h, const ApiRequest &req, const RouteArgs &) {
  if (!h.journal) return no_journal();
  Span s;
  std::string why;
  if (!span_params(req, &s, &why)) return api_error(400, why);
  cJSON *o = h.journal->audit(param(req, "who"), param(req, "gateway"), s);
  if (!o) return unavailable(*h.journal);
  cJSON_AddNumberToObject(o, "from", static_cast<double>(s.from));
  if (s.to != INT64_MAX) cJSON_AddNumberToObject(o, "to", static_cast<double>(s.to));
  return api_reply(200, o);
}

}  // namespace hub
