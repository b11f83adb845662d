// What --check can say beyond errors: a PostgreSQL registry that does not
// answer, exposures of gateways the registry has never seen. Nothing is
// made or changed: a SQLite file is read only if it is there.
#include <unistd.h>

#include "store/check.h"

namespace hub {
namespace {

DbTarget target(const Config &cfg) {
  DbTarget t = config_registry(cfg);
  t.timeout_ms = 5000;
  return t;
}

std::string where(const Config &cfg) {
  if (cfg.db_path.empty() && cfg.db_url.empty()) return "no registry is set ([registry] path or url, --db)";
  return "it is not in the registry " + db_name(target(cfg));
}

}  // namespace

DbTarget config_registry(const Config &cfg) {
  DbTarget t;
  t.kind = cfg.db_url.empty() ? DbKind::kSqlite : DbKind::kPostgres;
  t.where = cfg.db_url.empty() ? cfg.db_path : cfg.db_url;
  return t;
}

bool config_registry_reachable(const Config &cfg, std::string &err) {
  if (cfg.db_url.empty()) return true;
  std::unique_ptr<Db> db = db_open(target(cfg), &err);
  if (db || cfg.registry_wait_s > 0) return true;
  err += " (unreachable; [registry] wait_s lets the hub wait for it)";
  return false;
}

std::vector<std::string> config_warnings(const Config &cfg) {
  std::vector<std::string> out;
  std::unique_ptr<Db> db;
  std::string why;
  DbTarget t = target(cfg);
  if (!cfg.db_url.empty() || (!cfg.db_path.empty() && access(cfg.db_path.c_str(), R_OK) == 0)) {
    db = db_open(t, &why);
  }
  for (const ExposureConf &e : cfg.exposures) {
    if (db && db_single(*db, "SELECT 1 FROM gateways WHERE id = $1", {e.gateway}, 0) == 1) continue;
    out.push_back("[[exposure]] " + e.gateway + " port " + std::to_string(e.port) + ": gateway unknown: " +
                  where(cfg) + " (the exposure waits for it)");
  }
  return out;
}

}  // namespace hub
