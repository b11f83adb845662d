// The one loop of the store's background threads (the registry's, the
// journal's and the job store's writers, the cluster sync). A worker owns a
// connection and a thread; its owner keeps the queue. The owner's batch
// takes what waits, stores it through transact (one transaction: all of it
// or nothing) and, when that fails, puts it back ahead of what came since
// (put_back), so nothing is stored by halves and the order is kept. A batch
// runs when the owner says work waits (wake); a round, if there is one,
// runs on the worker's clock. After a batch or a round that failed the
// worker waits (DbRetry), makes a connection that went away again, and
// tries again. stop() ends the thread and runs the batch once more, so
// what waits is stored.
#ifndef HUB_WORKER_H
#define HUB_WORKER_H

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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
  DbWorker(const char *who, DbStep batch, DbRound round = {});
  ~DbWorker();
  DbWorker(const DbWorker &) = delete;
  DbWorker &operator=(const DbWorker &) = delete;

  bool open(const DbTarget &t, std::string *why);
  Db &db() { return *db_; }
  void start();
  // The owner queued something: a batch is due.
  void wake();
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
  void back_off(std::unique_lock<std::mutex> &lock);
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

// A batch that failed goes back ahead of what was queued since.
template <typename T>
void put_back(std::vector<T> &queue, std::vector<T> &failed) {
  failed.insert(failed.end(), std::make_move_iterator(queue.begin()), std::make_move_iterator(queue.end()));
  queue.swap(failed);
}

// Wall time in ms, as the store writes it.
int64_t store_now_ms();

}  // namespace hub

#endif
