// Fleet jobs: the same configuration or virtual COM commands for many
// gateways. A job's selection (IDs, ID prefixes, the fleet's filter) is
// resolved into its targets when it is made; each target goes pending →
// sent → done (its reply) | failed (why) | expired (the job's deadline
// passed while it waited) | cancelled. Targets whose gateway is online
// and admitted wait in one queue and go out while fewer than
// [jobs] concurrency are in flight over every job; the others wait for
// their gateway to come (the changed hook).
//
// At most once: a target is stored as sent (JobStore, when there is one)
// before its commands go out, and only then handed to its gateway's
// channel. A target still sent after a restart is not sent again but
// failed; commands that never went out (the gateway left first) make the
// target pending again.
//
// Hubs sharing a registry share its jobs: a job's ID carries the number of
// the hub that made it, every hub learns of the others' jobs and targets
// through the sync (sync.cpp), and a target goes out from the hub that
// holds its gateway once that hub's claim is stored (JobStore).
#ifndef HUB_FLEETJOBS_H
#define HUB_FLEETJOBS_H

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/hub.h"
#include "gateways/channels.h"
#include "gateways/session.h"
#include "store/jobstore.h"

struct cJSON;

namespace hub {

// What a job asks for, before it is resolved into targets.
struct JobRequest {
  Channel ch = Channel::kCfg;
  std::string commands;  // as given; normalized by cmd_normalize
  std::vector<std::string> ids, prefixes;
  bool filtered = false;  // the filter selects too
  std::string state, q;
  uint32_t deadline_s = 0;  // 0: [jobs] deadline_s
};

// A hub's job IDs: its number (Registry::hub_num) times this, plus 1, 2, ...
constexpr uint64_t kJobIdsPerHub = 1000000000;

struct Jobs {
  std::map<uint64_t, std::unique_ptr<Job>> jobs;  // by ID: oldest first
  uint64_t id_base = 0;                           // this hub's number × kJobIdsPerHub
  uint64_t next_id = 1;
  std::unordered_set<std::string> alive;                            // the other hubs heard from lately (the sync)
  std::unordered_map<std::string, std::vector<TargetRef>> waiting;  // pending, by gateway
  std::deque<TargetRef> ready;                                      // pending, gateway admitted: next to go
  std::unordered_map<uint64_t, TargetRef> flight;                   // command ticket → target
  size_t storing = 0;                                               // sent, not yet stored
  uint32_t second = 0;                                              // ticks of the last deadline sweep
  uint64_t finished[kTargetStates] = {};                            // targets ended, by state
};

// What fleet jobs take of what the gateways announce: a gateway admitted
// (online, or let in through the API) releases its waiting targets.
extern const GatewayHooks kJobHooks;

// Makes a job (its targets pending): the job, or null with a reason
// (status: the HTTP status to answer with).
// {"channel": "cfg"|"vcom", "commands": text or [lines], "ids": [...],
// "prefixes": [...], "filter": {"state", "q"}, "deadline_s": N} (request.cpp).
bool jobs_parse_request(const std::string &body, JobRequest *req);
Job *jobs_create(Hub &h, const JobRequest &req, const std::string &who, int *status, std::string *why);
Job *jobs_find(Hub &h, uint64_t id);
// Pending targets cancelled; those in flight end as they would.
bool jobs_cancel(Hub &h, Job &j);
// A finished command of a target (Commands::on_fleet_job_done).
void jobs_command_done(Hub &h, const Exchange &cmd);
// From the broker: <prefix>/hub/<hub id>/jobs/create (a req) and …/jobs/<id>/cancel;
// both in the audit log as who "mqtt".
void jobs_on_mqtt(Hub &h, const std::string &tail, const std::string &payload);
// Every pass: targets stored as sent go out, ready ones are stored as sent
// while the concurrency allows, deadlines once a second, MQTT statuses;
// true while targets are on their way.
bool jobs_tick(Hub &h);
// The hub stops: targets on their way to the store as sent, whose commands
// never went out, are pending again.
void jobs_stop(Hub &h);
// Jobs loaded from the store: targets this hub had sent fail, pending ones wait.
void jobs_restore(Hub &h, std::vector<std::unique_ptr<Job>> loaded);
// From the hubs sharing the registry (the sync, sync.cpp): a job made
// on another, a job cancelled, a target changed by another; a claim this
// hub lost to another.
void jobs_learn(Hub &h, std::unique_ptr<Job> j);
void jobs_learn_cancel(Hub &h, uint64_t id);
void jobs_learn_target(Hub &h, uint64_t id, const JobTarget &row);
void jobs_claim_lost(Hub &h, const TargetRef &ref);
// A pending target waits for its gateway, or is ready when it is admitted.
void jobs_queue_target(Hub &h, const Job &j, uint32_t k);
// The job's target for a gateway, or -1.
int jobs_target_of(const Job &j, const std::string &gw);

// A target's state changes: counted, stored (tell: the store says when).
void jobs_set_target(Hub &h, Job &j, uint32_t k, TargetState s, const std::string &detail, bool tell = false);
// Every pending target of j ends as s (expired, cancelled).
void jobs_close(Hub &h, Job &j, TargetState s);

bool jobs_active(const Job &j);  // targets still pending or sent
size_t jobs_active_count(const Hub &h);
// The summary of a job: {id, channel, commands, who, created, deadline,
// cancelled, active, targets, counts {pending, sent, ...}}.
cJSON *job_summary_json(const Job &j);
// This hub publishes the job's status: it made the job, or its hub is gone.
bool jobs_publishes(const Hub &h, const Job &j);
std::string job_status_topic(const Hub &h, uint64_t id);

// The loop, every pass: what the sync read (store/sync.h), applied
// (sync.cpp), at most `most` gateway rows of it; true while rows wait.
bool sync_apply(Hub &h, size_t most = SIZE_MAX);

}  // namespace hub

#endif
