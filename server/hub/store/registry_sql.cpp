// The registry's SQL: opening a database (waiting for it if asked),
// loading the fleet, and one batch of snapshots in a transaction.
#include <unistd.h>

#include <chrono>

#include "core/log.h"
#include "store/registry.h"
#include "store/schema.h"

namespace hub {
namespace {

#define GATEWAY_COLUMNS                                                                                    \
  "id, alias, model, version, peer, first_seen, last_seen, online, signal, network, heartbeat, admission," \
  " bytes_in, bytes_out, packets_in, packets_out, reconnects, malformed, modbus_timeouts, verify_fail"

// The state is the latest session's: a hub storing an older one (or none:
// the gateway was only ever another's) leaves it, and the holder, in place.
// Counters add what each hub counted since its last write. The admission
// is written with the row only when the row is new (else by kAdmit).
#define FRESH(col)                                                                                            \
  " " #col " = CASE WHEN excluded.holder_session >= coalesce(gateways.holder_session, 0) THEN excluded." #col \
  " ELSE gateways." #col " END"
#define ADD(col) " " #col " = coalesce(gateways." #col ", 0) + excluded." #col
const char *const kUpsert =
    "INSERT INTO gateways(" GATEWAY_COLUMNS ", holder, holder_session, admission_at, updated, key_tls)"
    " VALUES($1,$2,$3,$4,$5,$6,$7,$8,$9,$10,$11,$12,$13,$14,$15,$16,$17,$18,$19,$20,$21,$22,$23,$24,$25)"
    " ON CONFLICT(id) DO UPDATE SET" FRESH(alias) "," FRESH(model) "," FRESH(version) "," FRESH(peer) ","
    FRESH(last_seen) "," FRESH(online) "," FRESH(signal) "," FRESH(network) "," FRESH(heartbeat) ","
    " first_seen = CASE WHEN coalesce(gateways.first_seen, 0) = 0 THEN excluded.first_seen ELSE gateways.first_seen END,"
    ADD(bytes_in) "," ADD(bytes_out) "," ADD(packets_in) "," ADD(packets_out) "," ADD(reconnects) ","
    ADD(malformed) "," ADD(modbus_timeouts) "," ADD(verify_fail) ","
    " holder = CASE WHEN excluded.holder_session > coalesce(gateways.holder_session, 0) THEN excluded.holder"
    " ELSE gateways.holder END,"
    " holder_session = CASE WHEN excluded.holder_session > coalesce(gateways.holder_session, 0)"
    " THEN excluded.holder_session ELSE gateways.holder_session END, updated = excluded.updated,"
    " key_tls = CASE WHEN excluded.key_tls > gateways.key_tls THEN excluded.key_tls ELSE gateways.key_tls END";
#undef FRESH
#undef ADD
// The latest change through any hub's API wins.
const char *const kAdmit =
    "UPDATE gateways SET admission = $2, admission_at = $3, updated = $4 WHERE id = $1 AND admission_at <= $3";
// A gateway's keys: the binding (with the revoked set) as its admission,
// the latest change wins; a pending key noted by the hub that saw it,
// unless it is bound or revoked by then.
const char *const kKey =
    "UPDATE gateways SET key_fp = $2, key_pending = $3, key_revoked = $4, key_at = $5, updated = $6"
    " WHERE id = $1 AND key_at <= $5";
const char *const kPending =
    "UPDATE gateways SET key_pending = $2, updated = $3 WHERE id = $1 AND key_fp <> $2"
    " AND key_revoked NOT LIKE '%' || $2 || '%'";
#define READ_COLUMNS                                                                   \
  "SELECT " GATEWAY_COLUMNS                                                            \
  ", holder, holder_session, admission_at, key_fp, key_pending, key_revoked, key_tls," \
  " key_at FROM gateways"
const char *const kRead = READ_COLUMNS;
const char *const kReadChanged[] = {READ_COLUMNS " WHERE updated > $1", READ_COLUMNS " WHERE tx >= $1"};
#undef READ_COLUMNS
const char *const kExpose =
    "INSERT INTO exposures VALUES($1, $2, $3, $4) ON CONFLICT(gateway, port) DO UPDATE SET kind=$3, listen=$4";
const char *const kUnexpose = "DELETE FROM exposures WHERE gateway = $1 AND port = $2";

DbParams row_params(const Registry::Row &w) {
  DbParams p = {w.id, w.alias, w.model, w.version, w.peer};
  const int64_t nums[] = {w.first_seen,
                          w.last_seen,
                          w.online,
                          w.signal,
                          w.network,
                          w.heartbeat,
                          w.admission,
                          static_cast<int64_t>(w.c.bytes_in),
                          static_cast<int64_t>(w.c.bytes_out),
                          static_cast<int64_t>(w.c.packets_in),
                          static_cast<int64_t>(w.c.packets_out),
                          static_cast<int64_t>(w.c.reconnects),
                          static_cast<int64_t>(w.c.malformed),
                          static_cast<int64_t>(w.c.modbus_timeouts),
                          static_cast<int64_t>(w.c.verify_fail)};
  for (int64_t n : nums) p.emplace_back(n);
  p.emplace_back(w.holder);
  p.emplace_back(w.session);
  p.emplace_back(w.admission_at);
  return p;
}

DbParams exposure_params(const Registry::ExpRow &e) {
  const ExposureConf &c = e.conf;
  DbParams p = {c.gateway, int64_t{c.port}};
  if (e.present) {
    p.emplace_back(exp_kind_name(c.kind, c.tls));
    p.emplace_back(c.listen.host + ":" + std::to_string(c.listen.port));
  }
  return p;
}

// A row's upsert, and its admission and keys where they changed here.
bool write_row(Db &db, const Registry::Row &w, int64_t at) {
  DbParams p = row_params(w);
  p.emplace_back(at);
  p.emplace_back(int64_t{w.key_tls});
  return db.run(kUpsert, p) && (!w.admit || db.run(kAdmit, {w.id, int64_t{w.admission}, w.admission_at, at})) &&
         (!w.key_change || db.run(kKey, {w.id, w.key_fp, w.key_pending, w.key_revoked, w.key_at, at})) &&
         (w.key_change || !w.pending_change || db.run(kPending, {w.id, w.key_pending, at}));
}

const std::string &text(const DbRow &r, size_t i) { return r[i].s; }
int64_t num(const DbRow &r, size_t i) { return r[i].type == DbValue::kInt ? r[i].i : 0; }

}  // namespace

const char *Registry::changed_sql(const Db &db) { return kReadChanged[db.kind() == DbKind::kPostgres]; }

bool Registry::read_row(const DbRow &row, Row *w) {
  if (row.size() < 28) return false;
  w->id = text(row, 0), w->alias = text(row, 1), w->model = text(row, 2), w->version = text(row, 3);
  w->peer = text(row, 4);
  w->first_seen = num(row, 5), w->last_seen = num(row, 6);
  int *small[] = {&w->online, &w->signal, &w->network, &w->heartbeat, &w->admission};
  for (size_t i = 0; i < 5; i++) *small[i] = static_cast<int>(num(row, 7 + i));
  uint64_t *counters[] = {&w->c.bytes_in,   &w->c.bytes_out, &w->c.packets_in,      &w->c.packets_out,
                          &w->c.reconnects, &w->c.malformed, &w->c.modbus_timeouts, &w->c.verify_fail};
  for (size_t i = 0; i < 8; i++) *counters[i] = static_cast<uint64_t>(num(row, 12 + i));
  w->holder = text(row, 20);
  w->session = num(row, 21);
  w->admission_at = num(row, 22);
  w->key_fp = text(row, 23), w->key_pending = text(row, 24), w->key_revoked = text(row, 25);
  w->key_tls = static_cast<int>(num(row, 26));
  w->key_at = num(row, 27);
  return true;
}

// This hub's number among those sharing the database: kept by its name,
// the next free one for a name not seen before (two hubs joining at once:
// the one that loses the unique number tries again).
bool Registry::join(std::string *why) {
  for (int tries = 0; tries < 5; tries++) {
    num_ = db_single(db(), "SELECT num FROM hubs WHERE id = $1", {hub_}, -1);
    if (num_ >= 0)
      return db().run("UPDATE hubs SET seen = $2 WHERE id = $1", {hub_, store_now_ms()}) ||
             (*why = db().error(), false);
    db().run("INSERT INTO hubs VALUES($1, (SELECT coalesce(max(num) + 1, 0) FROM hubs), $2)", {hub_, store_now_ms()});
  }
  num_ = 0;
  return *why = "hubs: " + db().error(), false;
}

bool Registry::open(const DbTarget &t, std::string *why, uint32_t wait_s) {
  DbRetry retry;
  for (auto waited = std::chrono::milliseconds(0); !worker_.open(t, why);) {
    if (waited >= std::chrono::seconds(wait_s)) return false;
    auto pause = retry.next();
    LOG_WARN("%s; trying again in %d ms", why->c_str(), static_cast<int>(pause.count()));
    usleep(static_cast<useconds_t>(pause.count() * 1000));
    waited += pause;
  }
  // Gateways left online by this hub's last run (or by a hub of old, which kept no holder).
  bool ok = schema_migrate(db(), why) &&
            (hub_.empty() ? db().exec("UPDATE gateways SET online = 0")
                          : db().run("UPDATE gateways SET online = 0, updated = $2 WHERE online = 1 AND"
                                     " (holder = $1 OR holder IS NULL OR holder = '')",
                                     {hub_, store_now_ms()}) &&
                                join(why));
  if (!ok) {
    *why = "registry " + db_name(t) + ": " + (why->empty() ? db().error() : *why);
    return false;
  }
  return true;
}

bool Registry::load(Hub &h, std::vector<ExposureConf> *exposures, std::string *why) {
  std::vector<DbRow> rows;
  if (!db().run(kRead, {}, &rows)) return *why = db().error(), false;
  for (const DbRow &r : rows) {
    Row w;
    if (read_row(r, &w)) apply(h, w);
  }
  rows.clear();
  if (!db().run("SELECT gateway, port, kind, listen FROM exposures", {}, &rows)) return *why = db().error(), false;
  for (const DbRow &row : rows) {
    ExposureConf c;
    c.gateway = text(row, 0);
    c.port = static_cast<unsigned>(num(row, 1));
    if (exp_kind_parse(text(row, 2), &c.kind, &c.tls) && parse_endpoint(text(row, 3), &c.listen)) {
      exposures->push_back(c);
    }
  }
  return true;
}

bool Registry::write(const std::vector<Row> &rows, const std::vector<ExpRow> &exps) {
  int64_t at = store_now_ms();
  bool ok = worker_.transact([&](Db &db) {
    for (const Row &w : rows) {
      if (!write_row(db, w, at)) return false;
    }
    for (const ExpRow &e : exps) {
      if (!db.run(e.present ? kExpose : kUnexpose, exposure_params(e))) return false;
    }
    return true;
  });
  if (ok) writes_ += rows.size() + exps.size();
  return ok;
}

}  // namespace hub
