// What the other hubs sharing the registry did, read back. A thread with a
// connection of its own, once a second: notes this hub alive (table hubs);
// finds the hubs not heard from for kHubGoneMs and, once per such death,
// sets their gateways offline and fails their targets sent and not
// answered (at most once: never sent again); reads the gateways, jobs and
// targets written since its last read — on PostgreSQL by the writing
// transaction's ID, from the oldest transaction still open at the last
// read on, so a batch committed late is not missed (what is read twice is
// applied twice, harmlessly). The
// loop takes what was read (sync_apply), the gateway rows a slice a pass
// (a million rows changed at once would hold it up for seconds), and never
// waits on the database; a database that goes away is tried again with
// back-off.
#ifndef HUB_SYNC_H
#define HUB_SYNC_H

#include <stdint.h>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "store/jobstore.h"
#include "store/registry.h"
#include "store/worker.h"

namespace hub {

class Sync {
 public:
  static constexpr int64_t kEveryMs = 1000, kOverlapMs = 5000, kHubGoneMs = 15000;

  struct Found {
    std::deque<Registry::Row> gateways;
    std::vector<std::unique_ptr<Job>> jobs;  // new to this hub, with their targets
    std::vector<uint64_t> cancelled;
    std::vector<std::pair<uint64_t, JobTarget>> targets;
    std::vector<std::string> alive;  // the other hubs heard from lately
    bool heard = false;              // alive is from a read
    bool back = false;               // the first read after the database was away
  };

  Sync();
  ~Sync();
  Sync(const Sync &) = delete;
  Sync &operator=(const Sync &) = delete;

  // Opened before the registry is loaded: the first read starts with what
  // was written from then on.
  bool open(const DbTarget &t, const std::string &hub, std::string *why);
  // The jobs in known are loaded already.
  void start(const std::vector<uint64_t> &known);
  void stop() { worker_.stop(); }
  // One round now, on the caller's thread (tests, or without start).
  bool round();
  // The loop's side: what was read since the last call, at most `most`
  // gateway rows of it (the rest at the next call, in order); false when
  // nothing. *more: gateway rows still wait.
  bool take(Found *out, size_t most = SIZE_MAX, bool *more = nullptr);

  bool up() const { return up_; }
  uint64_t rounds() const { return rounds_; }
  uint64_t rows() const { return rows_; }  // gateway and target rows read so far

 private:
  Db &db() { return worker_.db(); }
  bool read(int64_t now, Found *f);
  bool read_hubs(int64_t now, Found *f);
  bool read_jobs(Found *f);
  void bury(const std::string &hub, int64_t now);

  std::string hub_;
  int64_t since_ = 0;  // the mark the next read starts from (mark_now)
  std::set<uint64_t> known_;
  std::set<std::string> buried_;  // gone hubs whose work was ended
  std::mutex mu_;                 // what was read: found_, any_
  Found found_;
  bool any_ = false;
  std::atomic<bool> up_{true};
  std::atomic<uint64_t> rounds_{0};
  std::atomic<uint64_t> rows_{0};
  DbWorker worker_;  // the thread and its connection; last, so it ends first
};

}  // namespace hub

#endif
