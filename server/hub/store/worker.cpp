// The store's thread loop: a batch when woken, a round on a clock, and
// after a failure the back-off and the connection made again.
#include "store/worker.h"

#include "core/log.h"

namespace hub {

void DbWorker::wake() {
  std::lock_guard<std::mutex> lock(mu_);
  work_ = true;
  cv_.notify_one();
}

void DbWorker::end() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    cv_.notify_one();
  }
  if (thread_.joinable()) thread_.join();
}

// Without the thread (never started, or ended): what waits, now.
void DbWorker::stop() {
  end();
  if (db_ && batch_) batch_();
}

bool DbWorker::transact(const std::function<bool(Db &)> &statements) {
  if (db_->begin() && statements(*db_) && db_->commit()) return up_ = true;
  LOG_ERROR("%s: write failed (%s); tried again later", who_, db_->error().c_str());
  db_->rollback();
  errors_++;
  up_ = db_->connected();
  return false;
}

// Stopping, what waits is stored until all of it is, or a batch fails
// (stop tries once more).
void DbWorker::run() {
  Clock::time_point next = Clock::now() + round_.first;
  std::unique_lock<std::mutex> lock(mu_);
  auto woken = [this] { return stopping_ || work_; };
  while (true) {
    if (round_.run) {
      cv_.wait_until(lock, next, woken);
    } else {
      cv_.wait(lock, woken);
    }
    if (stopping_ && !work_) return;
    bool batch = work_;
    work_ = false;
    lock.unlock();
    bool ok = pass(batch, &next);
    lock.lock();
    if (ok) {
      retry_.reset();
      continue;
    }
    work_ = work_ || batch;  // the batch is back in its queue
    if (stopping_) return;
    cv_.wait_for(lock, retry_.next(), [this] { return stopping_; });
    lock.unlock();
    if (db_recover(*db_, who_)) reconnects_++;
    lock.lock();
  }
}

// The batch if one is due, then the round if its time has come (and the
// batch went through); a round that failed is due again at once.
bool DbWorker::pass(bool batch, Clock::time_point *next) {
  bool ok = !batch || batch_();
  if (ok && round_.run && Clock::now() >= *next) {
    ok = round_.run();
    *next = ok ? Clock::now() + round_.every : Clock::now();
  }
  return ok;
}

int64_t store_now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace hub
