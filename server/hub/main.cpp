// trm-hub: the server side for a fleet of gateways. One thread, one epoll
// loop (pass.cpp); the modules and their order in modules.cpp.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "core/log.h"
#include "core/options.h"
#include "gateways/exp_tls.h"
#include "gateways/tls.h"
#include "modules.h"
#include "pass.h"
#include "store/check.h"

using namespace hub;

namespace {

// --check: the configuration parsed already; the secure link's and the TLS
// exposures' files read, the registry asked.
int check_only(const Config &cfg) {
  std::string err;
  std::vector<std::string> warnings;
  if (!tls_check(cfg, &warnings, &err) || !exp_tls_check(cfg, &warnings, &err)) {
    return fprintf(stderr, "trm-hub: %s\n", err.c_str()), 2;
  }
  if (!config_registry_reachable(cfg, err)) return fprintf(stderr, "trm-hub: %s\n", err.c_str()), 1;
  for (const std::string &w : config_warnings(cfg)) warnings.push_back(w);
  for (const std::string &w : warnings) fprintf(stderr, "trm-hub: warning: %s\n", w.c_str());
  puts("configuration ok");
  return 0;
}

// The command line and the configuration: true to run, else the exit status in *rc.
bool configure(int argc, char **argv, Config &cfg, int *rc) {
  std::string err;
  switch (parse_options(argc, argv, cfg, err)) {
    case OptResult::kHelp: print_usage(); return *rc = 0, false;
    case OptResult::kError: fprintf(stderr, "trm-hub: %s\n", err.c_str()); return *rc = 2, false;
    case OptResult::kCheck: return *rc = check_only(cfg), false;
    case OptResult::kRun: return true;
  }
  return *rc = 2, false;
}

void start_logging(const Config &cfg) {
  log_set_level(cfg.log_level);
  log_use_journal(log_journal_stream(getenv("JOURNAL_STREAM"), STDOUT_FILENO));
}

int failed(const std::string &why) {
  LOG_ERROR("%s", why.c_str());
  return 1;
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  Config cfg;
  int rc = 0;
  if (!configure(argc, argv, cfg, &rc)) return rc;
  start_logging(cfg);
  // Start-up: the registry and its modules, then the listeners, then the threads.
  Hub h(cfg);
  Kept kept;
  std::string why;
  if (!modules_open(h, &kept, &why)) return failed(why);
  Server s(h);
  if (!server_start(s, kept.exposures, &why)) return failed(why);
  modules_start(h, std::move(kept));
  // Run until a signal, then stop in the reverse order.
  server_run(s);
  modules_stop(h);
  LOG_INFO("bye");
  return 0;
}
