// The registry: the loop's marks and flushes, and the writer thread.
#include "registry.h"

#include <chrono>

#include "log.h"

namespace hub {
namespace {

Registry::Row snapshot(const GatewayRecord &r, const std::string &hub) {
  Registry::Row w;
  w.id = r.id;
  w.alias = r.alias;
  w.model = r.model;
  w.version = r.version;
  w.peer = r.peer;
  w.first_seen = r.first_seen;
  w.last_seen = r.last_seen;
  w.online = gw_online(r) ? 1 : 0;
  w.signal = r.signal;
  w.network = r.network;
  w.heartbeat = r.heartbeat_s;
  w.admission = static_cast<int>(r.admission);
  w.c = r.c;
  if (r.session) w.holder = hub, w.session = r.session_start;
  return w;
}

void on_changed(Hub &h, GatewayRecord &r, bool urgent) {
  if (h.reg) h.reg->changed(r, urgent, h.wall_ms);
}

}  // namespace

const GatewayHooks kRegistryHooks = {on_changed, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

Registry::~Registry() { stop(); }

void Registry::start() { writer_ = std::thread(&Registry::run, this); }

void Registry::put(const GatewayRecord &r) {
  Row w = snapshot(r, hub_);
  std::lock_guard<std::mutex> lock(mu_);
  rows_[w.id] = std::move(w);
  cv_.notify_one();
}

void Registry::changed(const GatewayRecord &r, bool urgent, int64_t wall_ms) {
  Mark &m = marks_[&r];
  if (urgent) {
    put(r);
    m.saved = wall_ms;
  } else if (!m.dirty) {
    m.dirty = true;
    due_.emplace_back(&r, m.saved);
  }
}

// A record stored at once since it was marked waits in the queue with its
// older time: it is seen, found stored, and queued again by its new time.
void Registry::flush(int64_t wall_ms, int64_t every_ms) {
  for (size_t n = due_.size(); n > 0 && wall_ms - due_.front().second >= every_ms; n--) {
    const GatewayRecord *r = due_.front().first;
    int64_t queued = due_.front().second;
    due_.pop_front();
    Mark &m = marks_[r];
    if (m.saved != queued && wall_ms - m.saved < every_ms) {
      due_.emplace_back(r, m.saved);
      continue;
    }
    put(*r);
    m.dirty = false;
    m.saved = wall_ms;
  }
}

void Registry::put_exposure(const ExposureConf &c, bool present) {
  std::lock_guard<std::mutex> lock(mu_);
  exps_.push_back(ExpRow{c, present});
  cv_.notify_one();
}

void Registry::stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    cv_.notify_one();
  }
  if (writer_.joinable()) writer_.join();
  if (!db_) return;
  // Without a writer thread (never started, or ended): what waits, now.
  std::vector<Row> rows;
  for (auto &kv : rows_) rows.push_back(std::move(kv.second));
  rows_.clear();
  if ((!rows.empty() || !exps_.empty()) && write(rows, exps_)) exps_.clear();
}

void Registry::run() {
  std::unique_lock<std::mutex> lock(mu_);
  while (true) {
    cv_.wait(lock, [this] { return stopping_ || !rows_.empty() || !exps_.empty(); });
    if (rows_.empty() && exps_.empty()) return;
    std::vector<Row> rows;
    rows.reserve(rows_.size());
    for (auto &kv : rows_) rows.push_back(std::move(kv.second));
    rows_.clear();
    std::vector<ExpRow> exps;
    exps.swap(exps_);
    lock.unlock();
    bool ok = write(rows, exps);
    lock.lock();
    if (ok) {
      retry_.reset();
      continue;
    }
    for (Row &w : rows) rows_.emplace(w.id, std::move(w));  // a newer snapshot stays
    exps.insert(exps.end(), exps_.begin(), exps_.end());
    exps_.swap(exps);
    if (stopping_) return;
    cv_.wait_for(lock, retry_.next(), [this] { return stopping_; });
    lock.unlock();
    recover();
    lock.lock();
  }
}

// After a failed write: a connection that went away is made again.
void Registry::recover() {
  if (db_->connected()) return;
  reconnects_++;
  if (db_->reconnect()) {
    LOG_INFO("registry: connected again");
  } else {
    LOG_WARN("registry: still away: %s", db_->error().c_str());
  }
}

}  // namespace hub
