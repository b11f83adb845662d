// The hub's modules put together (modules.cpp): the Hub that owns each of
// them, the order in which they hear what the gateways announce, and the
// order in which the database's modules open, start and stop.
#ifndef HUB_MODULES_H
#define HUB_MODULES_H

#include <memory>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/hub.h"
#include "store/jobstore.h"

namespace hub {

// What the registry kept from an earlier run, for after the listeners are open.
struct Kept {
  std::vector<ExposureConf> exposures;  // made through the API
  std::vector<std::unique_ptr<Job>> jobs;
};

// The registry the configuration names, and every module that keeps its
// state in the same database: the registry (loaded into the hub), the
// sync when the database is shared (PostgreSQL), the journal and the job
// store. Nothing named: nothing kept. false with a reason.
bool modules_open(Hub &h, Kept *kept, std::string *why);
// Once the listeners are open: the kept jobs taken up, the writer threads
// and the sync started.
void modules_start(Hub &h, Kept kept);
// After the last pass: the jobs' unsent targets pending again, every
// record stored, then each writer ends with what waits written.
void modules_stop(Hub &h);

}  // namespace hub

#endif
