// The registry's migrations, in order. A migration is never changed once
// released: a change of the schema is a new row.
#include "schema.h"

#include <sqlite3.h>

namespace hub {
namespace {

struct Migration {
  int version;
  const char *what;
  const char *sql;
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
     " PRIMARY KEY(gateway, port));"},
    {2, "history: state changes, signal samples, daily traffic",
     "CREATE TABLE gw_events(gateway TEXT NOT NULL, at INTEGER NOT NULL, event TEXT NOT NULL, detail TEXT);"
     "CREATE INDEX gw_events_by_gateway ON gw_events(gateway, at);"
     "CREATE TABLE gw_samples(gateway TEXT NOT NULL, at INTEGER NOT NULL, signal INTEGER, network INTEGER);"
     "CREATE INDEX gw_samples_by_gateway ON gw_samples(gateway, at);"
     "CREATE TABLE gw_traffic(gateway TEXT NOT NULL, day INTEGER NOT NULL, bytes_in INTEGER, bytes_out INTEGER,"
     " packets_in INTEGER, packets_out INTEGER, PRIMARY KEY(gateway, day));"
     "CREATE INDEX gw_traffic_by_day ON gw_traffic(day);"},
    {3, "audit log",
     "CREATE TABLE audit(at INTEGER NOT NULL, who TEXT NOT NULL, action TEXT NOT NULL, gateway TEXT,"
     " outcome TEXT);"
     "CREATE INDEX audit_by_time ON audit(at);"},
    {4, "fleet jobs and their targets",
     "CREATE TABLE jobs(id BIGINT PRIMARY KEY NOT NULL, channel TEXT NOT NULL, commands TEXT NOT NULL,"
     " who TEXT NOT NULL, selection TEXT NOT NULL, created BIGINT NOT NULL, deadline BIGINT NOT NULL,"
     " cancelled INTEGER NOT NULL);"
     "CREATE TABLE job_targets(job BIGINT NOT NULL, gateway TEXT NOT NULL, state TEXT NOT NULL,"
     " at BIGINT NOT NULL, detail TEXT NOT NULL, PRIMARY KEY(job, gateway));"},
};

bool exec(sqlite3 *db, const std::string &sql, std::string *why) {
  char *err = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) == SQLITE_OK) return true;
  *why = err ? err : sqlite3_errmsg(db);
  sqlite3_free(err);
  return false;
}

bool apply(sqlite3 *db, const Migration &m, std::string *why) {
  std::string sql = std::string("BEGIN IMMEDIATE;") + m.sql + "INSERT INTO schema_version VALUES(" +
                    std::to_string(m.version) + ", strftime('%s','now'));COMMIT;";
  if (exec(db, sql, why)) return true;
  *why = "schema version " + std::to_string(m.version) + " (" + m.what + "): " + *why;
  std::string ignored;
  exec(db, "ROLLBACK", &ignored);
  return false;
}

}  // namespace

int schema_latest() { return kMigrations[sizeof kMigrations / sizeof kMigrations[0] - 1].version; }

int schema_version(sqlite3 *db) {
  sqlite3_stmt *st = nullptr;
  int v = 0;
  if (sqlite3_prepare_v2(db, "SELECT max(version) FROM schema_version", -1, &st, nullptr) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW) {
    v = sqlite3_column_int(st, 0);
  }
  sqlite3_finalize(st);
  return v;
}

bool schema_migrate(sqlite3 *db, std::string *why) {
  if (!exec(db, "CREATE TABLE IF NOT EXISTS schema_version(version INTEGER PRIMARY KEY, applied INTEGER)", why)) {
    return false;
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

}  // namespace hub
