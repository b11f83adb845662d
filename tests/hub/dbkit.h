// A registry for a test, on either backend: a SQLite file in a folder of
// its own, or a database of its own on a PostgreSQL server the tests start
// themselves (once per process: initdb in a temporary folder, the server
// on a Unix socket there and nowhere else, stopped by its PID at exit).
#ifndef HUBTEST_DBKIT_H
#define HUBTEST_DBKIT_H

#include <gtest/gtest.h>

#include <string>

#include "store/db.h"

namespace hub {
inline void PrintTo(DbKind k, std::ostream *os) { *os << (k == DbKind::kPostgres ? "postgres" : "sqlite"); }
}  // namespace hub

namespace hubtest {

struct TestDb {
  explicit TestDb(hub::DbKind kind);
  ~TestDb();
  TestDb(const TestDb &) = delete;
  TestDb &operator=(const TestDb &) = delete;

  bool ready() const { return !target.where.empty(); }
  hub::DbTarget target;
  std::string why;  // not ready: why (PostgreSQL not installed, ...)
  std::string dir;  // SQLite: the folder of the file
};

// "sqlite" or "postgres", for parametrized tests' names.
std::string backend_name(hub::DbKind kind);
std::string backend_param(const ::testing::TestParamInfo<hub::DbKind> &p);

// Cases run on SQLite and on PostgreSQL alike (BACKENDS(suite)), each with
// a registry of its own in db; skipped, saying why, where PostgreSQL is not
// installed.
class Backend : public ::testing::TestWithParam<hub::DbKind> {
 protected:
  void SetUp() override {
    if (!db.ready()) GTEST_SKIP() << backend_name(GetParam()) << ": " << db.why;
  }
  TestDb db{GetParam()};
};

#define BACKENDS(suite)                                                                                   \
  INSTANTIATE_TEST_SUITE_P(Db, suite, ::testing::Values(hub::DbKind::kSqlite, hub::DbKind::kPostgres), \
                           hubtest::backend_param)

}  // namespace hubtest

#endif
