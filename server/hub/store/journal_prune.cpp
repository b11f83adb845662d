// The journal's pruning: rows past the retention, then the oldest rows
// while the history is over its size cap, a batch per statement. The
// oldest rows are found by the tables' time indexes (PostgreSQL) or
// rowids (SQLite: rows go in in time order, the lowest are the oldest).
#include <limits.h>

#include <initializer_list>
#include <string>

#include "store/journal.h"
#include "core/log.h"

namespace hub {
namespace {

// Tables pruned, with their time column and its unit in milliseconds.
struct Pruned {
  const char *table;
  const char *at;
  int64_t unit_ms;
};
const Pruned kPruned[] = {
    {"gw_samples", "at", 1}, {"gw_events", "at", 1}, {"audit", "at", 1}, {"gw_traffic", "day", kDayMs}};
constexpr int kPrunedCount = sizeof kPruned / sizeof kPruned[0];
constexpr int kCapBatches = 4;  // batches per pass while over the size cap

const char *const kSqliteUsed =
    "SELECT (SELECT page_count FROM pragma_page_count) - (SELECT freelist_count FROM pragma_freelist_count)";
const char *const kSqlitePage = "SELECT page_size FROM pragma_page_size";
const char *const kPgUsed =
    "SELECT (SELECT coalesce(sum(pg_column_size(t.*)), 0) FROM gw_samples t)"
    " + (SELECT coalesce(sum(pg_column_size(t.*)), 0) FROM gw_events t)"
    " + (SELECT coalesce(sum(pg_column_size(t.*)), 0) FROM audit t)"
    " + (SELECT coalesce(sum(pg_column_size(t.*)), 0) FROM gw_traffic t)";
// What the tables take on disk, dead rows and indexes with them: at most
// this much history is there, so no need to count it.
const char *const kPgStored =
    "SELECT pg_total_relation_size('gw_samples') + pg_total_relation_size('gw_events')"
    " + pg_total_relation_size('audit') + pg_total_relation_size('gw_traffic')";

// The first unit (ms or day) not below cutoff_ms.
int64_t in_units(int64_t cutoff_ms, int64_t unit_ms) {
  return cutoff_ms / unit_ms + (cutoff_ms % unit_ms > 0 ? 1 : 0);
}

std::string joined(std::initializer_list<std::string> parts) {
  std::string s;
  for (const std::string &p : parts) s += p;
  return s;
}

}  // namespace

void Journal::prepare_pruning() {
  const std::string batch = std::to_string(kPruneBatch);
  bool pg = db().kind() == DbKind::kPostgres;
  for (const Pruned &p : kPruned) {
    std::string t = p.table, at = p.at;
    oldest_sql_.push_back(pg ? joined({"SELECT min(", at, ") FROM ", t})
                             : joined({"SELECT ", at, " FROM ", t, " ORDER BY rowid LIMIT 1"}));
    prune_sql_.push_back(pg ? joined({"DELETE FROM ", t, " WHERE ctid = ANY(ARRAY(SELECT ctid FROM ", t, " WHERE ", at,
                                      " < $1 ORDER BY ", at, " LIMIT ", batch, "))"})
                            : joined({"DELETE FROM ", t, " WHERE rowid IN (SELECT rowid FROM ", t,
                                      " ORDER BY rowid LIMIT ", batch, ") AND ", at, " < $1"}));
  }
}

int64_t Journal::used_bytes() {
  if (db().kind() == DbKind::kPostgres) return db_single(db(), kPgUsed, {}, 0);
  return db_single(db(), kSqliteUsed, {}, 0) * db_single(db(), kSqlitePage, {}, 0);
}

bool Journal::over_cap(int64_t cap) {
  if (db().kind() == DbKind::kPostgres && db_single(db(), kPgStored, {}, 0) <= cap) return false;
  return used_bytes() > cap;
}

int64_t Journal::oldest(int t) {
  int64_t at = db_single(db(), oldest_sql_[static_cast<size_t>(t)].c_str(), {}, INT64_MAX);
  return at == INT64_MAX ? at : at * kPruned[t].unit_ms;
}

// The oldest rows of a table (at most a batch) older than cutoff_ms.
size_t Journal::delete_oldest(int t, int64_t cutoff_ms) {
  if (!db().run(prune_sql_[static_cast<size_t>(t)].c_str(), {in_units(cutoff_ms, kPruned[t].unit_ms)})) {
    LOG_WARN("history: pruning %s: %s", kPruned[t].table, db().error().c_str());
    return 0;
  }
  size_t n = static_cast<size_t>(db().changes());
  pruned_ += n;
  return n;
}

// Past the retention first; then, while over the cap, the oldest rows of
// whichever table holds the oldest.
size_t Journal::prune(int64_t now_ms) {
  size_t n = 0;
  int64_t cutoff = now_ms - static_cast<int64_t>(conf_.days) * kDayMs;
  for (int t = 0; t < kPrunedCount; t++) {
    if (oldest(t) < cutoff) n += delete_oldest(t, cutoff);
  }
  int64_t cap = static_cast<int64_t>(conf_.max_mb) << 20;
  for (int i = 0; i < kCapBatches && over_cap(cap); i++) {
    int pick = 0;
    int64_t at = INT64_MAX;
    for (int t = 0; t < kPrunedCount; t++) {
      int64_t o = oldest(t);
      if (o < at) at = o, pick = t;
    }
    if (at == INT64_MAX) break;
    n += delete_oldest(pick, INT64_MAX);
  }
  return n;
}

}  // namespace hub
