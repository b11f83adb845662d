// The registry: the loop's marks and flushes, and the writer's batches.
#include "store/registry.h"

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
  w.admission_at = r.admission_at;
  // Its session here, live or ended; another hub's is not this hub's to store.
  if (r.session || r.holder.empty() || r.holder == hub || hub.empty()) {
    w.holder = hub.empty() ? r.holder : hub;
    w.session = r.session_start;
  }
  return w;
}

uint64_t less(uint64_t now, uint64_t then) { return now > then ? now - then : 0; }

Counters added(const Counters &now, const Counters &then) {
  return Counters{less(now.bytes_in, then.bytes_in),     less(now.bytes_out, then.bytes_out),
                  less(now.packets_in, then.packets_in), less(now.packets_out, then.packets_out),
                  less(now.reconnects, then.reconnects), less(now.malformed, then.malformed),
                  less(now.modbus_timeouts, then.modbus_timeouts), less(now.verify_fail, then.verify_fail)};
}

void add(Counters &to, const Counters &c) {
  to.bytes_in += c.bytes_in, to.bytes_out += c.bytes_out, to.packets_in += c.packets_in;
  to.packets_out += c.packets_out, to.reconnects += c.reconnects, to.malformed += c.malformed;
  to.modbus_timeouts += c.modbus_timeouts, to.verify_fail += c.verify_fail;
}

bool none(const Counters &c) {
  return (c.bytes_in | c.bytes_out | c.packets_in | c.packets_out | c.reconnects | c.malformed | c.modbus_timeouts |
          c.verify_fail) == 0;
}

// An older row still waiting goes into the newer one: its counts add up,
// its admission change is still to be written.
void take_older(Registry::Row &newer, const Registry::Row &older) {
  add(newer.c, older.c);
  newer.admit = newer.admit || older.admit;
}

// What another hub stored about a gateway this hub does not hold.
void copy_row(GatewayRecord &r, const Registry::Row &w, const std::string &hub) {
  r.alias = w.alias, r.model = w.model, r.version = w.version, r.peer = w.peer;
  r.first_seen = w.first_seen, r.last_seen = w.last_seen;
  r.signal = static_cast<uint8_t>(w.signal);
  r.network = static_cast<uint8_t>(w.network);
  r.heartbeat_s = static_cast<uint16_t>(w.heartbeat);
  r.c = w.c;
  r.holder = w.holder;
  r.session_start = w.session;
  r.elsewhere = w.online != 0 && !w.holder.empty() && w.holder != hub;
}

void on_changed(Hub &h, GatewayRecord &r, bool urgent) {
  if (h.reg) h.reg->changed(r, urgent, h.wall_ms);
}

}  // namespace

const GatewayHooks kRegistryHooks = [] {
  GatewayHooks row{};
  row.changed = on_changed;
  return row;
}();

Registry::Registry() : worker_("registry", [this] { return write_waiting(); }) {}

Registry::~Registry() { stop(); }

void Registry::put(const GatewayRecord &r) {
  Mark &m = marks_[&r];
  Row w = snapshot(r, hub_);
  w.c = added(r.c, m.stored);
  w.admit = r.admission_at != m.admission_at || r.admission != m.admission;
  m.stored = r.c;
  m.admission = r.admission;
  m.admission_at = r.admission_at;
  if (w.session == 0 && !r.holder.empty() && !w.admit && none(w.c)) return;  // another hub's: nothing of ours
  queue(std::move(w));
}

void Registry::queue(Row w) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = rows_.find(w.id);
  if (it != rows_.end()) take_older(w, it->second);
  rows_[w.id] = std::move(w);
  worker_.wake();
}

// A batch that failed: a newer snapshot queued since stays, with its counts.
void Registry::requeue(std::vector<Row> &rows) {
  for (Row &w : rows) {
    auto it = rows_.find(w.id);
    if (it == rows_.end()) rows_.emplace(w.id, std::move(w));
    else take_older(it->second, w);
  }
}

void Registry::apply(Hub &h, const Row &w) {
  bool made = false;
  GatewayRecord &r = hub_record(h, w.id, &made);
  Mark &m = marks_[&r];
  bool readmit = w.admission_at > r.admission_at || (made && w.admission_at == 0);
  if (readmit) {
    r.admission = w.admission >= 0 && w.admission <= 2 ? static_cast<Admission>(w.admission) : Admission::kByList;
    m.admission_at = r.admission_at = w.admission_at;
    m.admission = r.admission;
  }
  if (!r.session) {
    copy_row(r, w, hub_);
    m.stored = r.c;
  } else if (readmit) {
    gw_readmit(h, r);
    gw_changed(h, r, true);
  }
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
  worker_.wake();
}

bool Registry::write_waiting() {
  std::vector<Row> rows;
  std::vector<ExpRow> exps;
  {
    std::lock_guard<std::mutex> lock(mu_);
    rows.reserve(rows_.size());
    for (auto &kv : rows_) rows.push_back(std::move(kv.second));
    rows_.clear();
    exps.swap(exps_);
  }
  if ((rows.empty() && exps.empty()) || write(rows, exps)) return true;
  std::lock_guard<std::mutex> lock(mu_);
  requeue(rows);
  exps.insert(exps.end(), std::make_move_iterator(exps_.begin()), std::make_move_iterator(exps_.end()));
  exps_.swap(exps);
  return false;
}

}  // namespace hub
