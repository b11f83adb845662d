// The one loop of the store's threads (the registry's, the journal's and
// the job store's writers, the cluster sync): a worker owns a connection
// and a thread, its owner the queue. The owner's batch takes what waits and
// stores it through transact (all of it or nothing); one that fails is put
// back ahead of what came since (write_batch), so order is kept. A batch
// runs when the owner wakes the worker, a round on the worker's clock;
// after a failure the worker backs off (DbRetry), makes a connection that
// went away again and tries again. stop() ends the thread and runs the
// batch once more: what waits is stored.
#ifndef HUB_WORKER_H
#define HUB_WORKER_H

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "store/db.h"

namespace hub {

using DbStep = std::function<bool()>;  // true: went through (or nothing to do)

// A worker's round: first after start, then every after the end of the
// last one that went through (one that failed: again after the back-off).
struct DbRound {
  std::chrono::milliseconds first{0}, every{0};
  DbStep run;
};

class DbWorker {
 public:
  // who names it in the log; batch may be empty (nothing queued), and so
  // may the round's run (no round).
  DbWorker(const char *who, DbStep batch, DbRound round = {})
      : who_(who), batch_(std::move(batch)), round_(std::move(round)) {}
  ~DbWorker() { end(); }
  DbWorker(const DbWorker &) = delete;
  DbWorker &operator=(const DbWorker &) = delete;

  bool open(const DbTarget &t, std::string *why) { return (db_ = db_open(t, why)) != nullptr; }
  Db &db() { return *db_; }
  void start() { thread_ = std::thread(&DbWorker::run, this); }
  void wake();  // the owner queued something (its lock may be held)
  // Ends the thread, then stores what waits (with a connection).
  void stop();
  // The statements of a batch in one transaction; a failure rolls it back,
  // is logged and counted.
  bool transact(const std::function<bool(Db &)> &statements);

  uint64_t errors() const { return errors_; }
  uint64_t reconnects() const { return reconnects_; }
  bool up() const { return up_; }  // the last transaction (or the connection) went through

 private:
  using Clock = std::chrono::steady_clock;
  void run();
  bool pass(bool batch, Clock::time_point *next);
  void end();

  const char *who_;
  DbStep batch_;
  DbRound round_;
  std::unique_ptr<Db> db_;
  DbRetry retry_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool work_ = false, stopping_ = false;
  std::thread thread_;
  std::atomic<uint64_t> errors_{0}, reconnects_{0};
  std::atomic<bool> up_{true};
};

// A batch of a queue that mu guards: all of it stored by write, or put
// back ahead of what was queued since.
template <typename T, typename Write>
bool write_batch(std::mutex &mu, std::vector<T> &queue, Write write) {
  std::vector<T> batch;
  {
    std::lock_guard<std::mutex> lock(mu);
    batch.swap(queue);
  }
  if (batch.empty() || write(batch)) return true;
  std::lock_guard<std::mutex> lock(mu);
  batch.insert(batch.end(), std::make_move_iterator(queue.begin()), std::make_move_iterator(queue.end()));
  queue.swap(batch);
  return false;
}

// Wall time in ms, as the store writes it.
int64_t store_now_ms();

}  // namespace hub

#endif
