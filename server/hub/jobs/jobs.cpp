// Fleet jobs: making one (its selection resolved into targets), cancelling,
// the jobs kept after a restart, and their JSON.
#include "jobs/jobs.h"

#include <algorithm>
#include <set>

#include "core/query.h"
#include "core/json.h"
#include "core/log.h"
#include "core/packet.h"

namespace hub {
namespace {

// IDs in natural order (10.0.0.2 before 10.0.0.10), as the pages list them.
struct NaturalLess {
  bool operator()(const std::string &a, const std::string &b) const { return natural_cmp(a, b) < 0; }
};
using IdSet = std::set<std::string, NaturalLess>;

// The gateways a request selects, in ID order; false with a reason.
bool resolve(Hub &h, const JobRequest &req, IdSet *out, std::string *why) {
  for (const std::string &id : req.ids) {
    if (!id_usable(reinterpret_cast<const uint8_t *>(id.data()), id.size())) return *why = "bad gateway ID", false;
    out->insert(id);
  }
  std::string q = lower_ascii(req.q);
  for (const auto &kv : h.records) {
    const GatewayRecord &r = *kv.second;
    bool hit = req.filtered && gw_matches(r, req.state, q, h.wall_ms / 1000);
    for (size_t i = 0; !hit && i < req.prefixes.size(); i++) hit = r.id.compare(0, req.prefixes[i].size(), req.prefixes[i]) == 0;
    if (hit) out->insert(r.id);
  }
  return true;
}

cJSON *strings_json(const std::vector<std::string> &list) {
  cJSON *arr = cJSON_CreateArray();
  for (const std::string &s : list) cJSON_AddItemToArray(arr, cJSON_CreateString(json_safe(s).c_str()));
  return arr;
}

std::string selection_text(const JobRequest &req) {
  cJSON *o = cJSON_CreateObject();
  if (!req.ids.empty()) cJSON_AddItemToObject(o, "ids", strings_json(req.ids));
  if (!req.prefixes.empty()) cJSON_AddItemToObject(o, "prefixes", strings_json(req.prefixes));
  if (req.filtered) {
    cJSON *f = cJSON_AddObjectToObject(o, "filter");
    cJSON_AddStringToObject(f, "state", json_safe(req.state).c_str());
    cJSON_AddStringToObject(f, "q", json_safe(req.q).c_str());
  }
  return json_take(o);
}

// Room for one more job: the oldest finished one goes when all are kept.
bool make_room(Hub &h) {
  Jobs &js = *h.jobs;
  if (js.jobs.size() < h.cfg.jobs.keep) return true;
  for (auto it = js.jobs.begin(); it != js.jobs.end(); ++it) {
    if (jobs_active(*it->second)) continue;
    if (h.jobstore) h.jobstore->drop_job(it->first);
    js.jobs.erase(it);
    return true;
  }
  return false;
}

Job *refuse(int *status, int code, std::string *why, const std::string &text) {
  *status = code;
  *why = text;
  return nullptr;
}

// A job kept or made elsewhere: its targets counted, the pending ones
// queued while it is open. After a restart, a target this hub had sent
// (or a hub of old, which kept no holder) fails.
void adopt(Hub &h, std::unique_ptr<Job> j, bool restart) {
  Jobs &js = *h.jobs;
  std::sort(j->targets.begin(), j->targets.end(),
            [](const JobTarget &a, const JobTarget &b) { return natural_cmp(a.gw, b.gw) < 0; });
  uint64_t n = j->id - js.id_base;  // this hub's n-th job, if its own
  if (j->id > js.id_base && n < kJobIdsPerHub) js.next_id = std::max(js.next_id, n + 1);
  bool open = !j->cancelled && h.wall_ms < j->deadline;
  for (uint32_t k = 0; k < j->targets.size(); k++) {
    JobTarget &t = j->targets[k];
    j->count[static_cast<int>(t.state)]++;
    bool mine = t.holder.empty() || t.holder == h.cfg.hub_id;
    if (t.state == TargetState::kSent && restart && mine) {
      jobs_set_target(h, *j, k, TargetState::kFailed, "the hub restarted before the reply");
    } else if (t.state == TargetState::kPending && open) {
      jobs_queue_target(h, *j, k);
    }
  }
  j->dirty = true;
  Job &kept = *j;
  js.jobs.emplace(j->id, std::move(j));
  if (!open) jobs_close(h, kept, kept.cancelled ? TargetState::kCancelled : TargetState::kExpired);
}

}  // namespace

void jobs_queue_target(Hub &h, const Job &j, uint32_t k) {
  const std::string &id = j.targets[k].gw;
  GatewayRecord *r = hub_find(h, id);
  if (r && gw_admitted(*r)) {
    h.jobs->ready.push_back(TargetRef{j.id, k});
  } else {
    h.jobs->waiting[id].push_back(TargetRef{j.id, k});
  }
}

int jobs_target_of(const Job &j, const std::string &gw) {
  auto it = std::lower_bound(j.targets.begin(), j.targets.end(), gw,
                             [](const JobTarget &t, const std::string &id) { return natural_cmp(t.gw, id) < 0; });
  return it != j.targets.end() && it->gw == gw ? static_cast<int>(it - j.targets.begin()) : -1;
}

bool jobs_publishes(const Hub &h, const Job &j) {
  return j.origin.empty() || j.origin == h.cfg.hub_id || h.jobs->alive.count(j.origin) == 0;
}

void jobs_learn(Hub &h, std::unique_ptr<Job> j) {
  if (!jobs_find(h, j->id)) adopt(h, std::move(j), false);
}

bool jobs_active(const Job &j) {
  return j.count[static_cast<int>(TargetState::kPending)] + j.count[static_cast<int>(TargetState::kSent)] > 0;
}

size_t jobs_active_count(const Hub &h) {
  size_t n = 0;
  for (const auto &kv : h.jobs->jobs) n += jobs_active(*kv.second) ? 1 : 0;
  return n;
}

Job *jobs_find(Hub &h, uint64_t id) {
  auto it = h.jobs->jobs.find(id);
  return it == h.jobs->jobs.end() ? nullptr : it->second.get();
}

Job *jobs_create(Hub &h, const JobRequest &req, const std::string &who, int *status, std::string *why) {
  const JobsConf &c = h.cfg.jobs;
  std::unique_ptr<Job> j(new Job);
  unsigned n = 0;
  if (!cmd_normalize(req.ch, req.commands, &j->commands, &n, why)) return refuse(status, 400, why, *why);
  uint32_t deadline_s = req.deadline_s ? req.deadline_s : c.deadline_s;
  if (deadline_s > c.max_deadline_s) {
    return refuse(status, 400, why, "deadline_s: at most " + std::to_string(c.max_deadline_s));
  }
  if (req.ids.empty() && req.prefixes.empty() && !req.filtered) {
    return refuse(status, 400, why, "select gateways: ids, prefixes or filter");
  }
  IdSet ids;
  if (!resolve(h, req, &ids, why)) return refuse(status, 400, why, *why);
  if (ids.empty()) return refuse(status, 400, why, "no gateway selected");
  if (ids.size() > c.max_targets) {
    return refuse(status, 413, why, std::to_string(ids.size()) + " gateways selected: at most " +
                                        std::to_string(c.max_targets) + " a job");
  }
  if (!make_room(h)) return refuse(status, 429, why, "too many jobs under way");
  Jobs &js = *h.jobs;
  j->id = js.id_base + js.next_id++;
  j->origin = h.cfg.hub_id;
  j->ch = req.ch;
  j->who = who;
  j->selection = selection_text(req);
  j->created = h.wall_ms;
  j->deadline = h.wall_ms + static_cast<int64_t>(deadline_s) * 1000;
  for (const std::string &id : ids) j->targets.push_back(JobTarget{id, TargetState::kPending, false, h.wall_ms, "", ""});
  j->count[static_cast<int>(TargetState::kPending)] = ids.size();
  j->dirty = true;
  if (h.jobstore) h.jobstore->put_job(*j);
  for (uint32_t k = 0; k < j->targets.size(); k++) jobs_queue_target(h, *j, k);
  LOG_INFO("job %llu: %s to %zu gateways by %s", static_cast<unsigned long long>(j->id), channel_name(j->ch),
           ids.size(), who.c_str());
  uint64_t id = j->id;
  return js.jobs.emplace(id, std::move(j)).first->second.get();
}

void jobs_restore(Hub &h, std::vector<std::unique_ptr<Job>> loaded) {
  for (std::unique_ptr<Job> &j : loaded) adopt(h, std::move(j), true);
}

bool jobs_cancel(Hub &h, Job &j) {
  if (j.cancelled || !jobs_active(j)) return false;
  j.cancelled = true;
  if (h.jobstore) h.jobstore->put_cancelled(j);
  jobs_close(h, j, TargetState::kCancelled);
  LOG_INFO("job %llu cancelled", static_cast<unsigned long long>(j.id));
  return true;
}

cJSON *job_summary_json(const Job &j) {
  cJSON *o = cJSON_CreateObject();
  cJSON_AddNumberToObject(o, "id", static_cast<double>(j.id));
  cJSON_AddStringToObject(o, "origin", json_safe(j.origin).c_str());
  cJSON_AddStringToObject(o, "channel", channel_name(j.ch));
  cJSON_AddItemToObject(o, "commands", strings_json(cmd_split_replies(Channel::kVcom, j.commands)));
  cJSON_AddStringToObject(o, "who", json_safe(j.who).c_str());
  cJSON_AddItemToObject(o, "selection", cJSON_Parse(j.selection.c_str()));
  cJSON_AddNumberToObject(o, "created", static_cast<double>(j.created));
  cJSON_AddNumberToObject(o, "deadline", static_cast<double>(j.deadline));
  cJSON_AddBoolToObject(o, "cancelled", j.cancelled);
  cJSON_AddBoolToObject(o, "active", jobs_active(j));
  cJSON_AddNumberToObject(o, "targets", static_cast<double>(j.targets.size()));
  cJSON *counts = cJSON_AddObjectToObject(o, "counts");
  for (size_t i = 0; i < kTargetStates; i++) {
    cJSON_AddNumberToObject(counts, target_state_name(static_cast<TargetState>(i)), static_cast<double>(j.count[i]));
  }
  return o;
}

}  // namespace hub
