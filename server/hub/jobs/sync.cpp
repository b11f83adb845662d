// Fleet jobs as the other hubs sharing the registry change them (the sync):
// a cancel, a target's new state, and a claim this hub lost.
#include "store/sync.h"
#include "jobs/jobs.h"
#include "store/registry.h"

namespace hub {
namespace {

// The target as the database has it; counted, not stored again.
void take_row(Hub &h, Job &j, uint32_t k, const JobTarget &row) {
  JobTarget &t = j.targets[k];
  j.count[static_cast<int>(t.state)]--;
  j.count[static_cast<int>(row.state)]++;
  t.state = row.state;
  t.detail = row.detail;
  t.at = row.at;
  t.holder = row.holder;
  j.dirty = true;
  bool open = !j.cancelled && h.wall_ms < j.deadline;
  if (t.state == TargetState::kPending && open) jobs_queue_target(h, j, k);
}

}  // namespace

void jobs_learn_cancel(Hub &h, uint64_t id) {
  Job *j = jobs_find(h, id);
  if (!j || j->cancelled) return;
  j->cancelled = true;
  jobs_close(h, *j, TargetState::kCancelled);
}

// This hub's own claims it knows better than any read: one on its way to
// the store, one under way, or a read from before its latest change.
void jobs_learn_target(Hub &h, uint64_t id, const JobTarget &row) {
  Job *j = jobs_find(h, id);
  int k = j ? jobs_target_of(*j, row.gw) : -1;
  if (k < 0) return;
  const JobTarget &t = j->targets[static_cast<uint32_t>(k)];
  const std::string &me = h.cfg.hub_id;
  if (t.storing || (t.state == TargetState::kSent && t.holder == me)) return;
  if (row.state == TargetState::kSent && row.holder == me) return;
  if (t.state == row.state && t.holder == row.holder) return;
  take_row(h, *j, static_cast<uint32_t>(k), row);
}

// Another hub claimed the target first: it is sent, by a hub the sync will
// name; nothing goes out from here.
void jobs_claim_lost(Hub &h, const TargetRef &ref) {
  Job *j = jobs_find(h, ref.job);
  if (!j || ref.k >= j->targets.size() || !j->targets[ref.k].storing) return;
  JobTarget &t = j->targets[ref.k];
  t.storing = false;
  t.holder.clear();
  h.jobs->storing--;
}

// What the sync read, applied: the other hubs' gateway rows to the
// registry, their jobs, cancels and targets to the jobs.
bool sync_apply(Hub &h, size_t most) {
  Sync::Found f;
  bool more = false;
  if (!h.sync || !h.sync->take(&f, most, &more)) return false;
  if (h.reg) {
    for (const Registry::Row &w : f.gateways) h.reg->apply(h, w);
    // Away long enough, the others may have taken this hub for gone and
    // set its gateways offline: what it holds is stored again.
    for (auto it = h.records.begin(); f.back && it != h.records.end(); ++it) {
      if (it->second->session) h.reg->put(*it->second);
    }
  }
  if (f.heard) h.jobs->alive = std::unordered_set<std::string>(f.alive.begin(), f.alive.end());
  if (f.heard) hub_set_hubs(h, 1 + f.alive.size());
  for (std::unique_ptr<Job> &j : f.jobs) jobs_learn(h, std::move(j));
  for (uint64_t id : f.cancelled) jobs_learn_cancel(h, id);
  for (const auto &t : f.targets) jobs_learn_target(h, t.first, t.second);
  return more;
}

}  // namespace hub
