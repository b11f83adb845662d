// ID conflicts: two gateways with one ID (a copied configuration) keep
// replacing each other's connection. A replacement from another address
// is remembered; when the same two addresses take turns three times within
// a minute it is a conflict, not a reconnect: warned once a minute, counted,
// and the gateway marked until a minute passes without a turn. The newest
// connection is served as with any replacement.
#include <string>

#include "core/addr.h"
#include "gateways/session.h"
#include "core/log.h"

namespace hub {
namespace {

constexpr uint32_t kWindowMs = 60000;
constexpr uint8_t kTurns = 3;

bool same_pair(const IdClash &c, uint32_t a, uint32_t b) {
  return (c.addr[0] == a && c.addr[1] == b) || (c.addr[0] == b && c.addr[1] == a);
}

void warn(Hub &h, const GatewayRecord &r, IdClash &c) {
  if (c.warned != 0 && h.now - c.warned < kWindowMs) return;
  c.warned = h.now ? h.now : 1;
  LOG_WARN("gateway %s: ID conflict: connections from %s and %s keep replacing each other", r.id.c_str(),
           ipv4_text(c.addr[0]).c_str(), ipv4_text(c.addr[1]).c_str());
}

}  // namespace

void gw_clash_turn(Hub &h, GatewayRecord &r, uint32_t old_addr, uint32_t new_addr) {
  if (old_addr == new_addr) return;  // the same gateway, back after a drop
  IdClash &c = h.clashes[&r];
  if (!same_pair(c, old_addr, new_addr)) c = IdClash{{old_addr, new_addr}, {0, 0, 0}, 0, c.warned};
  c.at[0] = c.at[1];
  c.at[1] = c.at[2];
  c.at[2] = h.now;
  if (c.turns < kTurns) c.turns++;
  if (c.turns < kTurns || h.now - c.at[0] >= kWindowMs) return;
  h.m.id_conflicts++;
  r.conflict = true;
  warn(h, r, c);
}

void gw_clash_tick(Hub &h) {
  for (auto it = h.clashes.begin(); it != h.clashes.end();) {
    if (h.now - it->second.at[2] < kWindowMs) {
      ++it;
      continue;
    }
    GatewayRecord &r = *it->first;
    it = h.clashes.erase(it);
    if (!r.conflict) continue;
    r.conflict = false;
    LOG_INFO("gateway %s: no ID conflict for a minute", r.id.c_str());
    gw_changed(h, r, true);
  }
}

}  // namespace hub
