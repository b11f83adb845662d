// The journal's writer: queued rows in transactions, a lost connection
// made again.
#include "store/journal.h"

#include <chrono>

#include "core/log.h"

namespace hub {
namespace {

constexpr auto kPruneEvery = std::chrono::seconds(15);

// One statement per table; every row binds $1 gateway, $2 at, $3 what,
// $4 detail, $5..$8 numbers, $9 who (a statement takes the ones it names).
const char *const kInsert[] = {
    "INSERT INTO gw_events VALUES($1, $2, $3, $4)",
    "INSERT INTO gw_samples VALUES($1, $2, $5, $6)",
    "INSERT INTO gw_traffic VALUES($1, $2, $5, $6, $7, $8) ON CONFLICT(gateway, day) DO UPDATE SET"
    " bytes_in = gw_traffic.bytes_in + excluded.bytes_in, bytes_out = gw_traffic.bytes_out + excluded.bytes_out,"
    " packets_in = gw_traffic.packets_in + excluded.packets_in,"
    " packets_out = gw_traffic.packets_out + excluded.packets_out",
    "INSERT INTO audit VALUES($2, $9, $3, $1, $4)",
};

DbParams row_params(const JournalRow &r) {
  return {r.gw, r.at, r.what, r.detail, r.n[0], r.n[1], r.n[2], r.n[3], r.who};
}

int64_t wall_now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

Journal::~Journal() { stop(); }

bool Journal::open(const DbTarget &t, const HistoryConf &conf, std::string *why) {
  conf_ = conf;
  DbTarget read = t;
  read.timeout_ms = kReadTimeoutMs;
  if (!(db_ = db_open(t, why)) || !(rd_ = db_open(read, why))) return false;
  prepare_pruning();
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
    if (ok && std::chrono::steady_clock::now() >= next_prune) {
      prune(wall_now_ms());
      next_prune = std::chrono::steady_clock::now() + kPruneEvery;
    }
    lock.lock();
    if (ok) {
      retry_.reset();
      continue;
    }
    rows.insert(rows.end(), std::make_move_iterator(rows_.begin()), std::make_move_iterator(rows_.end()));
    rows_.swap(rows);
    cv_.wait_for(lock, retry_.next(), [this] { return stopping_; });
    lock.unlock();
    if (db_recover(*db_, "history")) reconnects_++;
    lock.lock();
  }
}

bool Journal::write(const std::vector<JournalRow> &rows) {
  bool ok = db_->begin();
  for (size_t i = 0; ok && i < rows.size(); i++) ok = db_->run(kInsert[static_cast<int>(rows[i].table)], row_params(rows[i]));
  if (ok && db_->commit()) {
    written_ += rows.size();
    return up_ = true;
  }
  LOG_ERROR("history: write failed (%s); tried again later", db_->error().c_str());
  db_->rollback();
  errors_++;
  up_ = db_->connected();
  return false;
}

}  // namespace hub
