// History and audit rows in the registry's database. The loop queues rows
// (bounded: beyond kJournalQueue waiting, rows are dropped and counted);
// one writer thread with a connection of its own stores them, a batch per
// transaction, and a few times a minute prunes in small batches: rows
// older than the retention, then the oldest rows while the history is
// over its size cap. A batch that fails is rolled back and tried again,
// after a connection lost is made again (back-off, DbRetry). Queries for
// the API run on a read connection of the loop's, newest rows first, a
// page at a time: on SQLite (WAL) the writer does not block them; on
// PostgreSQL a query may take at most kReadTimeoutMs, and while the
// database is away the loop tries it again at most every kReadRetryMs.
#ifndef HUB_JOURNAL_H
#define HUB_JOURNAL_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "core/config.h"
#include "store/worker.h"

struct cJSON;

namespace hub {

constexpr size_t kJournalQueue = 200000;  // rows waiting for the writer
constexpr size_t kPruneBatch = 2000;      // rows deleted per statement
constexpr int64_t kDayMs = 86400000;
constexpr int kReadTimeoutMs = 2000;  // PostgreSQL: a query of the API's, at most
constexpr int64_t kReadRetryMs = 5000;  // a read connection lost: tried again after

enum class Table : uint8_t { kEvent, kSample, kTraffic, kAudit };

struct JournalRow {
  Table table = Table::kEvent;
  int64_t at = 0;    // wall ms; traffic: the UTC day (days since 1970)
  std::string gw;    // the gateway (audit: empty when none)
  std::string what;  // event; audit: the action
  std::string detail;  // event detail; audit: the outcome
  std::string who;   // audit: the token's name or "mqtt"
  int64_t n[4] = {};  // sample: signal, network; traffic: bytes in, out, packets in, out
};

// A page of a query: rows with from <= at < min(to, before), newest first.
struct Span {
  int64_t from = 0, to = 0, before = INT64_MAX;
  size_t limit = 500;
  int64_t bucket_ms = 0;  // samples: min/avg/max per bucket of this many ms (0: each sample)
};

class Journal {
 public:
  Journal();
  ~Journal();
  Journal(const Journal &) = delete;
  Journal &operator=(const Journal &) = delete;

  // Opens the writer's and the reader's connections to a registry whose
  // schema is in place (Registry::open).
  bool open(const DbTarget &t, const HistoryConf &conf, std::string *why);
  void start() { worker_.start(); }  // the writer thread
  // Stores what waits and ends the writer thread.
  void stop() { worker_.stop(); }

  // The loop's side: false when the row was dropped (queue full).
  bool add(JournalRow row);

  // Without the writer thread (tests, tools): stores what waits now, and
  // one pass of pruning at now_ms; rows deleted.
  bool write_waiting();
  size_t prune(int64_t now_ms);
  // What the size cap counts, in bytes: SQLite, the pages of the database
  // in use (free pages not counted); PostgreSQL, the history's rows.
  int64_t used_bytes();

  // Queries (the loop's thread): {"rows": [...], "more": bool, "before": at};
  // null when the database did not answer (query_error() says why).
  cJSON *events(const std::string &gw, const Span &s);
  cJSON *samples(const std::string &gw, const Span &s);
  cJSON *traffic(const std::string &gw, const Span &s);
  cJSON *audit(const std::string &who, const std::string &gw, const Span &s);

  uint64_t written() const { return written_; }
  uint64_t dropped() const { return dropped_; }
  uint64_t errors() const { return worker_.errors(); }
  uint64_t pruned() const { return pruned_; }
  uint64_t reconnects() const { return worker_.reconnects(); }
  bool up() const { return worker_.up(); }  // the last write went through
  const std::string &query_error() const { return query_error_; }
  size_t waiting();

 private:
  Db &db() { return worker_.db(); }
  void prepare_pruning();
  size_t delete_oldest(int table, int64_t cutoff_ms);
  int64_t oldest(int table);
  bool over_cap(int64_t cap);
  cJSON *page(const char *sql, const char *const *cols, const std::string &key, const Span &s,
              const std::string &gw = "");

  HistoryConf conf_;
  std::unique_ptr<Db> rd_;  // the loop's, for queries
  int64_t rd_lost_ms_ = 0;  // when the loop last found its connection lost
  std::string query_error_;
  std::vector<std::string> oldest_sql_, prune_sql_;  // per pruned table, in the database's dialect
  std::mutex mu_;  // the queue
  std::vector<JournalRow> rows_;
  std::atomic<uint64_t> written_{0}, dropped_{0}, pruned_{0};
  DbWorker worker_;  // the writer and its connection; last, so it ends first
};

}  // namespace hub

#endif
