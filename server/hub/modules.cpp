// The hub's modules put together: the Hub that owns each of them, and the
// table of rows that hear what the gateways announce, in order. Commands
// come first (a reply ends its exchange before anything else sees the
// section; jobs hear of it from the exchange), then jobs (a gateway
// admitted releases its waiting targets), then exposures (a Modbus answer
// is theirs alone), then the broker, then the registry, then the history.
#include "modules.h"

#include <unistd.h>

#include "core/ack.h"
#include "core/log.h"
#include "gateways/ack.h"
#include "gateways/channels.h"
#include "gateways/exposures.h"
#include "gateways/session.h"
#include "gateways/tls.h"
#include "jobs/jobs.h"
#include "mqtt/bridge.h"
#include "store/audit.h"
#include "store/check.h"
#include "store/history.h"
#include "store/jobstore.h"
#include "store/journal.h"
#include "store/registry.h"
#include "store/sync.h"

namespace hub {

const GatewayHooks *const kGatewayHooks[] = {&kAckHooks,  &kCommandHooks,  &kJobHooks,     &kExposureHooks,
                                             &kMqttHooks, &kRegistryHooks, &kHistoryHooks, nullptr};

Hub::Hub(const Config &c)
    : cfg(c),
      holds(c.hold_first_s * 1000, c.hold_max_s * 1000, c.hold_max),
      ex(new Exposures),
      cmds(new Commands),
      mqtt(new MqttBridge),
      hist(new History),
      jobs(new Jobs),
      acks(new AckLinks) {
  mqtt->on_jobs = jobs_on_mqtt;
  ex->audit = audit_record;
}

Hub::~Hub() {
  while (sessions) {
    Session *s = sessions;
    sessions = s->next;
    tls_end(*this, *s);
    if (s->fd >= 0) close(s->fd);
    delete s;
  }
  hub_reap(*this);
}

bool modules_open(Hub &h, Kept *kept, std::string *why) {
  DbTarget db = config_registry(h.cfg);
  if (db.where.empty()) return true;
  // A PostgreSQL registry may be shared by several hubs: the sync reads what the others do.
  bool shared = db.kind == DbKind::kPostgres;
  h.reg.reset(new Registry);
  h.journal.reset(new Journal);
  h.jobstore.reset(new JobStore);
  if (shared) h.sync.reset(new Sync);
  h.reg->set_hub(h.cfg.hub_id);
  if (!h.reg->open(db, why, h.cfg.registry_wait_s) || (shared && !h.sync->open(db, h.cfg.hub_id, why)) ||
      !h.reg->load(h, &kept->exposures, why) || !h.journal->open(db, h.cfg.history, why) ||
      !h.jobstore->open(db, why) || !h.jobstore->load(&kept->jobs, why)) {
    return false;
  }
  h.jobs->id_base = static_cast<uint64_t>(h.reg->hub_num()) * kJobIdsPerHub;
  LOG_INFO("registry %s: %zu gateways", db_name(db).c_str(), h.records.size());
  return true;
}

void modules_start(Hub &h, Kept kept) {
  jobs_restore(h, std::move(kept.jobs));
  if (!h.reg) return;
  h.reg->start();
  h.journal->start();
  h.jobstore->start();
  if (!h.sync) return;
  std::vector<uint64_t> known;
  for (const auto &kv : h.jobs->jobs) known.push_back(kv.first);
  h.sync->start(known);
}

void modules_stop(Hub &h) {
  jobs_stop(h);
  if (!h.reg) return;
  for (auto &kv : h.records) h.reg->put(*kv.second);
  h.reg->stop();
  if (h.sync) h.sync->stop();
  h.jobstore->stop();
  h.journal->stop();
}

}  // namespace hub
