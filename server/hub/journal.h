// History and audit rows in the registry's database. The loop queues rows
// (bounded: beyond kJournalQueue waiting, rows are dropped and counted);
// one writer thread with a connection of its own stores them, a batch per
// transaction, and a few times a minute prunes in small batches: rows
// older than the retention, then the oldest rows while the database is
// over its size cap. A batch that fails is rolled back and tried again a
// second later. Queries for the API run on a read connection of the loop's
// (WAL: the writer does not block them), newest rows first, a page at a
// time.
#ifndef HUB_JOURNAL_H
#define HUB_JOURNAL_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config.h"

struct sqlite3;
struct cJSON;

namespace hub {

constexpr size_t kJournalQueue = 200000;  // rows waiting for the writer
constexpr size_t kPruneBatch = 2000;      // rows deleted per statement
constexpr int64_t kDayMs = 86400000;

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
  Journal() = default;
  ~Journal();
  Journal(const Journal &) = delete;
  Journal &operator=(const Journal &) = delete;

  // Opens the writer's and the reader's connections to a registry whose
  // schema is in place (Registry::open).
  bool open(const std::string &path, const HistoryConf &conf, std::string *why);
  void start();  // the writer thread
  // Stores what waits and ends the writer thread.
  void stop();

  // The loop's side: false when the row was dropped (queue full).
  bool add(JournalRow row);

  // Without the writer thread (tests, tools): stores what waits now, and
  // one pass of pruning at now_ms; rows deleted.
  bool write_waiting();
  size_t prune(int64_t now_ms);
  // Pages of the database in use, in bytes (free pages not counted).
  int64_t used_bytes();

  // Queries (the loop's thread): {"rows": [...], "more": bool, "before": at}.
  cJSON *events(const std::string &gw, const Span &s);
  cJSON *samples(const std::string &gw, const Span &s);
  cJSON *traffic(const std::string &gw, const Span &s);
  cJSON *audit(const std::string &who, const std::string &gw, const Span &s);

  uint64_t written() const { return written_; }
  uint64_t dropped() const { return dropped_; }
  uint64_t errors() const { return errors_; }
  uint64_t pruned() const { return pruned_; }
  size_t waiting();

 private:
  void run();
  bool write(const std::vector<JournalRow> &rows);
  size_t delete_oldest(int table, int64_t cutoff_ms);
  int64_t oldest(int table);

  HistoryConf conf_;
  sqlite3 *db_ = nullptr;  // the writer's
  sqlite3 *rd_ = nullptr;  // the loop's, for queries
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<JournalRow> rows_;
  bool stopping_ = false;
  std::thread writer_;
  std::atomic<uint64_t> written_{0}, dropped_{0}, errors_{0}, pruned_{0};
};

}  // namespace hub

#endif
