// The registry in PostgreSQL through libpq, the reference client library.
// Statements are prepared once per connection with every parameter's type
// given (int8, float8, text), so a statement may leave some unused; values
// travel as text. Numeric columns come back as integers or reals, the rest
// as text. A connection that went bad is made again by reconnect(), its
// prepared statements with it.
#include <libpq-fe.h>
#include <stdlib.h>

#include <map>

#include "store/db.h"

namespace hub {
namespace {

// Type OIDs of PostgreSQL's catalogue (pg_type.dat), stable across versions.
constexpr Oid kInt8 = 20, kInt2 = 21, kInt4 = 23, kText = 25, kFloat4 = 700, kFloat8 = 701, kNumeric = 1700;

class PgDb : public Db {
 public:
  explicit PgDb(const DbTarget &t) : Db(DbKind::kPostgres), target_(t) {}
  ~PgDb() override { PQfinish(conn_); }
  bool connect();
  bool exec(const std::string &sql) override;
  bool run(const char *sql, const DbParams &params, std::vector<DbRow> *rows) override;
  int64_t changes() const override { return changes_; }
  bool begin() override { return exec("BEGIN"); }
  bool connected() const override { return conn_ && PQstatus(conn_) == CONNECTION_OK; }
  bool reconnect() override { return connect(); }

 private:
  const char *prepare(const char *sql, const DbParams &params);
  bool failed(PGresult *r);
  DbTarget target_;
  PGconn *conn_ = nullptr;
  std::map<std::string, std::string> stmts_;  // SQL and parameter types: the statement's name
  int64_t changes_ = 0;
};

Oid type_of(const DbValue &v) {
  return v.type == DbValue::kInt ? kInt8 : v.type == DbValue::kReal ? kFloat8 : kText;
}

// libpq's messages span lines (a hint indented below): one line for a log.
std::string one_line(const char *msg) {
  std::string s;
  for (const char *p = msg; *p; p++) {
    if (*p != '\n' && *p != '\t') s += *p;
    else if (!s.empty() && s.back() != ' ') s += ' ';
  }
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

DbValue column(PGresult *r, int row, int i) {
  DbValue v;
  if (PQgetisnull(r, row, i)) return v;
  const char *s = PQgetvalue(r, row, i);
  Oid t = PQftype(r, i);
  if (t == kInt8 || t == kInt4 || t == kInt2) {
    v.type = DbValue::kInt, v.i = strtoll(s, nullptr, 10);
  } else if (t == kNumeric || t == kFloat8 || t == kFloat4) {
    v.type = DbValue::kReal, v.d = strtod(s, nullptr);
  } else {
    v.type = DbValue::kText, v.s.assign(s, static_cast<size_t>(PQgetlength(r, row, i)));
  }
  return v;
}

bool PgDb::connect() {
  PQfinish(conn_);
  stmts_.clear();
  std::string timeout = std::to_string(target_.timeout_ms > 0 ? (target_.timeout_ms + 999) / 1000 : 10);
  const char *keys[] = {"dbname", "connect_timeout", "application_name", nullptr};
  const char *values[] = {target_.where.c_str(), timeout.c_str(), "trm-hub", nullptr};
  conn_ = PQconnectdbParams(keys, values, 1);  // dbname expands to the URL or conninfo
  if (!connected()) return err_ = conn_ ? one_line(PQerrorMessage(conn_)) : "out of memory", false;
  return exec("SET client_min_messages = warning; SET statement_timeout = " + std::to_string(target_.timeout_ms));
}

bool PgDb::failed(PGresult *r) {
  err_ = one_line(PQresultErrorMessage(r));
  if (err_.empty()) err_ = one_line(PQerrorMessage(conn_));
  PQclear(r);
  return false;
}

bool PgDb::exec(const std::string &sql) {
  PGresult *r = PQexec(conn_, sql.c_str());
  ExecStatusType st = PQresultStatus(r);
  if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) return failed(r);
  PQclear(r);
  return true;
}

const char *PgDb::prepare(const char *sql, const DbParams &params) {
  std::vector<Oid> types;
  std::string key = sql;
  for (const DbValue &v : params) types.push_back(type_of(v)), key += static_cast<char>('0' + v.type);
  auto it = stmts_.find(key);
  if (it != stmts_.end()) return it->second.c_str();
  std::string name = "s" + std::to_string(stmts_.size());
  PGresult *r = PQprepare(conn_, name.c_str(), sql, static_cast<int>(types.size()), types.data());
  if (PQresultStatus(r) != PGRES_COMMAND_OK) return failed(r), nullptr;
  PQclear(r);
  return (stmts_[key] = name).c_str();
}

bool PgDb::run(const char *sql, const DbParams &params, std::vector<DbRow> *rows) {
  const char *name = prepare(sql, params);
  if (!name) return false;
  std::vector<std::string> text(params.size());
  std::vector<const char *> values(params.size());
  for (size_t i = 0; i < params.size(); i++) {
    const DbValue &v = params[i];
    text[i] = v.type == DbValue::kInt ? std::to_string(v.i) : v.type == DbValue::kReal ? std::to_string(v.d) : v.s;
    values[i] = v.type == DbValue::kNull ? nullptr : text[i].c_str();
  }
  PGresult *r = PQexecPrepared(conn_, name, static_cast<int>(params.size()), values.data(), nullptr, nullptr, 0);
  ExecStatusType st = PQresultStatus(r);
  if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK) return failed(r);
  changes_ = strtoll(PQcmdTuples(r), nullptr, 10);
  for (int row = 0, n = rows ? PQntuples(r) : 0; row < n; row++) {
    rows->emplace_back();
    for (int i = 0; i < PQnfields(r); i++) rows->back().push_back(column(r, row, i));
  }
  PQclear(r);
  return true;
}

}  // namespace

std::unique_ptr<Db> db_open_postgres(const DbTarget &t, std::string *why) {
  std::unique_ptr<PgDb> db(new PgDb(t));
  if (!db->connect()) {
    *why = "registry " + db_name(t) + ": " + db->error();
    return nullptr;
  }
  return std::unique_ptr<Db>(db.release());
}

}  // namespace hub
