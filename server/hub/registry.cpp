// The registry: SQLite schema, loading, and the writer thread.
#include "registry.h"

#include <sqlite3.h>

#include <chrono>

#include "log.h"
#include "schema.h"

namespace hub {
namespace {

const char *const kAllOffline = "UPDATE gateways SET online = 0;";

const char *const kUpsert =
    "INSERT INTO gateways VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14,?15,?16,?17,?18,?19,?20)"
    " ON CONFLICT(id) DO UPDATE SET alias=?2, model=?3, version=?4, peer=?5, first_seen=?6,"
    " last_seen=?7, online=?8, signal=?9, network=?10, heartbeat=?11, admission=?12, bytes_in=?13,"
    " bytes_out=?14, packets_in=?15, packets_out=?16, reconnects=?17, malformed=?18,"
    " modbus_timeouts=?19, verify_fail=?20";

constexpr auto kRetry = std::chrono::seconds(1);

Registry::Row snapshot(const GatewayRecord &r) {
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
  return w;
}

void bind_text(sqlite3_stmt *st, int i, const std::string &s) {
  sqlite3_bind_text(st, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
}

void bind_row(sqlite3_stmt *st, const Registry::Row &w) {
  const std::string *texts[] = {&w.id, &w.alias, &w.model, &w.version, &w.peer};
  for (int i = 0; i < 5; i++) bind_text(st, i + 1, *texts[i]);
  const int64_t nums[] = {w.first_seen, w.last_seen, w.online, w.signal, w.network, w.heartbeat, w.admission,
                          static_cast<int64_t>(w.c.bytes_in), static_cast<int64_t>(w.c.bytes_out),
                          static_cast<int64_t>(w.c.packets_in), static_cast<int64_t>(w.c.packets_out),
                          static_cast<int64_t>(w.c.reconnects), static_cast<int64_t>(w.c.malformed),
                          static_cast<int64_t>(w.c.modbus_timeouts), static_cast<int64_t>(w.c.verify_fail)};
  for (int i = 0; i < 15; i++) sqlite3_bind_int64(st, i + 6, nums[i]);
}

std::string column(sqlite3_stmt *st, int i) {
  const unsigned char *t = sqlite3_column_text(st, i);
  return t ? std::string(reinterpret_cast<const char *>(t), static_cast<size_t>(sqlite3_column_bytes(st, i)))
           : std::string();
}

void load_row(Hub &h, sqlite3_stmt *st) {
  GatewayRecord &r = hub_record(h, column(st, 0));
  r.alias = column(st, 1);
  r.model = column(st, 2);
  r.version = column(st, 3);
  r.peer = column(st, 4);
  r.first_seen = sqlite3_column_int64(st, 5);
  r.last_seen = sqlite3_column_int64(st, 6);
  r.signal = static_cast<uint8_t>(sqlite3_column_int(st, 8));
  r.network = static_cast<uint8_t>(sqlite3_column_int(st, 9));
  r.heartbeat_s = static_cast<uint16_t>(sqlite3_column_int(st, 10));
  int adm = sqlite3_column_int(st, 11);
  r.admission = adm >= 0 && adm <= 2 ? static_cast<Admission>(adm) : Admission::kByList;
  uint64_t *counters[] = {&r.c.bytes_in,   &r.c.bytes_out,  &r.c.packets_in,      &r.c.packets_out,
                          &r.c.reconnects, &r.c.malformed, &r.c.modbus_timeouts, &r.c.verify_fail};
  for (int i = 0; i < 8; i++) *counters[i] = static_cast<uint64_t>(sqlite3_column_int64(st, 12 + i));
}

void on_changed(Hub &h, GatewayRecord &r, bool urgent) {
  if (h.reg) h.reg->changed(r, urgent, h.wall_ms);
}

}  // namespace

const GatewayHooks kRegistryHooks = {on_changed, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};

Registry::~Registry() {
  stop();
  if (db_) sqlite3_close(db_);
}

bool Registry::exec(const char *sql) {
  char *err = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) == SQLITE_OK) return true;
  LOG_ERROR("registry: %s", err ? err : "?");
  sqlite3_free(err);
  return false;
}

