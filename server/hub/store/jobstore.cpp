// Fleet jobs in the registry's database: loading, and the writer's batches.
#include "store/jobstore.h"

namespace hub {
namespace {

const char *const kStateNames[kTargetStates] = {"pending", "sent", "done", "failed", "expired", "cancelled"};

// Indexed by Op::Kind. A target changes only from the state it was known
// in, and a sent one only by its holder: one hub's claim, never two.
const char *const kSql[] = {
    "INSERT INTO jobs(id, channel, commands, who, selection, created, deadline, cancelled, origin, updated)"
    " VALUES($1, $2, $3, $4, $5, $6, $7, 0, $8, $9)",
    "UPDATE jobs SET cancelled = 1, updated = $2 WHERE id = $1",
    "UPDATE job_targets SET state = $3, at = $4, detail = $5, holder = $6, updated = $9"
    " WHERE job = $1 AND gateway = $2 AND state = $7 AND (state <> 'sent' OR holder = $8)",
    "DELETE FROM job_targets WHERE job = $1",
    "INSERT INTO job_targets(job, gateway, state, at, detail, holder, updated) VALUES($1, $2, $3, $4, $5, '', $6)"
    " ON CONFLICT(job, gateway) DO NOTHING",
};
const char *const kDropJob = "DELETE FROM jobs WHERE id = $1";
#define JOB_COLUMNS "SELECT id, channel, commands, who, selection, created, deadline, cancelled, origin FROM jobs"
const char *const kLoadJobs = JOB_COLUMNS " ORDER BY id";
// Changed from $1 on: sqlite by time stamp, PostgreSQL by transaction (Sync).
const char *const kChangedJobs[] = {JOB_COLUMNS " WHERE updated > $1 ORDER BY id",
                                    JOB_COLUMNS " WHERE tx >= $1 ORDER BY id"};
#undef JOB_COLUMNS
const char *const kLoadTargets = "SELECT gateway, state, at, detail, holder FROM job_targets WHERE job = $1";
const char *const kChangedTargets[] = {
    "SELECT gateway, state, at, detail, holder, job FROM job_targets WHERE updated > $1",
    "SELECT gateway, state, at, detail, holder, job FROM job_targets WHERE tx >= $1"};

int64_t num(const DbRow &r, size_t i) { return r[i].type == DbValue::kInt ? r[i].i : 0; }

std::unique_ptr<Job> job_row(const DbRow &r) {
  std::unique_ptr<Job> j(new Job);
  j->id = static_cast<uint64_t>(num(r, 0));
  j->ch = r[1].s == "vcom" ? Channel::kVcom : Channel::kCfg;
  j->commands = r[2].s;
  j->who = r[3].s;
  j->selection = r[4].s;
  j->created = num(r, 5);
  j->deadline = num(r, 6);
  j->cancelled = num(r, 7) != 0;
  j->origin = r[8].s;
  return j;
}

JobTarget target_row(const DbRow &r) {
  JobTarget t;
  t.gw = r[0].s;
  if (!target_state_parse(r[1].s, &t.state)) t.state = TargetState::kFailed;
  t.at = num(r, 2);
  t.detail = r[3].s;
  t.holder = r[4].s;
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

JobStore::JobStore() : worker_("jobs", [this] { return write_waiting(); }) {}

JobStore::~JobStore() { stop(); }

bool JobStore::open(const DbTarget &t, std::string *why) { return worker_.open(t, why); }

bool JobStore::read_jobs(Db &db, int64_t since, std::vector<std::unique_ptr<Job>> *jobs) {
  std::vector<DbRow> rows;
  if (!(since < 0 ? db.run(kLoadJobs, {}, &rows) : db.run(kChangedJobs[db.kind() == DbKind::kPostgres], {since}, &rows))) return false;
  for (const DbRow &r : rows) jobs->push_back(job_row(r));
  return true;
}

// In the database's order: a job taken in puts them in natural ID order.
bool JobStore::read_targets(Db &db, uint64_t job, std::vector<JobTarget> *out) {
  std::vector<DbRow> rows;
  if (!db.run(kLoadTargets, {static_cast<int64_t>(job)}, &rows)) return false;
  for (const DbRow &r : rows) out->push_back(target_row(r));
  return true;
}

bool JobStore::read_changed_targets(Db &db, int64_t since, std::vector<std::pair<uint64_t, JobTarget>> *out) {
  std::vector<DbRow> rows;
  if (!db.run(kChangedTargets[db.kind() == DbKind::kPostgres], {since}, &rows)) return false;
  for (const DbRow &r : rows) out->emplace_back(static_cast<uint64_t>(num(r, 5)), target_row(r));
  return true;
}

bool JobStore::load(std::vector<std::unique_ptr<Job>> *jobs, std::string *why) {
  if (!read_jobs(db(), -1, jobs)) return *why = "jobs: " + db().error(), false;
  for (auto &j : *jobs) {
    if (!read_targets(db(), j->id, &j->targets)) return *why = "jobs: " + db().error(), false;
  }
  return true;
}

void JobStore::queue(Op op) {
  std::lock_guard<std::mutex> lock(mu_);
  ops_.push_back(std::move(op));
  worker_.wake();
}

// The job and all its targets go in one batch, so another hub never reads
// the job without them.
void JobStore::put_job(const Job &j) {
  std::vector<Op> ops;
  ops.reserve(j.targets.size() + 1);
  ops.emplace_back(Op::kJob, j.id);
  ops.back().made = {j.ch, j.commands, j.who, j.selection, j.origin, j.created, j.deadline};
  for (const JobTarget &t : j.targets) {
    ops.emplace_back(Op::kNewTarget, j.id);
    ops.back().target = t;
  }
  std::lock_guard<std::mutex> lock(mu_);
  for (Op &o : ops) ops_.push_back(std::move(o));
  worker_.wake();
}

void JobStore::put_cancelled(const Job &j) { queue(Op(Op::kCancelled, j.id)); }

void JobStore::put_target(const Job &j, uint32_t k, bool tell, TargetState from, const std::string &from_holder) {
  Op op(Op::kTarget, j.id);
  op.target = j.targets[k];
  op.change = {from, from_holder, k, tell};
  queue(std::move(op));
}

void JobStore::drop_job(uint64_t id) { queue(Op(Op::kDrop, id)); }

void JobStore::take_stored(std::vector<TargetRef> *out, std::vector<TargetRef> *lost) {
  std::lock_guard<std::mutex> lock(mu_);
  out->insert(out->end(), stored_.begin(), stored_.end());
  stored_.clear();
  if (lost) lost->insert(lost->end(), lost_.begin(), lost_.end());
  lost_.clear();
}

// lost: a target's change found the row no longer as this hub knew it.
bool JobStore::write_op(Db &db, const Op &op, int64_t at, bool *lost) {
  const int64_t id = static_cast<int64_t>(op.job);
  const Op::Made &m = op.made;
  const JobTarget &t = op.target;
  switch (op.kind) {
    case Op::kDrop: return db.run(kSql[Op::kDrop], {id}) && db.run(kDropJob, {id});
    case Op::kCancelled: return db.run(kSql[Op::kCancelled], {id, at});
    case Op::kJob:
      return db.run(kSql[Op::kJob],
                    {id, channel_name(m.ch), m.commands, m.who, m.selection, m.created, m.deadline, m.origin, at});
    case Op::kNewTarget:
      return db.run(kSql[Op::kNewTarget], {id, t.gw, target_state_name(t.state), t.at, t.detail, at});
    case Op::kTarget: break;
  }
  const Op::Change &c = op.change;
  if (!db.run(kSql[Op::kTarget], {id, t.gw, target_state_name(t.state), t.at, t.detail, t.holder,
                                  target_state_name(c.from), c.from_holder, at})) {
    return false;
  }
  *lost = db.changes() == 0;
  return true;
}

bool JobStore::write(const std::vector<Op> &ops, std::vector<bool> *lost) {
  int64_t at = store_now_ms();
  lost->assign(ops.size(), false);
  return worker_.transact([&](Db &db) {
    for (size_t i = 0; i < ops.size(); i++) {
      bool gone = false;
      if (!write_op(db, ops[i], at, &gone)) return false;
      (*lost)[i] = gone;
    }
    return true;
  });
}

bool JobStore::write_waiting() {
  return write_batch(mu_, ops_, [this](const std::vector<Op> &ops) {
    std::vector<bool> lost;
    if (!write(ops, &lost)) return false;
    std::lock_guard<std::mutex> lock(mu_);
    for (size_t i = 0; i < ops.size(); i++) {
      if (ops[i].change.tell) (lost[i] ? lost_ : stored_).push_back(TargetRef{ops[i].job, ops[i].change.k});
    }
    return true;
  });
}

}  // namespace hub
