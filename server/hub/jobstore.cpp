// Fleet jobs in the registry's database: loading, and the writer thread.
#include "jobstore.h"

#include "log.h"

namespace hub {
namespace {

const char *const kStateNames[kTargetStates] = {"pending", "sent", "done", "failed", "expired", "cancelled"};

// Indexed by Op::Kind; SQL both backends take (ON CONFLICT … DO UPDATE, excluded).
const char *const kSql[] = {
    "INSERT INTO jobs VALUES($1, $2, $3, $4, $5, $6, $7, 0)",
    "UPDATE jobs SET cancelled = 1 WHERE id = $1",
    "INSERT INTO job_targets VALUES($1, $2, $3, $4, $5) ON CONFLICT(job, gateway) DO UPDATE SET"
    " state = excluded.state, at = excluded.at, detail = excluded.detail",
    "DELETE FROM job_targets WHERE job = $1",
};
const char *const kDropJob = "DELETE FROM jobs WHERE id = $1";
const char *const kLoadJobs =
    "SELECT id, channel, commands, who, selection, created, deadline, cancelled FROM jobs ORDER BY id";
const char *const kLoadTargets = "SELECT gateway, state, at, detail FROM job_targets WHERE job = $1 ORDER BY gateway";

int64_t num(const DbRow &r, size_t i) { return r[i].type == DbValue::kInt ? r[i].i : 0; }

std::unique_ptr<FleetJob> job_row(const DbRow &r) {
  std::unique_ptr<FleetJob> j(new FleetJob);
  j->id = static_cast<uint64_t>(num(r, 0));
  j->ch = r[1].s == "vcom" ? Channel::kVcom : Channel::kCfg;
  j->commands = r[2].s;
  j->who = r[3].s;
  j->selection = r[4].s;
  j->created = num(r, 5);
  j->deadline = num(r, 6);
  j->cancelled = num(r, 7) != 0;
  return j;
}

JobTarget target_row(const DbRow &r) {
  JobTarget t;
  t.gw = r[0].s;
  if (!target_state_parse(r[1].s, &t.state)) t.state = TargetState::kFailed;
  t.at = num(r, 2);
  t.detail = r[3].s;
  return t;
}

}  // namespace

const char *target_state_name(TargetState s) { return kStateNames[static_cast<int>(s)]; }

bool target_state_parse(const std::string &name, TargetState *s) {
  for (size_t i = 0; i < kTargetStates; i++) {
    if (name == kStateNames[i]) return *s = static_cast<TargetState>(i), true;
  }
  return false;
}

JobStore::~JobStore() { stop(); }

bool JobStore::open(const DbTarget &t, std::string *why) { return (db_ = db_open(t, why)) != nullptr; }

bool JobStore::load(std::vector<std::unique_ptr<FleetJob>> *jobs, std::string *why) {
  std::vector<DbRow> rows;
  if (!db_->run(kLoadJobs, {}, &rows)) return *why = "jobs: " + db_->error(), false;
  for (const DbRow &r : rows) jobs->push_back(job_row(r));
  for (auto &j : *jobs) {
    rows.clear();
    if (!db_->run(kLoadTargets, {static_cast<int64_t>(j->id)}, &rows)) return *why = "jobs: " + db_->error(), false;
    for (const DbRow &r : rows) j->targets.push_back(target_row(r));
  }
  return true;
}
void JobStore::start() { writer_ = std::thread(&JobStore::run, this); }

void JobStore::queue(Op op) {
  std::lock_guard<std::mutex> lock(mu_);
  ops_.push_back(std::move(op));
  cv_.notify_one();
}

void JobStore::put_job(const FleetJob &j) {
  Op op(Op::kJob);
  op.job = j.id;
  op.a = channel_name(j.ch);
  op.b = j.commands;
  op.c = j.who;
  op.d = j.selection;
  op.t1 = j.created;
  op.t2 = j.deadline;
  queue(std::move(op));
  for (uint32_t k = 0; k < j.targets.size(); k++) put_target(j, k, false);
}

void JobStore::put_cancelled(const FleetJob &j) {
  Op op(Op::kCancelled);
  op.job = j.id;
  queue(std::move(op));
}

void JobStore::put_target(const FleetJob &j, uint32_t k, bool tell) {
  const JobTarget &t = j.targets[k];
  Op op(Op::kTarget);
  op.job = j.id;
  op.k = k;
  op.tell = tell;
  op.a = t.gw;
  op.b = target_state_name(t.state);
  op.c = t.detail;
  op.t1 = t.at;
  queue(std::move(op));
}

void JobStore::drop_job(uint64_t id) {
  Op op(Op::kDrop);
  op.job = id;
  queue(std::move(op));
}

void JobStore::take_stored(std::vector<TargetRef> *out) {
  std::lock_guard<std::mutex> lock(mu_);
  out->insert(out->end(), stored_.begin(), stored_.end());
  stored_.clear();
}

bool JobStore::write_op(const Op &op) {
  DbParams id = {static_cast<int64_t>(op.job)};
  if (op.kind == Op::kDrop) return db_->run(kSql[Op::kDrop], id) && db_->run(kDropJob, id);
  if (op.kind == Op::kCancelled) return db_->run(kSql[Op::kCancelled], id);
  if (op.kind == Op::kJob) return db_->run(kSql[Op::kJob], {id[0], op.a, op.b, op.c, op.d, op.t1, op.t2});
  return db_->run(kSql[Op::kTarget], {id[0], op.a, op.b, op.t1, op.c});
}

bool JobStore::write(const std::vector<Op> &ops) {
  if (!db_->begin()) return recover(), false;
  bool ok = true;
  for (size_t i = 0; ok && i < ops.size(); i++) ok = write_op(ops[i]);
  if (ok && db_->commit()) return true;
  LOG_ERROR("jobs: write failed (%s); tried again later", db_->error().c_str());
  db_->rollback();
  recover();
  return false;
}

// After a failed write: a connection that went away is made again.
void JobStore::recover() {
  if (db_->connected()) return;
  if (db_->reconnect()) {
    LOG_INFO("jobs: registry connected again");
  } else {
    LOG_WARN("jobs: registry still away: %s", db_->error().c_str());
  }
}

bool JobStore::write_waiting() {
  std::vector<Op> ops;
  {
    std::lock_guard<std::mutex> lock(mu_);
    ops.swap(ops_);
  }
  if (ops.empty()) return true;
  bool ok = write(ops);
  std::lock_guard<std::mutex> lock(mu_);
  if (!ok) {
    ops.insert(ops.end(), ops_.begin(), ops_.end());  // in order: the failed batch first
    ops_.swap(ops);
    return false;
  }
  for (const Op &op : ops) {
    if (op.tell) stored_.push_back(TargetRef{op.job, op.k});
  }
  return true;
}

void JobStore::run() {
  std::unique_lock<std::mutex> lock(mu_);
  while (true) {
    cv_.wait(lock, [this] { return stopping_ || !ops_.empty(); });
    if (ops_.empty()) return;
    lock.unlock();
    bool ok = write_waiting();
    lock.lock();
    if (ok) {
      retry_.reset();
    } else {
      if (stopping_) return;
      cv_.wait_for(lock, retry_.next(), [this] { return stopping_; });
    }
  }
}

void JobStore::stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    cv_.notify_one();
  }
  if (writer_.joinable()) writer_.join();
  if (db_) write_waiting();
}

}  // namespace hub