bool Registry::open(const std::string &path, std::string *why) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    *why = "registry " + path + ": " + (db_ ? sqlite3_errmsg(db_) : "cannot open");
    return false;
  }
  sqlite3_busy_timeout(db_, 2000);
  if (!exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;") || !schema_migrate(db_, why) ||
      !exec(kAllOffline)) {
    *why = "registry " + path + ": " + (why->empty() ? sqlite3_errmsg(db_) : *why);
    return false;
  }
  return true;
}

bool Registry::load(Hub &h, std::vector<ExposureConf> *exposures, std::string *why) {
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db_, "SELECT * FROM gateways", -1, &st, nullptr) != SQLITE_OK) {
    *why = sqlite3_errmsg(db_);
    return false;
  }
  while (sqlite3_step(st) == SQLITE_ROW) load_row(h, st);
  sqlite3_finalize(st);
  if (sqlite3_prepare_v2(db_, "SELECT gateway, port, kind, listen FROM exposures", -1, &st, nullptr) != SQLITE_OK) {
    *why = sqlite3_errmsg(db_);
    return false;
  }
  while (sqlite3_step(st) == SQLITE_ROW) {
    ExposureConf c;
    c.gateway = column(st, 0);
    c.port = static_cast<unsigned>(sqlite3_column_int(st, 1));
    c.kind = column(st, 2) == "raw" ? ExpKind::kRaw : ExpKind::kModbus;
    if (parse_endpoint(column(st, 3), &c.listen)) exposures->push_back(c);
  }
  sqlite3_finalize(st);
  return true;
}

void Registry::start() { writer_ = std::thread(&Registry::run, this); }

void Registry::put(const GatewayRecord &r) {
  Row w = snapshot(r);
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
    if (ok) continue;
    for (Row &w : rows) rows_.emplace(w.id, std::move(w));  // a newer snapshot stays
    exps.insert(exps.end(), exps_.begin(), exps_.end());
    exps_.swap(exps);
    if (stopping_) return;
    cv_.wait_for(lock, kRetry, [this] { return stopping_; });
  }
}

bool Registry::write(const std::vector<Row> &rows, const std::vector<ExpRow> &exps) {
  sqlite3_stmt *up = nullptr;
  if (!exec("BEGIN IMMEDIATE")) return errors_++, false;
  bool ok = sqlite3_prepare_v2(db_, kUpsert, -1, &up, nullptr) == SQLITE_OK;
  for (size_t i = 0; ok && i < rows.size(); i++) {
    bind_row(up, rows[i]);
    ok = sqlite3_step(up) == SQLITE_DONE;
    sqlite3_reset(up);
  }
  sqlite3_finalize(up);
  for (size_t i = 0; ok && i < exps.size(); i++) {
    const ExposureConf &c = exps[i].conf;
    sqlite3_stmt *st = nullptr;
    const char *sql = exps[i].present ? "INSERT OR REPLACE INTO exposures VALUES(?1, ?2, ?3, ?4)"
                                      : "DELETE FROM exposures WHERE gateway = ?1 AND port = ?2";
    ok = sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) == SQLITE_OK;
    if (ok) {
      bind_text(st, 1, c.gateway);
      sqlite3_bind_int(st, 2, static_cast<int>(c.port));
      if (exps[i].present) {
        bind_text(st, 3, c.kind == ExpKind::kRaw ? "raw" : "modbus");
        bind_text(st, 4, c.listen.host + ":" + std::to_string(c.listen.port));
      }
      ok = sqlite3_step(st) == SQLITE_DONE;
    }
    sqlite3_finalize(st);
  }
  if (ok && exec("COMMIT")) {
    writes_ += rows.size() + exps.size();
    return true;
  }
  LOG_ERROR("registry: write failed (%s); tried again later", sqlite3_errmsg(db_));
  exec("ROLLBACK");
  errors_++;
  return false;
}

}  // namespace hub
