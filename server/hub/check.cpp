// What --check can say beyond errors: exposures of gateways the registry
// has never seen. Read-only: the registry file is neither made nor changed.
#include <sqlite3.h>
#include <unistd.h>

#include "config.h"

namespace hub {
namespace {

// Whether the registry at path lists the gateway; false when it cannot be read.
bool known(sqlite3 *db, const std::string &id) {
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT 1 FROM gateways WHERE id = ?", -1, &st, nullptr) != SQLITE_OK) return false;
  sqlite3_bind_text(st, 1, id.c_str(), -1, SQLITE_TRANSIENT);
  bool found = sqlite3_step(st) == SQLITE_ROW;
  sqlite3_finalize(st);
  return found;
}

std::string where(const Config &cfg) {
  if (cfg.db_path.empty()) return "no registry is set ([registry] path, --db)";
  return "it is not in the registry " + cfg.db_path;
}

}  // namespace

std::vector<std::string> config_warnings(const Config &cfg) {
  std::vector<std::string> out;
  sqlite3 *db = nullptr;
  if (!cfg.db_path.empty() && access(cfg.db_path.c_str(), R_OK) == 0) {
    sqlite3_open_v2(cfg.db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  }
  for (const ExposureConf &e : cfg.exposures) {
    if (db && known(db, e.gateway)) continue;
    out.push_back("[[exposure]] " + e.gateway + " port " + std::to_string(e.port) + ": gateway unknown: " +
                  where(cfg) + " (the exposure waits for it)");
  }
  sqlite3_close(db);
  return out;
}

}  // namespace hub
