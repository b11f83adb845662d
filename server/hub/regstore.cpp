// The registry's SQL: opening a database (waiting for it if asked),
// loading the fleet, and one batch of snapshots in a transaction.
#include <unistd.h>

#include "log.h"
#include "registry.h"
#include "schema.h"

namespace hub {
namespace {

#define GATEWAY_COLUMNS                                                                                 \
  "id, alias, model, version, peer, first_seen, last_seen, online, signal, network, heartbeat, admission," \
  " bytes_in, bytes_out, packets_in, packets_out, reconnects, malformed, modbus_timeouts, verify_fail"

// The holder is the hub of the latest session: a hub storing an older one
// (or none: the gateway has left it) leaves another's in place.
const char *const kUpsert =
    "INSERT INTO gateways(" GATEWAY_COLUMNS ", holder, holder_session)"
    " VALUES($1,$2,$3,$4,$5,$6,$7,$8,$9,$10,$11,$12,$13,$14,$15,$16,$17,$18,$19,$20,$21,$22)"
    " ON CONFLICT(id) DO UPDATE SET alias=$2, model=$3, version=$4, peer=$5, first_seen=$6,"
    " last_seen=$7, online=$8, signal=$9, network=$10, heartbeat=$11, admission=$12, bytes_in=$13,"
    " bytes_out=$14, packets_in=$15, packets_out=$16, reconnects=$17, malformed=$18,"
    " modbus_timeouts=$19, verify_fail=$20,"
    " holder = CASE WHEN $22 > coalesce(gateways.holder_session, 0) THEN $21 ELSE gateways.holder END,"
    " holder_session = CASE WHEN $22 > coalesce(gateways.holder_session, 0) THEN $22"
    " ELSE gateways.holder_session END";
const char *const kLoad = "SELECT " GATEWAY_COLUMNS " FROM gateways";
const char *const kExpose =
    "INSERT INTO exposures VALUES($1, $2, $3, $4) ON CONFLICT(gateway, port) DO UPDATE SET kind=$3, listen=$4";
const char *const kUnexpose = "DELETE FROM exposures WHERE gateway = $1 AND port = $2";

DbParams row_params(const Registry::Row &w) {
  DbParams p = {w.id, w.alias, w.model, w.version, w.peer};
  const int64_t nums[] = {w.first_seen, w.last_seen, w.online, w.signal, w.network, w.heartbeat, w.admission,
                          static_cast<int64_t>(w.c.bytes_in), static_cast<int64_t>(w.c.bytes_out),
                          static_cast<int64_t>(w.c.packets_in), static_cast<int64_t>(w.c.packets_out),
                          static_cast<int64_t>(w.c.reconnects), static_cast<int64_t>(w.c.malformed),
                          static_cast<int64_t>(w.c.modbus_timeouts), static_cast<int64_t>(w.c.verify_fail)};
  for (int64_t n : nums) p.emplace_back(n);
  p.emplace_back(w.holder);
  p.emplace_back(w.session);
  return p;
}

DbParams exposure_params(const Registry::ExpRow &e) {
  const ExposureConf &c = e.conf;
  DbParams p = {c.gateway, int64_t{c.port}};
  if (e.present) {
    p.emplace_back(c.kind == ExpKind::kRaw ? "raw" : "modbus");
    p.emplace_back(c.listen.host + ":" + std::to_string(c.listen.port));
  }
  return p;
}

const std::string &text(const DbRow &r, size_t i) { return r[i].s; }
int64_t num(const DbRow &r, size_t i) { return r[i].type == DbValue::kInt ? r[i].i : 0; }

void load_row(Hub &h, const DbRow &row) {
  if (row.size() < 20) return;
  GatewayRecord &r = hub_record(h, text(row, 0));
  r.alias = text(row, 1);
  r.model = text(row, 2);
  r.version = text(row, 3);
  r.peer = text(row, 4);
  r.first_seen = num(row, 5);
  r.last_seen = num(row, 6);
  r.signal = static_cast<uint8_t>(num(row, 8));
  r.network = static_cast<uint8_t>(num(row, 9));
  r.heartbeat_s = static_cast<uint16_t>(num(row, 10));
  int64_t adm = num(row, 11);
  r.admission = adm >= 0 && adm <= 2 ? static_cast<Admission>(adm) : Admission::kByList;
  uint64_t *counters[] = {&r.c.bytes_in,   &r.c.bytes_out,  &r.c.packets_in,      &r.c.packets_out,
                          &r.c.reconnects, &r.c.malformed, &r.c.modbus_timeouts, &r.c.verify_fail};
  for (size_t i = 0; i < 8; i++) *counters[i] = static_cast<uint64_t>(num(row, 12 + i));
}

}  // namespace

bool Registry::open(const DbTarget &t, std::string *why, uint32_t wait_s) {
  DbRetry retry;
  for (auto waited = std::chrono::milliseconds(0); !(db_ = db_open(t, why));) {
    if (waited >= std::chrono::seconds(wait_s)) return false;
    auto pause = retry.next();
    LOG_WARN("%s; trying again in %d ms", why->c_str(), static_cast<int>(pause.count()));
    usleep(static_cast<useconds_t>(pause.count() * 1000));
    waited += pause;
  }
  if (!schema_migrate(*db_, why) || !db_->exec("UPDATE gateways SET online = 0")) {
    *why = "registry " + db_name(t) + ": " + (why->empty() ? db_->error() : *why);
    return false;
  }
  return true;
}

bool Registry::load(Hub &h, std::vector<ExposureConf> *exposures, std::string *why) {
  std::vector<DbRow> rows;
  if (!db_->run(kLoad, {}, &rows)) return *why = db_->error(), false;
  for (const DbRow &r : rows) load_row(h, r);
  rows.clear();
  if (!db_->run("SELECT gateway, port, kind, listen FROM exposures", {}, &rows)) return *why = db_->error(), false;
  for (const DbRow &row : rows) {
    ExposureConf c;
    c.gateway = text(row, 0);
    c.port = static_cast<unsigned>(num(row, 1));
    c.kind = text(row, 2) == "raw" ? ExpKind::kRaw : ExpKind::kModbus;
    if (parse_endpoint(text(row, 3), &c.listen)) exposures->push_back(c);
  }
  return true;
}

bool Registry::write(const std::vector<Row> &rows, const std::vector<ExpRow> &exps) {
  bool ok = db_->begin();
  for (size_t i = 0; ok && i < rows.size(); i++) ok = db_->run(kUpsert, row_params(rows[i]));
  for (size_t i = 0; ok && i < exps.size(); i++) {
    ok = db_->run(exps[i].present ? kExpose : kUnexpose, exposure_params(exps[i]));
  }
  if (ok && db_->commit()) {
    writes_ += rows.size() + exps.size();
    return up_ = true;
  }
  LOG_ERROR("registry: write failed (%s); tried again later", db_->error().c_str());
  db_->rollback();
  errors_++;
  up_ = db_->connected();
  return false;
}

}  // namespace hub
