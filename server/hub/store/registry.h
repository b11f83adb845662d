// The registry (SQLite or PostgreSQL, db.h): every gateway ever seen with
// its counters, and the exposures made through the API. The loop hands
// over snapshots of changed records; one writer thread stores them in
// transactions, so a slow or absent database never stalls the loop, the
// latest snapshot of a gateway replaces an older one still waiting
// (bounded by the number of gateways), and a write that fails is rolled
// back and tried again without touching what is stored; a connection lost
// is made again with back-off (DbRetry).
//
// Hubs may share the database: counters are stored as what was added since
// the last write (so two hubs' counts add up), a gateway's state only by the
// hub of its latest session, its admission only through the API (the
// latest change wins), and rows other hubs changed come back through
// apply (read by the Sync thread).
#ifndef HUB_REGISTRY_H
#define HUB_REGISTRY_H

#include <stdint.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/config.h"
#include "core/hub.h"
#include "gateways/session.h"
#include "store/worker.h"

namespace hub {

// The registry hears of every changed record (h.reg, when there is one).
extern const GatewayHooks kRegistryHooks;

class Registry {
 public:
  Registry();
  ~Registry();
  Registry(const Registry &) = delete;
  Registry &operator=(const Registry &) = delete;

  // Opens (creates) the database and brings its schema up to date; every
  // gateway this hub held (all of them before set_hub) is offline now, and
  // the hub has its number among those sharing the database. wait_s:
  // seconds to keep trying a database that does not answer (0: once).
  bool open(const DbTarget &t, std::string *why, uint32_t wait_s = 0);
  // Records for every stored gateway; the exposures made through the API.
  bool load(Hub &h, std::vector<ExposureConf> *exposures, std::string *why);
  // The name stored as the holder of the gateways this hub holds ([hub] id);
  // before open.
  void set_hub(const std::string &id) { hub_ = id; }
  const std::string &hub() const { return hub_; }
  int64_t hub_num() const { return num_; }  // 0 for the first hub on a database
  void start() { worker_.start(); }  // the writer thread
  void put(const GatewayRecord &r);
  void put_exposure(const ExposureConf &c, bool present);
  // Stores what waits and ends the writer thread.
  void stop() { worker_.stop(); }
  // Without the writer thread (tests): stores what waits now.
  bool write_waiting();

  // The loop's side (its thread only): a changed record is stored at once
  // when urgent, else marked; flush stores the marked records last stored
  // at least every_ms ago.
  void changed(const GatewayRecord &r, bool urgent, int64_t wall_ms);
  void flush(int64_t wall_ms, int64_t every_ms);

  uint64_t writes() const { return writes_; }
  uint64_t errors() const { return worker_.errors(); }
  uint64_t reconnects() const { return worker_.reconnects(); }
  bool up() const { return worker_.up(); }  // the last write (or the connection) went through

  struct Row {
    std::string id, alias, model, version, peer;
    int64_t first_seen = 0, last_seen = 0;
    int online = 0, signal = 0, network = 0, heartbeat = 0, admission = 0;
    Counters c;           // written: added since the last write; read: the totals
    std::string holder;   // the hub of the session below (written: this hub's, or empty)
    int64_t session = 0;  // wall ms the holder's session began
    int64_t admission_at = 0;
    bool admit = false;   // written: the admission changed here
  };
  // A row as stored (the columns of kRead); another hub's change, applied
  // by the loop: a record this hub does not hold takes it whole, one it
  // holds only a newer admission.
  static bool read_row(const DbRow &row, Row *w);
  // The rows written from $1 on: a transaction ID (PostgreSQL), or after
  // a wall time in ms (SQLite).
  static const char *changed_sql(const Db &db);
  void apply(Hub &h, const Row &w);
  struct ExpRow {
    ExposureConf conf;
    bool present;
  };

 private:
  Db &db() { return worker_.db(); }
  bool write(const std::vector<Row> &rows, const std::vector<ExpRow> &exps);
  bool join(std::string *why);
  void queue(Row w);
  void requeue(std::vector<Row> &rows);

  struct Mark {
    bool dirty = false;  // changed since it was last stored, and in due_
    int64_t saved = 0;   // wall ms it was last stored
    Counters stored;     // the counters as of then (or as read)
    Admission admission = Admission::kByList;  // and its admission
    int64_t admission_at = 0;
  };
  std::unordered_map<const GatewayRecord *, Mark> marks_;  // the loop's
  // Marked records in the order they were last stored, so a flush looks
  // only at those whose time has come, not at the whole fleet.
  std::deque<std::pair<const GatewayRecord *, int64_t>> due_;

  std::string hub_;
  int64_t num_ = 0;
  std::mutex mu_;  // the queue: rows_ and exps_
  std::unordered_map<std::string, Row> rows_;
  std::vector<ExpRow> exps_;
  std::atomic<uint64_t> writes_{0};
  DbWorker worker_;  // the writer and its connection; last, so it ends first
};

}  // namespace hub

#endif
