// The hub's modules put together: the Hub that owns each module's state,
// and the table of rows that hear what the gateways announce, in order.
// Commands come first (a reply ends its job before anything else sees the
// section; fleet jobs hear of it from the commands), then fleet jobs (a
// gateway admitted releases its waiting targets), then exposures (a Modbus answer is theirs alone), then the
// broker, then the registry, then the history.
#include <unistd.h>

#include "gateways/channels.h"
#include "gateways/exposures.h"
#include "jobs/jobs.h"
#include "gateways/session.h"
#include "store/history.h"
#include "core/hub.h"
#include "mqtt/bridge.h"
#include "store/registry.h"

namespace hub {

const GatewayHooks *const kGatewayHooks[] = {&kCommandHooks, &kJobHooks, &kExposureHooks, &kMqttHooks, &kRegistryHooks,
                                             &kHistoryHooks, nullptr};

Hub::Hub(const Config &c)
    : cfg(c), ex(new Exposures), cmds(new Commands), mqtt(new MqttBridge), hist(new History), jobs(new Jobs) {
  mqtt->on_jobs = jobs_on_mqtt;
}

Hub::~Hub() {
  while (sessions) {
    Session *s = sessions;
    sessions = s->next;
    if (s->fd >= 0) close(s->fd);
    delete s;
  }
  hub_reap(*this);
}

}  // namespace hub
