// The journal's writer: queued rows in transactions (DbWorker), and the
// pruning on its clock.
#include "store/journal.h"

#include <chrono>

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

}  // namespace

// The writer prunes every kPruneEvery, after a batch that went through.
Journal::Journal()
    : worker_("history", [this] { return write_waiting(); },
              {kPruneEvery, kPruneEvery, [this] {
                prune(store_now_ms());
                return true;
              }}) {}

Journal::~Journal() { stop(); }

bool Journal::open(const DbTarget &t, const HistoryConf &conf, std::string *why) {
  conf_ = conf;
  DbTarget read = t;
  read.timeout_ms = kReadTimeoutMs;
  if (!worker_.open(t, why) || !(rd_ = db_open(read, why))) return false;
  prepare_pruning();
  return true;
}

bool Journal::add(JournalRow row) {
  std::lock_guard<std::mutex> lock(mu_);
  if (rows_.size() >= kJournalQueue) return dropped_++, false;
  rows_.push_back(std::move(row));
  if (rows_.size() == 1) worker_.wake();  // the first of a batch
  return true;
}

size_t Journal::waiting() {
  std::lock_guard<std::mutex> lock(mu_);
  return rows_.size();
}

bool Journal::write_waiting() {
  return write_batch(mu_, rows_, [this](const std::vector<JournalRow> &rows) {
    bool ok = worker_.transact([&](Db &db) {
      for (const JournalRow &r : rows) {
        if (!db.run(kInsert[static_cast<int>(r.table)], row_params(r))) return false;
      }
      return true;
    });
    if (ok) written_ += rows.size();
    return ok;
  });
}

}  // namespace hub
