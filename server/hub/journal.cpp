// The journal's writer: queued rows in transactions, and pruning.
#include "journal.h"

#include <sqlite3.h>

#include <chrono>

#include "log.h"

namespace hub {
namespace {

constexpr auto kRetry = std::chrono::seconds(1);
constexpr auto kPruneEvery = std::chrono::seconds(15);
constexpr int kCapBatches = 4;  // batches per pass while over the size cap

// One statement per table; every row binds ?1 gateway, ?2 at, ?3 what,
// ?4 detail, ?5..?8 numbers, ?9 who (a statement takes the ones it names).
const char *const kInsert[] = {
    "INSERT INTO gw_events VALUES(?1, ?2, ?3, ?4)",
    "INSERT INTO gw_samples VALUES(?1, ?2, ?5, ?6)",
    "INSERT INTO gw_traffic VALUES(?1, ?2, ?5, ?6, ?7, ?8) ON CONFLICT(gateway, day) DO UPDATE SET"
    " bytes_in = bytes_in + excluded.bytes_in, bytes_out = bytes_out + excluded.bytes_out,"
    " packets_in = packets_in + excluded.packets_in, packets_out = packets_out + excluded.packets_out",
    "INSERT INTO audit VALUES(?2, ?9, ?3, ?1, ?4)",
};

// Tables pruned, with their time column in milliseconds. Rows go in in
// time order, so the lowest rowids are the oldest rows.
struct Pruned {
  const char *table;
  const char *at_ms;
};
const Pruned kPruned[] = {
    {"gw_samples", "at"}, {"gw_events", "at"}, {"audit", "at"}, {"gw_traffic", "day * 86400000"}};
constexpr int kPrunedCount = sizeof kPruned / sizeof kPruned[0];

void bind_text(sqlite3_stmt *st, int i, const std::string &s) {
  sqlite3_bind_text(st, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
}

void bind_row(sqlite3_stmt *st, const JournalRow &r) {
  bind_text(st, 1, r.gw);
  sqlite3_bind_int64(st, 2, r.at);
  bind_text(st, 3, r.what);
  bind_text(st, 4, r.detail);
  for (int i = 0; i < 4; i++) sqlite3_bind_int64(st, 5 + i, r.n[i]);
  bind_text(st, 9, r.who);
}

int64_t wall_now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

int64_t single(sqlite3 *db, const std::string &sql, int64_t none) {
  sqlite3_stmt *st = nullptr;
  int64_t v = none;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW &&
      sqlite3_column_type(st, 0) != SQLITE_NULL) {
    v = sqlite3_column_int64(st, 0);
  }
  sqlite3_finalize(st);
  return v;
}

bool open_db(const std::string &path, sqlite3 **db, std::string *why) {
  if (sqlite3_open_v2(path.c_str(), db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(*db, 2000);
    return true;
  }
  *why = "history " + path + ": " + (*db ? sqlite3_errmsg(*db) : "cannot open");
  return false;
}

}  // namespace

Journal::~Journal() {
  stop();
  if (db_) sqlite3_close(db_);
  if (rd_) sqlite3_close(rd_);
}

bool Journal::open(const std::string &path, const HistoryConf &conf, std::string *why) {
  conf_ = conf;
  if (!open_db(path, &db_, why) || !open_db(path, &rd_, why)) return false;
  // As the registry's writer: WAL without a sync at every commit.
  sqlite3_exec(db_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  return true;
}

void Journal::start() { writer_ = std::thread(&Journal::run, this); }

bool Journal::add(JournalRow row) {
  std::lock_guard<std::mutex> lock(mu_);
  if (rows_.size() >= kJournalQueue) return dropped_++, false;
  rows_.push_back(std::move(row));
  if (rows_.size() == 1) cv_.notify_one();
  return true;
}

size_t Journal::waiting() {
  std::lock_guard<std::mutex> lock(mu_);
  return rows_.size();
}

void Journal::stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    cv_.notify_one();
  }
  if (writer_.joinable()) writer_.join();
  if (db_) write_waiting();
}

bool Journal::write_waiting() {
  std::vector<JournalRow> rows;
  {
    std::lock_guard<std::mutex> lock(mu_);
    rows.swap(rows_);
  }
  return rows.empty() || write(rows);
}

void Journal::run() {
  auto next_prune = std::chrono::steady_clock::now() + kPruneEvery;
  std::unique_lock<std::mutex> lock(mu_);
  while (!stopping_) {
    cv_.wait_until(lock, next_prune, [this] { return stopping_ || !rows_.empty(); });
    std::vector<JournalRow> rows;
    rows.swap(rows_);
    lock.unlock();
    bool ok = rows.empty() || write(rows);
    if (std::chrono::steady_clock::now() >= next_prune) {
      prune(wall_now_ms());
      next_prune = std::chrono::steady_clock::now() + kPruneEvery;
    }
    lock.lock();
    if (ok) continue;
    rows.insert(rows.end(), std::make_move_iterator(rows_.begin()), std::make_move_iterator(rows_.end()));
    rows_.swap(rows);
    cv_.wait_for(lock, kRetry, [this] { return stopping_; });
  }
}

bool Journal::write(const std::vector<JournalRow> &rows) {
  sqlite3_stmt *st[4] = {};
  bool ok = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
  for (int i = 0; ok && i < 4; i++) ok = sqlite3_prepare_v2(db_, kInsert[i], -1, &st[i], nullptr) == SQLITE_OK;
  for (size_t i = 0; ok && i < rows.size(); i++) {
    sqlite3_stmt *s = st[static_cast<int>(rows[i].table)];
    bind_row(s, rows[i]);
    ok = sqlite3_step(s) == SQLITE_DONE;
    sqlite3_reset(s);
  }
  for (sqlite3_stmt *s : st) sqlite3_finalize(s);
  if (ok && sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) {
    written_ += rows.size();
    return true;
  }
  LOG_ERROR("history: write failed (%s); tried again later", sqlite3_errmsg(db_));
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  errors_++;
  return false;
}

int64_t Journal::used_bytes() {
  return (single(db_, "PRAGMA page_count", 0) - single(db_, "PRAGMA freelist_count", 0)) *
         single(db_, "PRAGMA page_size", 0);
}

int64_t Journal::oldest(int t) {
  return single(db_, std::string("SELECT ") + kPruned[t].at_ms + " FROM " + kPruned[t].table + " ORDER BY rowid LIMIT 1",
                INT64_MAX);
}

// The oldest rows of a table (at most a batch) older than cutoff_ms.
size_t Journal::delete_oldest(int t, int64_t cutoff_ms) {
  const Pruned &p = kPruned[t];
  std::string sql = std::string("DELETE FROM ") + p.table + " WHERE rowid IN (SELECT rowid FROM " + p.table +
                    " ORDER BY rowid LIMIT " + std::to_string(kPruneBatch) + ") AND " + p.at_ms + " < " +
                    std::to_string(cutoff_ms);
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
    LOG_WARN("history: pruning %s: %s", p.table, sqlite3_errmsg(db_));
    return 0;
  }
  size_t n = static_cast<size_t>(sqlite3_changes(db_));
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
  for (int i = 0; i < kCapBatches && used_bytes() > cap; i++) {
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
