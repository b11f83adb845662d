// Fleet jobs in the registry's database: loading, and the writer thread.
#include "jobstore.h"

#include <sqlite3.h>
#include <string.h>

#include <chrono>

#include "log.h"

namespace hub {
namespace {

constexpr auto kRetry = std::chrono::seconds(1);

const char *const kStateNames[kTargetStates] = {"pending", "sent", "done", "failed", "expired", "cancelled"};

// Plain SQL both backends take (ON CONFLICT … DO UPDATE, excluded).
const char *const kSql[] = {
    "INSERT INTO jobs VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, 0)",
    "UPDATE jobs SET cancelled = 1 WHERE id = ?1",
    "INSERT INTO job_targets VALUES(?1, ?2, ?3, ?4, ?5) ON CONFLICT(job, gateway) DO UPDATE SET"
    " state = excluded.state, at = excluded.at, detail = excluded.detail",
    "DELETE FROM job_targets WHERE job = ?1",
};
const char *const kDropJob = "DELETE FROM jobs WHERE id = ?1";

void bind_text(sqlite3_stmt *st, int i, const std::string &s) {
  sqlite3_bind_text(st, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
}

std::string column(sqlite3_stmt *st, int i) {
  const unsigned char *t = sqlite3_column_text(st, i);
  return t ? std::string(reinterpret_cast<const char *>(t), static_cast<size_t>(sqlite3_column_bytes(st, i)))
           : std::string();
}

bool step_one(sqlite3 *db, const char *sql, uint64_t id) {
  sqlite3_stmt *st = nullptr;
  bool ok = sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK;
  if (ok) sqlite3_bind_int64(st, 1, static_cast<int64_t>(id));
  ok = ok && sqlite3_step(st) == SQLITE_DONE;
  sqlite3_finalize(st);
  return ok;
}

std::unique_ptr<FleetJob> job_row(sqlite3_stmt *st) {
  std::unique_ptr<FleetJob> j(new FleetJob);
  j->id = static_cast<uint64_t>(sqlite3_column_int64(st, 0));
  j->ch = column(st, 1) == "vcom" ? Channel::kVcom : Channel::kCfg;
  j->commands = column(st, 2);
  j->who = column(st, 3);
  j->selection = column(st, 4);
  j->created = sqlite3_column_int64(st, 5);
  j->deadline = sqlite3_column_int64(st, 6);
  j->cancelled = sqlite3_column_int(st, 7) != 0;
  return j;
}

}  // namespace

const char *target_state_name(TargetState s) { return kStateNames[static_cast<int>(s)]; }

bool target_state_parse(const std::string &name, TargetState *s) {
  for (size_t i = 0; i < kTargetStates; i++) {
    if (name == kStateNames[i]) return *s = static_cast<TargetState>(i), true;
  }
  return false;
}

JobStore::~JobStore() {
  stop();
  if (db_) sqlite3_close(db_);
}

bool JobStore::exec(const char *sql) {
  char *err = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) == SQLITE_OK) return true;
  LOG_ERROR("jobs: %s", err ? err : "?");
  sqlite3_free(err);
  return false;
}

bool JobStore::open(const std::string &path, std::string *why) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    *why = "jobs " + path + ": " + (db_ ? sqlite3_errmsg(db_) : "cannot open");
    return false;
  }
  sqlite3_busy_timeout(db_, 2000);
  return exec("PRAGMA synchronous=NORMAL;") || (*why = "jobs " + path + ": " + sqlite3_errmsg(db_), false);
}

bool JobStore::load(std::vector<std::unique_ptr<FleetJob>> *jobs, std::string *why) {
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db_, "SELECT * FROM jobs ORDER BY id", -1, &st, nullptr) != SQLITE_OK) {
    return *why = sqlite3_errmsg(db_), false;
  }
  while (sqlite3_step(st) == SQLITE_ROW) jobs->push_back(job_row(st));
  sqlite3_finalize(st);
  const char *sql = "SELECT gateway, state, at, detail FROM job_targets WHERE job = ?1 ORDER BY gateway";
  if (sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) != SQLITE_OK) return *why = sqlite3_errmsg(db_), false;
  for (auto &j : *jobs) {
    sqlite3_bind_int64(st, 1, static_cast<int64_t>(j->id));
    while (sqlite3_step(st) == SQLITE_ROW) {
      JobTarget t;
      t.gw = column(st, 0);
      if (!target_state_parse(column(st, 1), &t.state)) t.state = TargetState::kFailed;
      t.at = sqlite3_column_int64(st, 2);
      t.detail = column(st, 3);
      j->targets.push_back(std::move(t));
    }
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
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
  if (op.kind == Op::kDrop) return step_one(db_, kSql[Op::kDrop], op.job) && step_one(db_, kDropJob, op.job);
  if (op.kind == Op::kCancelled) return step_one(db_, kSql[Op::kCancelled], op.job);
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db_, kSql[op.kind], -1, &st, nullptr) != SQLITE_OK) return false;
  sqlite3_bind_int64(st, 1, static_cast<int64_t>(op.job));
  bind_text(st, 2, op.a);
  bind_text(st, 3, op.b);
  if (op.kind == Op::kJob) {
    bind_text(st, 4, op.c);
    bind_text(st, 5, op.d);
    sqlite3_bind_int64(st, 6, op.t1);
    sqlite3_bind_int64(st, 7, op.t2);
  } else {
    sqlite3_bind_int64(st, 4, op.t1);
    bind_text(st, 5, op.c);
  }
  bool ok = sqlite3_step(st) == SQLITE_DONE;
  sqlite3_finalize(st);
  return ok;
}

bool JobStore::write(const std::vector<Op> &ops) {
  if (!exec("BEGIN IMMEDIATE")) return false;
  bool ok = true;
  for (size_t i = 0; ok && i < ops.size(); i++) ok = write_op(ops[i]);
  if (ok && exec("COMMIT")) return true;
  LOG_ERROR("jobs: write failed (%s); tried again later", sqlite3_errmsg(db_));
  exec("ROLLBACK");
  return false;
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
    if (!ok) {
      if (stopping_) return;
      cv_.wait_for(lock, kRetry, [this] { return stopping_; });
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
