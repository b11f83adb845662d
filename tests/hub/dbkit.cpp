// The tests' PostgreSQL server and their registries on either backend.
#include "dbkit.h"

#include <glob.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

namespace hubtest {
namespace {

struct PgServer {
  std::string dir, why;
  pid_t pid = 0;
  int databases = 0;
};
PgServer *server = nullptr;

// The folder of initdb and pg_ctl (not necessarily on PATH).
std::string pg_bin() {
  glob_t g{};
  std::string bin;
  if (glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &g) == 0 && g.gl_pathc > 0) {
    bin = g.gl_pathv[g.gl_pathc - 1];
    bin.resize(bin.size() - 7);
  }
  globfree(&g);
  return bin;
}

// initdb and the server refuse root: they run as the postgres user.
std::string as_owner() { return geteuid() == 0 ? "runuser -u postgres -- " : ""; }

void stop_server() {
  if (!server) return;
  if (server->pid > 0 && kill(server->pid, SIGINT) == 0) {  // fast shutdown
    for (int i = 0; i < 200 && kill(server->pid, 0) == 0; i++) usleep(50000);
  }
  if (system(("rm -rf " + server->dir).c_str()) != 0) fprintf(stderr, "could not remove %s\n", server->dir.c_str());
}

bool start_server(PgServer &s) {
  std::string bin = pg_bin();
  if (bin.empty()) return s.why = "PostgreSQL is not installed (tools/install-deps.sh)", false;
  char tmpl[] = "/tmp/hub-pg-XXXXXX";
  s.dir = mkdtemp(tmpl);
  passwd *pw = geteuid() == 0 ? getpwnam("postgres") : nullptr;
  if (geteuid() == 0 && (!pw || chown(s.dir.c_str(), pw->pw_uid, pw->pw_gid) != 0)) {
    return s.why = "no postgres user to run the server as", false;
  }
  std::string cmd = as_owner() + bin + "/initdb -D " + s.dir + "/data -A trust -U postgres --no-sync >" + s.dir +
                    "/initdb.log 2>&1 && " + as_owner() + bin + "/pg_ctl -D " + s.dir + "/data -l " + s.dir +
                    "/server.log -w -o \"-k " + s.dir + " -c listen_addresses='' -c fsync=off\" start >/dev/null";
  if (system(cmd.c_str()) != 0) return s.why = "the PostgreSQL server did not start (see " + s.dir + ")", false;
  std::ifstream pidfile(s.dir + "/data/postmaster.pid");
  pidfile >> s.pid;
  atexit(stop_server);
  return true;
}

}  // namespace

std::string backend_name(hub::DbKind kind) { return kind == hub::DbKind::kPostgres ? "postgres" : "sqlite"; }

std::string backend_param(const ::testing::TestParamInfo<hub::DbKind> &p) { return backend_name(p.param); }

TestDb::TestDb(hub::DbKind kind) {
  if (kind == hub::DbKind::kSqlite) {
    char tmpl[] = "/tmp/hub-registry-XXXXXX";
    dir = mkdtemp(tmpl);
    target.where = dir + "/reg.db";
    return;
  }
  if (!server) {
    server = new PgServer;
    start_server(*server);
  }
  if (!server->why.empty()) {
    why = server->why;
    return;
  }
  std::string name = "t" + std::to_string(getpid()) + "_" + std::to_string(server->databases++);
  hub::DbTarget admin{hub::DbKind::kPostgres, "host=" + server->dir + " user=postgres dbname=postgres", 0};
  std::unique_ptr<hub::Db> db = hub::db_open(admin, &why);
  if (!db || !db->exec("CREATE DATABASE " + name)) {
    why += db ? db->error() : "";
    return;
  }
  target = {hub::DbKind::kPostgres, "host=" + server->dir + " user=postgres dbname=" + name, 0};
}

TestDb::~TestDb() {
  if (!dir.empty() && system(("rm -rf " + dir).c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
}

}  // namespace hubtest
