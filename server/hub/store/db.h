// The registry's database behind one interface: SQLite (a file, nothing to
// run) or PostgreSQL (libpq). SQL is written once, with $1-style
// parameters bound by position; a statement takes the parameters it names
// (SQLite binds them by name, PostgreSQL is told every parameter's type).
// Integers are 64-bit. A connection serves one thread at a time; one that
// went away (PostgreSQL restarted) is made again with reconnect().
#ifndef HUB_DB_H
#define HUB_DB_H

#include <stdint.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace hub {

enum class DbKind : uint8_t { kSqlite, kPostgres };

struct DbTarget {
  DbKind kind = DbKind::kSqlite;
  std::string where;    // a file; or a postgresql:// URL or key=value conninfo
  int timeout_ms = 0;   // PostgreSQL: connect and statement time-out (0: none)
};

// A parameter or a column: null, a 64-bit integer, a real or text.
struct DbValue {
  enum Type : uint8_t { kNull, kInt, kReal, kText } type = kNull;
  int64_t i = 0;
  double d = 0;
  std::string s;
  DbValue() = default;
  DbValue(int64_t v) : type(kInt), i(v) {}  // NOLINT(google-explicit-constructor)
  DbValue(const std::string &v) : type(kText), s(v) {}  // NOLINT(google-explicit-constructor)
  DbValue(const char *v) : type(kText), s(v) {}  // NOLINT(google-explicit-constructor)
};
using DbRow = std::vector<DbValue>;
using DbParams = std::vector<DbValue>;

class Db {
 public:
  virtual ~Db() = default;
  DbKind kind() const { return kind_; }
  // Statements without parameters, several separated by ';'.
  virtual bool exec(const std::string &sql) = 0;
  // One statement with $1.. from params; its rows appended to rows if given.
  virtual bool run(const char *sql, const DbParams &params, std::vector<DbRow> *rows = nullptr) = 0;
  virtual int64_t changes() const = 0;  // rows the last run changed
  virtual bool begin() = 0;             // a write transaction
  bool commit() { return exec("COMMIT"); }
  void rollback();
  // Still connected (a query that failed for the connection says no).
  virtual bool connected() const = 0;
  virtual bool reconnect() = 0;
  const std::string &error() const { return err_; }

 protected:
  explicit Db(DbKind k) : kind_(k) {}
  DbKind kind_;
  std::string err_;
};

// The wait before trying a lost database again: 0.5 s, doubling to 30 s;
// from the start again once it answers.
class DbRetry {
 public:
  std::chrono::milliseconds next() {
    ms_ = ms_ == 0 ? 500 : ms_ * 2 > 30000 ? 30000 : ms_ * 2;
    return std::chrono::milliseconds(ms_);
  }
  void reset() { ms_ = 0; }

 private:
  int ms_ = 0;
};

// A connection; null with the reason (naming the target, password hidden).
std::unique_ptr<Db> db_open(const DbTarget &t, std::string *why);
// What a target is called in messages: a URL's or conninfo's password hidden.
std::string db_name(const DbTarget &t);
// After a failed write: a connection that went away is made again, said in
// the log under who's name; whether it was tried (for a count of reconnects).
bool db_recover(Db &db, const char *who);
// The first column of the first row as an integer; none when absent or null.
int64_t db_single(Db &db, const char *sql, const DbParams &params, int64_t none);

}  // namespace hub

#endif
