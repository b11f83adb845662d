// The fleet's records, made once at start; a gateway's timer; churn.
#include "fleet.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace fleet {
namespace {

// Gateway k bursts when (k + 1) * fraction passes a whole number: the
// bursting gateways are spread evenly over the fleet (every 100th for 1 %).
bool bursts(uint32_t k, double fraction) {
  const auto whole = [fraction](uint32_t n) { return static_cast<uint64_t>(n * fraction + 1e-9); };
  return whole(k + 1) > whole(k);
}

bool init_gateway(Fleet &f, uint32_t k) {
  Gateway &g = f.gw[k];
  char id[32], alias[16];
  ip_text(f.opt.first_id + k, id, sizeof id);
  snprintf(alias, sizeof alias, "%s%05u", f.opt.alias, k % 100000);
  if (!identity_init(g.who, id, alias, f.opt.signal, f.opt.heartbeat_s)) return false;
  slave_init(g.slave, k, f.opt.unit);
  g.fd = -1;
  g.state = GwState::kWaiting;
  g.server = static_cast<uint8_t>(k % static_cast<uint32_t>(f.opt.server_count));
  g.bursting = f.opt.burst_fraction > 0 && bursts(k, f.opt.burst_fraction);
  g.seq[1] = g.seq[2] = 0;
  return true;
}

}  // namespace

uint64_t fleet_random(Fleet &f) {
  // splitmix64: enough for spreading events; repeatable from the seed
  uint64_t z = (f.rng += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

bool fleet_init(Fleet &f) {
  const uint32_t n = f.opt.gateways;
  f.gw = static_cast<Gateway *>(calloc(n, sizeof(Gateway)));
  if (f.gw == nullptr || !wheel_init(f.wheel, n, f.start)) {
    fprintf(stderr, "trm-fleet: no memory for %u gateways\n", n);
    return false;
  }
  memset(&f.st, 0, sizeof f.st);
  f.st.all_up_ms = -1;
  f.rng = f.opt.seed;
  f.slot_ms = 0;
  for (uint32_t k = 0; k < n; k++) {
    if (!init_gateway(f, k)) {
      fprintf(stderr, "trm-fleet: gateway %u: ID or alias too long\n", k);
      return false;
    }
  }
  ack_init(f);
  // The run starts now, with the records made: the first connects, booked in
  // turn at the connect rate.
  f.start = f.now = f.wheel.done = qy_ticks();
  for (uint32_t k = 0; k < n; k++) {
    const double slot = k * 1000.0 / f.opt.connect_rate;
    f.gw[k].granted = true;
    wheel_set(f.wheel, k, f.start + static_cast<uint32_t>(ceil(slot)));
    f.slot_ms = slot + 1000.0 / f.opt.connect_rate;
  }
  return true;
}

void fleet_timer(void *ctx, uint32_t i) {
  Fleet &f = *static_cast<Fleet *>(ctx);
  Gateway &g = f.gw[i];
  const uint32_t now = f.now;
  stats_timer_late(f.st, tick_diff(now, f.wheel.links[i].due));
  switch (g.state) {
    case GwState::kWaiting: link_connect(f, i, now); break;
    case GwState::kConnecting:
    case GwState::kHandshake:
      f.st.connect_timeout++;
      link_close(f, i, now, kRetryMs);
      break;
    case GwState::kStarting: traffic_init_packet(f, i, now); break;
    case GwState::kUp: traffic_due(f, i, now); break;
    case GwState::kDown: break;
  }
  if (g.state == GwState::kUp) link_reschedule(f, i, now);
}

void fleet_churn(Fleet &f, uint32_t now) {
  const uint32_t want = static_cast<uint32_t>(lround(f.st.up * f.opt.churn_fraction));
  uint32_t done = 0;
  for (uint32_t tries = 0; done < want && tries < 4 * want + 16; tries++) {
    const uint32_t k = static_cast<uint32_t>(fleet_random(f) % f.opt.gateways);
    if (f.gw[k].state != GwState::kUp) continue;
    link_close(f, k, now, f.opt.reconnect_ms);
    f.st.drops++;
    done++;
  }
}

void fleet_shutdown(Fleet &f) {
  for (uint32_t k = 0; k < f.opt.gateways; k++) {
    tls_end(f, k);
    if (f.gw[k].fd >= 0) close(f.gw[k].fd);
  }
  tls_close(f);
  ack_free(f);
  free(f.gw);
  f.gw = nullptr;
  wheel_free(f.wheel);
}

}  // namespace fleet
