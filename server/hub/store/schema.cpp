// The registry's migrations, in order. A migration is never changed once
// released: a change of the schema is a new row, appended. Portable SQL:
// INTEGER (64-bit, see dialect()), TEXT, ON CONFLICT upserts.
#include "store/schema.h"

#include <time.h>

#include "store/db.h"

namespace hub {
namespace {

struct Migration {
  int version;
  const char *what;
  const char *sql;
  const char *pg_sql;  // PostgreSQL only, after sql (null: none)
};

const Migration kMigrations[] = {
    {1, "gateways and exposures",
     // IF NOT EXISTS: registries from before schema_version already have them.
     "CREATE TABLE IF NOT EXISTS gateways("
     " id TEXT PRIMARY KEY NOT NULL, alias TEXT, model TEXT, version TEXT, peer TEXT,"
     " first_seen INTEGER, last_seen INTEGER, online INTEGER, signal INTEGER, network INTEGER,"
     " heartbeat INTEGER, admission INTEGER, bytes_in INTEGER, bytes_out INTEGER, packets_in INTEGER,"
     " packets_out INTEGER, reconnects INTEGER, malformed INTEGER, modbus_timeouts INTEGER,"
     " verify_fail INTEGER);"
     "CREATE TABLE IF NOT EXISTS exposures("
     " gateway TEXT NOT NULL, port INTEGER NOT NULL, kind TEXT NOT NULL, listen TEXT NOT NULL,"
     " PRIMARY KEY(gateway, port));",
     nullptr},
    {2, "history: state changes, signal samples, daily traffic",
     "CREATE TABLE gw_events(gateway TEXT NOT NULL, at INTEGER NOT NULL, event TEXT NOT NULL, detail TEXT);"
     "CREATE INDEX gw_events_by_gateway ON gw_events(gateway, at);"
     "CREATE TABLE gw_samples(gateway TEXT NOT NULL, at INTEGER NOT NULL, signal INTEGER, network INTEGER);"
     "CREATE INDEX gw_samples_by_gateway ON gw_samples(gateway, at);"
     "CREATE TABLE gw_traffic(gateway TEXT NOT NULL, day INTEGER NOT NULL, bytes_in INTEGER, bytes_out INTEGER,"
     " packets_in INTEGER, packets_out INTEGER, PRIMARY KEY(gateway, day));"
     "CREATE INDEX gw_traffic_by_day ON gw_traffic(day);",
     nullptr},
    {3, "audit log",
     "CREATE TABLE audit(at INTEGER NOT NULL, who TEXT NOT NULL, action TEXT NOT NULL, gateway TEXT,"
     " outcome TEXT);"
     "CREATE INDEX audit_by_time ON audit(at);",
     nullptr},
    {4, "history by time, for pruning",
     "CREATE INDEX gw_events_by_time ON gw_events(at);"
     "CREATE INDEX gw_samples_by_time ON gw_samples(at);",
     nullptr},
    {5, "gateways: the hub that holds each (or last did) and its session",
     "ALTER TABLE gateways ADD COLUMN holder TEXT;"
     "ALTER TABLE gateways ADD COLUMN holder_session INTEGER;",
     nullptr},
    {6, "fleet jobs and their targets",
     "CREATE TABLE jobs(id BIGINT PRIMARY KEY NOT NULL, channel TEXT NOT NULL, commands TEXT NOT NULL,"
     " who TEXT NOT NULL, selection TEXT NOT NULL, created BIGINT NOT NULL, deadline BIGINT NOT NULL,"
     " cancelled INTEGER NOT NULL);"
     "CREATE TABLE job_targets(job BIGINT NOT NULL, gateway TEXT NOT NULL, state TEXT NOT NULL,"
     " at BIGINT NOT NULL, detail TEXT NOT NULL, PRIMARY KEY(job, gateway));",
     nullptr},
    {7, "hubs sharing the registry: when rows changed, who claimed a target, who is alive",
     "ALTER TABLE gateways ADD COLUMN updated INTEGER NOT NULL DEFAULT 0;"
     "ALTER TABLE gateways ADD COLUMN admission_at INTEGER NOT NULL DEFAULT 0;"
     "CREATE INDEX gateways_by_update ON gateways(updated);"
     "CREATE INDEX gateways_by_holder ON gateways(holder);"
     "ALTER TABLE jobs ADD COLUMN origin TEXT NOT NULL DEFAULT '';"
     "ALTER TABLE jobs ADD COLUMN updated INTEGER NOT NULL DEFAULT 0;"
     "CREATE INDEX jobs_by_update ON jobs(updated);"
     "ALTER TABLE job_targets ADD COLUMN holder TEXT NOT NULL DEFAULT '';"
     "ALTER TABLE job_targets ADD COLUMN updated INTEGER NOT NULL DEFAULT 0;"
     "CREATE INDEX job_targets_by_update ON job_targets(updated);"
     "CREATE INDEX job_targets_by_holder ON job_targets(holder, state);"
     "CREATE TABLE hubs(id TEXT PRIMARY KEY NOT NULL, num INTEGER NOT NULL UNIQUE, seen INTEGER NOT NULL);",
     nullptr},
    // A writer's transaction may commit well after its rows' time stamps (a
    // big batch): the other hubs read changes by the writing transaction's
    // ID instead, from the oldest one still open at their last read on.
    {8, "the transaction that last wrote a gateway, job or target",
     "ALTER TABLE gateways ADD COLUMN tx INTEGER NOT NULL DEFAULT 0;"
     "ALTER TABLE jobs ADD COLUMN tx INTEGER NOT NULL DEFAULT 0;"
     "ALTER TABLE job_targets ADD COLUMN tx INTEGER NOT NULL DEFAULT 0;",
     "CREATE FUNCTION trm_stamp_tx() RETURNS trigger LANGUAGE plpgsql AS"
     " $f$ BEGIN NEW.tx := txid_current(); RETURN NEW; END $f$;"
     "CREATE TRIGGER gateways_tx BEFORE INSERT OR UPDATE ON gateways FOR EACH ROW EXECUTE FUNCTION trm_stamp_tx();"
     "CREATE TRIGGER jobs_tx BEFORE INSERT OR UPDATE ON jobs FOR EACH ROW EXECUTE FUNCTION trm_stamp_tx();"
     "CREATE TRIGGER job_targets_tx BEFORE INSERT OR UPDATE ON job_targets FOR EACH ROW"
     " EXECUTE FUNCTION trm_stamp_tx();"
     "CREATE INDEX gateways_by_tx ON gateways(tx);"
     "CREATE INDEX jobs_by_tx ON jobs(tx);"
     "CREATE INDEX job_targets_by_tx ON job_targets(tx);"},
};

// The one word of the schema the dialects read differently: INTEGER is
// 64-bit in SQLite and 32-bit in PostgreSQL, where BIGINT is meant.
std::string dialect(const Db &db, std::string sql) {
  if (db.kind() != DbKind::kPostgres) return sql;
  for (size_t p = sql.find(" INTEGER"); p != std::string::npos; p = sql.find(" INTEGER", p)) {
    sql.replace(p, 8, " BIGINT");
  }
  return sql;
}

bool apply(Db &db, const Migration &m, std::string *why) {
  bool pg = db.kind() == DbKind::kPostgres && m.pg_sql;
  bool ok = db.begin() && db.exec(dialect(db, m.sql)) && (!pg || db.exec(m.pg_sql)) &&
            db.run("INSERT INTO schema_version VALUES($1, $2)", {int64_t{m.version}, int64_t{time(nullptr)}}) &&
            db.commit();
  if (ok) return true;
  *why = "schema version " + std::to_string(m.version) + " (" + m.what + "): " + db.error();
  db.rollback();
  return false;
}

bool migrate(Db &db, std::string *why) {
  if (!db.exec(dialect(db, "CREATE TABLE IF NOT EXISTS schema_version(version INTEGER PRIMARY KEY, applied INTEGER)"))) {
    return *why = db.error(), false;
  }
  int at = schema_version(db);
  if (at > schema_latest()) {
    *why = "schema version " + std::to_string(at) + " is newer than this hub's " + std::to_string(schema_latest());
    return false;
  }
  for (const Migration &m : kMigrations) {
    if (m.version > at && !apply(db, m, why)) return false;
  }
  return true;
}

}  // namespace

int schema_latest() { return kMigrations[sizeof kMigrations / sizeof kMigrations[0] - 1].version; }

int schema_version(Db &db) {
  return static_cast<int>(db_single(db, "SELECT max(version) FROM schema_version", {}, 0));
}

bool schema_migrate(Db &db, std::string *why) {
  if (db.kind() != DbKind::kPostgres) return migrate(db, why);
  if (!db.exec("SELECT pg_advisory_lock(31031)")) return *why = db.error(), false;
  bool ok = migrate(db, why);
  db.exec("SELECT pg_advisory_unlock(31031)");
  return ok;
}

}  // namespace hub
