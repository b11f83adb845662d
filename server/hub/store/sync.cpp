// The sync thread: this hub's heartbeat, the gone hubs' work ended, and
// the rows the others wrote read back for the loop.
#include "store/sync.h"

#include <chrono>
#include <iterator>

#include "core/log.h"

namespace hub {
namespace {

const char *const kFailGone =
    "UPDATE job_targets SET state = 'failed', detail = 'the hub holding it went away before the reply',"
    " at = $2, updated = $2 WHERE holder = $1 AND state = 'sent'";
const char *const kOfflineGone = "UPDATE gateways SET online = 0, updated = $2 WHERE holder = $1 AND online = 1";

// Where the next read starts. PostgreSQL: the oldest transaction still open
// now (every row written by it or a later one has its ID at least this,
// however late it commits). SQLite (one writer at a time; tests): the time
// stamps, less a margin.
bool mark_now(Db &db, int64_t now, int64_t *mark) {
  if (db.kind() != DbKind::kPostgres) return *mark = now - Sync::kOverlapMs, true;
  *mark = db_single(db, "SELECT pg_snapshot_xmin(pg_current_snapshot())::text::bigint", {}, -1);
  return *mark >= 0;
}

template <typename C>
void append(C &to, C &from) {
  for (auto &x : from) to.push_back(std::move(x));
}

}  // namespace

// A round at once, then every kEveryMs; nothing queued.
Sync::Sync()
    : worker_("sync", nullptr,
              {std::chrono::milliseconds(0), std::chrono::milliseconds(kEveryMs), [this] { return round(); }}) {}

Sync::~Sync() { stop(); }

bool Sync::open(const DbTarget &t, const std::string &hub, std::string *why) {
  hub_ = hub;
  if (!worker_.open(t, why)) return false;
  return mark_now(db(), store_now_ms(), &since_) || (*why = "sync: " + db().error(), false);
}

void Sync::start(const std::vector<uint64_t> &known) {
  known_.insert(known.begin(), known.end());
  worker_.start();
}

bool Sync::take(Found *out, size_t most, bool *more) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!any_) return false;
  std::deque<Registry::Row> rest;
  if (found_.gateways.size() > most) {
    auto cut = found_.gateways.begin() + static_cast<std::ptrdiff_t>(most);
    rest.assign(std::make_move_iterator(cut), std::make_move_iterator(found_.gateways.end()));
    found_.gateways.erase(cut, found_.gateways.end());
  }
  *out = std::move(found_);
  found_ = Found();
  found_.gateways.swap(rest);
  any_ = !found_.gateways.empty();
  if (more) *more = any_;
  return true;
}

// A round that fails is tried again after the worker's back-off, the
// connection made again first.
bool Sync::round() {
  int64_t now = store_now_ms(), mark = 0;
  Found f;
  if (!mark_now(db(), now, &mark) || !read(now, &f)) {
    if (up_) LOG_WARN("sync: %s; tried again later", db().error().c_str());
    up_ = false;
    return false;
  }
  since_ = mark;
  f.back = !up_;
  up_ = true;
  rounds_++;
  rows_ += f.gateways.size() + f.targets.size();
  std::lock_guard<std::mutex> lock(mu_);
  append(found_.gateways, f.gateways);
  append(found_.jobs, f.jobs);
  append(found_.cancelled, f.cancelled);
  append(found_.targets, f.targets);
  found_.alive.swap(f.alive);
  found_.heard = true;
  found_.back = found_.back || f.back;
  any_ = true;
  return true;
}

bool Sync::read(int64_t now, Found *f) {
  std::vector<DbRow> rows;
  if (!read_hubs(now, f) || !db().run(Registry::changed_sql(db()), {since_}, &rows)) return false;
  for (const DbRow &row : rows) {
    Registry::Row w;
    if (Registry::read_row(row, &w)) f->gateways.push_back(std::move(w));
  }
  return read_jobs(f) && JobStore::read_changed_targets(db(), since_, &f->targets);
}

bool Sync::read_hubs(int64_t now, Found *f) {
  std::vector<DbRow> rows;
  if (!db().run("UPDATE hubs SET seen = $2 WHERE id = $1", {hub_, now}) ||
      !db().run("SELECT id, seen FROM hubs", {}, &rows)) {
    return false;
  }
  for (const DbRow &r : rows) {
    const std::string &id = r[0].s;
    if (id == hub_) continue;
    if (r[1].type == DbValue::kInt && now - r[1].i < kHubGoneMs) {
      f->alive.push_back(id);
      buried_.erase(id);
    } else if (!buried_.count(id)) {
      bury(id, now);
    }
  }
  return true;
}

// A hub gone: whatever it held is offline, whatever it sent and was not
// answered fails (its reply may never be known; never sent again).
void Sync::bury(const std::string &hub, int64_t now) {
  if (!db().begin()) return;
  if (db().run(kOfflineGone, {hub, now}) && db().run(kFailGone, {hub, now}) && db().commit()) {
    LOG_WARN("sync: hub %s not heard from for %lld s: its gateways offline, its unanswered targets failed", hub.c_str(),
             static_cast<long long>(kHubGoneMs / 1000));
    buried_.insert(hub);
    return;
  }
  db().rollback();
}

bool Sync::read_jobs(Found *f) {
  std::vector<std::unique_ptr<Job>> jobs;
  if (!JobStore::read_jobs(db(), since_, &jobs)) return false;
  for (std::unique_ptr<Job> &j : jobs) {
    if (known_.count(j->id)) {
      if (j->cancelled) f->cancelled.push_back(j->id);
      continue;
    }
    if (!JobStore::read_targets(db(), j->id, &j->targets)) return false;
    known_.insert(j->id);
    f->jobs.push_back(std::move(j));
  }
  return true;
}

}  // namespace hub
