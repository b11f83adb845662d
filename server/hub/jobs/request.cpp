// What a job asks for, as JSON (the API's body, the broker's payload).
#include <string.h>

#include "jobs/jobs.h"
#include "core/json.h"

namespace hub {
namespace {

bool strings(const cJSON *arr, std::vector<std::string> *out) {
  if (!arr) return true;
  if (!cJSON_IsArray(arr)) return false;
  const cJSON *s = nullptr;
  cJSON_ArrayForEach(s, arr) {
    if (!cJSON_IsString(s) || !*s->valuestring) return false;
    out->push_back(s->valuestring);
  }
  return true;
}

// "commands": one a line, or an array of them.
bool commands(const cJSON *c, std::string *out) {
  if (cJSON_IsString(c)) return *out = c->valuestring, true;
  std::vector<std::string> list;
  if (!c || !strings(c, &list)) return false;
  for (const std::string &s : list) *out += s + "\n";
  return true;
}

bool filter(const cJSON *f, JobRequest *req) {
  if (!f) return true;
  const cJSON *state = cJSON_GetObjectItemCaseSensitive(f, "state"), *q = cJSON_GetObjectItemCaseSensitive(f, "q");
  if (!cJSON_IsObject(f) || (state && !cJSON_IsString(state)) || (q && !cJSON_IsString(q))) return false;
  req->filtered = true;
  req->state = state ? state->valuestring : "";
  req->q = q ? q->valuestring : "";
  return true;
}

}  // namespace

bool jobs_parse_request(const std::string &body, JobRequest *req) {
  cJSON *o = cJSON_ParseWithLength(body.data(), body.size());
  const cJSON *ch = cJSON_GetObjectItemCaseSensitive(o, "channel");
  const cJSON *dl = cJSON_GetObjectItemCaseSensitive(o, "deadline_s");
  bool ok = cJSON_IsObject(o) && cJSON_IsString(ch) && (!strcmp(ch->valuestring, "cfg") || !strcmp(ch->valuestring, "vcom")) &&
            commands(cJSON_GetObjectItemCaseSensitive(o, "commands"), &req->commands) &&
            strings(cJSON_GetObjectItemCaseSensitive(o, "ids"), &req->ids) &&
            strings(cJSON_GetObjectItemCaseSensitive(o, "prefixes"), &req->prefixes) &&
            filter(cJSON_GetObjectItemCaseSensitive(o, "filter"), req) &&
            (!dl || (cJSON_IsNumber(dl) && dl->valuedouble >= 1 && dl->valuedouble <= 4e9));
  if (ok) {
    req->ch = !strcmp(ch->valuestring, "cfg") ? Channel::kCfg : Channel::kVcom;
    req->deadline_s = dl ? static_cast<uint32_t>(dl->valuedouble) : 0;
  }
  cJSON_Delete(o);
  return ok;
}

}  // namespace hub
