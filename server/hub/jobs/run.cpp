// Fleet jobs under way: targets released when their gateway comes, stored
// as sent, handed to the gateway's channel within the concurrency bound,
// their replies, deadlines, and the retained status of each job.
#include <stdlib.h>

#include <algorithm>

#include "store/audit.h"
#include "jobs/jobs.h"
#include "core/json.h"
#include "core/log.h"
#include "mqtt/bridge.h"

namespace hub {
namespace {

constexpr uint32_t kStatusEveryMs = 1000;

JobTarget *target_of(Hub &h, const TargetRef &ref, Job **job) {
  Job *j = jobs_find(h, ref.job);
  if (!j || ref.k >= j->targets.size()) return nullptr;
  *job = j;
  return &j->targets[ref.k];
}

void forget_waiting(Hub &h, const Job &j, uint32_t k) {
  auto it = h.jobs->waiting.find(j.targets[k].gw);
  if (it == h.jobs->waiting.end()) return;
  std::vector<TargetRef> &refs = it->second;
  refs.erase(std::remove_if(refs.begin(), refs.end(), [&](const TargetRef &r) { return r.job == j.id && r.k == k; }),
             refs.end());
  if (refs.empty()) h.jobs->waiting.erase(it);
}

// Back to pending: nothing went out. It waits for its gateway again.
void unsend(Hub &h, Job &j, uint32_t k) {
  jobs_set_target(h, j, k, TargetState::kPending, "");
  jobs_queue_target(h, j, k);
}

// A target stored as sent: its commands go out now.
void go(Hub &h, const TargetRef &ref) {
  Job *j = nullptr;
  JobTarget *t = target_of(h, ref, &j);
  if (!t || !t->storing) return;
  t->storing = false;
  h.jobs->storing--;
  if (j->cancelled) return jobs_set_target(h, *j, ref.k, TargetState::kCancelled, "cancelled before it went out");
  GatewayRecord *r = hub_find(h, t->gw);
  std::string why;
  Exchange *cmd = r && gw_admitted(*r) ? cmd_submit(h, *r, j->ch, j->commands, jobs_command_done, &why) : nullptr;
  if (cmd) {
    h.jobs->flight.emplace(cmd->ticket, ref);
  } else {
    unsend(h, *j, ref.k);
  }
}

// The next ready target is stored as sent, if it still may go.
void start_one(Hub &h) {
  TargetRef ref = h.jobs->ready.front();
  h.jobs->ready.pop_front();
  Job *j = nullptr;
  JobTarget *t = target_of(h, ref, &j);
  if (!t || t->state != TargetState::kPending || j->cancelled || h.wall_ms >= j->deadline) return;
  GatewayRecord *r = hub_find(h, t->gw);
  if (!r || !gw_admitted(*r)) {
    h.jobs->waiting[t->gw].push_back(ref);
    return;
  }
  jobs_set_target(h, *j, ref.k, TargetState::kSent, "", true);  // this hub's claim
  t->storing = true;
  h.jobs->storing++;
  if (!h.jobstore) go(h, ref);
}

void publish(Hub &h, Job &j) {
  MqttBridge &b = *h.mqtt;
  if (!b.pub || !b.pub->ready()) return;
  if (!b.pub->publish(job_status_topic(h, j.id), json_take(job_summary_json(j)), 1, true)) return;
  h.m.mqtt_published++;
  j.dirty = false;
  j.published = h.now;
}

void every_second(Hub &h) {
  Jobs &js = *h.jobs;
  js.second = h.now;
  for (auto &kv : js.jobs) {
    Job &j = *kv.second;
    if (jobs_active(j) && h.wall_ms >= j.deadline) jobs_close(h, j, TargetState::kExpired);
    if (j.dirty && h.now - j.published >= kStatusEveryMs && jobs_publishes(h, j)) publish(h, j);
  }
}

void on_changed(Hub &h, GatewayRecord &r, bool urgent) {
  if (!urgent || !gw_admitted(r)) return;
  auto it = h.jobs->waiting.find(r.id);
  if (it == h.jobs->waiting.end()) return;
  for (const TargetRef &ref : it->second) h.jobs->ready.push_back(ref);
  h.jobs->waiting.erase(it);
}

}  // namespace

const GatewayHooks kJobHooks = [] {
  GatewayHooks row{};
  row.changed = on_changed;
  return row;
}();

// A target sent is this hub's (its claim) until it ends; pending has no holder.
void jobs_set_target(Hub &h, Job &j, uint32_t k, TargetState s, const std::string &detail, bool tell) {
  JobTarget &t = j.targets[k];
  TargetState from = t.state;
  std::string from_holder = t.holder;
  j.count[static_cast<int>(t.state)]--;
  j.count[static_cast<int>(s)]++;
  if (s >= TargetState::kDone) h.jobs->finished[static_cast<int>(s)]++;
  t.state = s;
  t.detail = detail;
  t.at = h.wall_ms;
  if (s == TargetState::kSent) t.holder = h.cfg.hub_id;
  if (s == TargetState::kPending) t.holder.clear();
  j.dirty = true;
  if (h.jobstore) h.jobstore->put_target(j, k, tell, from, from_holder);
}

void jobs_close(Hub &h, Job &j, TargetState s) {
  for (uint32_t k = 0; k < j.targets.size(); k++) {
    if (j.targets[k].state != TargetState::kPending) continue;
    forget_waiting(h, j, k);
    jobs_set_target(h, j, k, s, "");
  }
}

void jobs_command_done(Hub &h, const Exchange &cmd) {
  auto it = h.jobs->flight.find(cmd.ticket);
  if (it == h.jobs->flight.end()) return;
  TargetRef ref = it->second;
  h.jobs->flight.erase(it);
  Job *j = nullptr;
  JobTarget *t = target_of(h, ref, &j);
  if (!t || t->state != TargetState::kSent) return;
  switch (cmd.outcome) {
    case Outcome::kDone: return jobs_set_target(h, *j, ref.k, TargetState::kDone, cmd.reply);
    case Outcome::kPartial: return jobs_set_target(h, *j, ref.k, TargetState::kFailed, "partial reply: " + cmd.reply);
    case Outcome::kTimeout: return jobs_set_target(h, *j, ref.k, TargetState::kFailed, "no reply in time");
    case Outcome::kOffline:
      if (cmd.serial == 0) return unsend(h, *j, ref.k);
      return jobs_set_target(h, *j, ref.k, TargetState::kFailed, "the gateway went away before the reply");
    case Outcome::kPending: return;
  }
}

bool jobs_tick(Hub &h) {
  Jobs &js = *h.jobs;
  if (h.jobstore) {
    std::vector<TargetRef> stored, lost;
    h.jobstore->take_stored(&stored, &lost);
    for (const TargetRef &ref : stored) go(h, ref);
    for (const TargetRef &ref : lost) jobs_claim_lost(h, ref);
  }
  while (!js.ready.empty() && js.flight.size() + js.storing < h.cfg.jobs.concurrency) start_one(h);
  if (h.now - js.second >= 1000) every_second(h);
  return js.storing > 0 || (!js.ready.empty() && js.flight.size() + js.storing < h.cfg.jobs.concurrency);
}

void jobs_stop(Hub &h) {
  for (auto &kv : h.jobs->jobs) {
    Job &j = *kv.second;
    for (uint32_t k = 0; k < j.targets.size(); k++) {
      if (!j.targets[k].storing) continue;
      j.targets[k].storing = false;
      jobs_set_target(h, j, k, TargetState::kPending, "");
    }
  }
  h.jobs->storing = 0;
}

void jobs_on_mqtt(Hub &h, const std::string &tail, const std::string &payload) {
  std::string topic = h.cfg.mqtt.prefix + "/hub/" + h.cfg.hub_id + "/jobs/" + tail, why;
  if (tail == "create") {
    JobRequest req;
    int status = 400;
    Job *j = jobs_parse_request(payload, &req) ? jobs_create(h, req, "mqtt", &status, &why) : nullptr;
    if (!j && why.empty()) why = "not a job";
    return audit_record(h, "mqtt", topic, "", j ? "job " + std::to_string(j->id) : "refused: " + why);
  }
  std::string id = tail.substr(0, tail.find('/'));
  Job *j = id.size() <= 15 && id.find_first_not_of("0123456789") == std::string::npos && !id.empty()
                    ? jobs_find(h, strtoull(id.c_str(), nullptr, 10))
                    : nullptr;
  audit_record(h, "mqtt", topic, "", !j ? "refused: no such job" : jobs_cancel(h, *j) ? "cancelled" : "refused: the job has ended");
}

std::string job_status_topic(const Hub &h, uint64_t id) {
  return h.cfg.mqtt.prefix + "/jobs/" + std::to_string(id) + "/status";
}

}  // namespace hub
