// trm-hub: the server side for a fleet of gateways. One thread, one epoll
// loop; see server.cpp for a pass and README.md for running it.
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "jobs/jobs.h"
#include "core/hub.h"
#include "store/journal.h"
#include "core/log.h"
#include "core/options.h"
#include "store/check.h"
#include "store/registry.h"
#include "pass.h"
#include "store/sync.h"

using namespace hub;

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  Config cfg;
  std::string err;
  switch (parse_options(argc, argv, cfg, err)) {
    case OptResult::kHelp: print_usage(); return 0;
    case OptResult::kError: fprintf(stderr, "trm-hub: %s\n", err.c_str()); return 2;
    case OptResult::kCheck:
      if (!config_registry_reachable(cfg, err)) return fprintf(stderr, "trm-hub: %s\n", err.c_str()), 1;
      for (const std::string &w : config_warnings(cfg)) fprintf(stderr, "trm-hub: warning: %s\n", w.c_str());
      puts("configuration ok");
      return 0;
    case OptResult::kRun: break;
  }
  log_set_level(cfg.log_level);
  log_use_journal(log_journal_stream(getenv("JOURNAL_STREAM"), STDOUT_FILENO));
  Hub h(cfg);
  Registry reg;
  Journal journal;
  JobStore jobstore;
  Sync sync;
  std::vector<std::unique_ptr<Job>> jobs;
  std::vector<ExposureConf> saved;
  DbTarget db = config_registry(cfg);
  if (!db.where.empty()) {
    reg.set_hub(cfg.hub_id);
    // A PostgreSQL registry may be shared by several hubs: the sync reads what the others do.
    bool shared = db.kind == DbKind::kPostgres;
    if (!reg.open(db, &err, cfg.registry_wait_s) || (shared && !sync.open(db, cfg.hub_id, &err)) ||
        !reg.load(h, &saved, &err) || !journal.open(db, cfg.history, &err) || !jobstore.open(db, &err) ||
        !jobstore.load(&jobs, &err)) {
      LOG_ERROR("%s", err.c_str());
      return 1;
    }
    h.reg = &reg;
    h.journal = &journal;
    h.jobs->store = &jobstore;
    h.jobs->id_base = static_cast<uint64_t>(reg.hub_num()) * kJobIdsPerHub;
    if (shared) h.sync = &sync;
    LOG_INFO("registry %s: %zu gateways", db_name(db).c_str(), h.records.size());
  }
  Server s(h);
  if (!server_start(s, saved, &err)) {
    LOG_ERROR("%s", err.c_str());
    return 1;
  }
  jobs_restore(h, std::move(jobs));
  if (h.reg) reg.start();
  if (h.journal) journal.start();
  if (h.jobs->store) jobstore.start();
  if (h.sync) {
    std::vector<uint64_t> known;
    for (const auto &kv : h.jobs->jobs) known.push_back(kv.first);
    sync.start(known);
  }
  server_run(s);
  sync.stop();
  jobstore.stop();
  journal.stop();
  return 0;
}
