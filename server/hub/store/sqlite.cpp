// The registry in a SQLite file (WAL, a sync at checkpoints only). $1..
// parameters are SQLite's named ones: each is bound by its name, so a
// statement takes those it names in any order. Statements are prepared
// once per connection.
#include <sqlite3.h>

#include <map>

#include "store/db.h"

namespace hub {
namespace {

class SqliteDb : public Db {
 public:
  SqliteDb() : Db(DbKind::kSqlite) {}
  ~SqliteDb() override {
    for (auto &kv : stmts_) sqlite3_finalize(kv.second);
    sqlite3_close(db_);
  }
  bool open(const std::string &path, std::string *why);
  bool exec(const std::string &sql) override;
  bool run(const char *sql, const DbParams &params, std::vector<DbRow> *rows) override;
  int64_t changes() const override { return sqlite3_changes(db_); }
  bool begin() override { return exec("BEGIN IMMEDIATE"); }
  bool connected() const override { return true; }
  bool reconnect() override { return true; }

 private:
  sqlite3_stmt *prepare(const char *sql);
  bool fail() { return err_ = sqlite3_errmsg(db_), false; }
  sqlite3 *db_ = nullptr;
  std::map<std::string, sqlite3_stmt *> stmts_;
};

void bind(sqlite3_stmt *st, int i, const DbValue &v) {
  switch (v.type) {
    case DbValue::kInt: sqlite3_bind_int64(st, i, v.i); break;
    case DbValue::kReal: sqlite3_bind_double(st, i, v.d); break;
    case DbValue::kText:
      sqlite3_bind_text(st, i, v.s.data(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT);
      break;
    case DbValue::kNull: sqlite3_bind_null(st, i); break;
  }
}

DbValue column(sqlite3_stmt *st, int i) {
  DbValue v;
  switch (sqlite3_column_type(st, i)) {
    case SQLITE_INTEGER: v.type = DbValue::kInt, v.i = sqlite3_column_int64(st, i); break;
    case SQLITE_FLOAT: v.type = DbValue::kReal, v.d = sqlite3_column_double(st, i); break;
    case SQLITE_NULL: break;
    default:
      v.type = DbValue::kText;
      v.s.assign(reinterpret_cast<const char *>(sqlite3_column_text(st, i)),
                 static_cast<size_t>(sqlite3_column_bytes(st, i)));
  }
  return v;
}

bool SqliteDb::open(const std::string &path, std::string *why) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                      nullptr) != SQLITE_OK) {
    *why = "registry " + path + ": " + (db_ ? sqlite3_errmsg(db_) : "cannot open");
    return false;
  }
  sqlite3_busy_timeout(db_, 2000);
  if (exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;")) return true;
  *why = "registry " + path + ": " + err_;
  return false;
}

bool SqliteDb::exec(const std::string &sql) {
  char *err = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) == SQLITE_OK) return true;
  err_ = err ? err : sqlite3_errmsg(db_);
  sqlite3_free(err);
  return false;
}

sqlite3_stmt *SqliteDb::prepare(const char *sql) {
  auto it = stmts_.find(sql);
  if (it != stmts_.end()) return it->second;
  sqlite3_stmt *st = nullptr;
  if (sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) != SQLITE_OK) return nullptr;
  stmts_[sql] = st;
  return st;
}

bool SqliteDb::run(const char *sql, const DbParams &params, std::vector<DbRow> *rows) {
  sqlite3_stmt *st = prepare(sql);
  if (!st) return fail();
  char name[24];
  for (size_t i = 0; i < params.size(); i++) {
    snprintf(name, sizeof name, "$%zu", i + 1);
    int at = sqlite3_bind_parameter_index(st, name);
    if (at > 0) bind(st, at, params[i]);
  }
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    if (!rows) continue;
    rows->emplace_back();
    for (int i = 0, n = sqlite3_column_count(st); i < n; i++) rows->back().push_back(column(st, i));
  }
  sqlite3_reset(st);
  sqlite3_clear_bindings(st);
  return rc == SQLITE_DONE || fail();
}

}  // namespace

std::unique_ptr<Db> db_open_sqlite(const DbTarget &t, std::string *why) {
  std::unique_ptr<SqliteDb> db(new SqliteDb());
  if (!db->open(t.where, why)) return nullptr;
  return std::unique_ptr<Db>(db.release());
}

}  // namespace hub
