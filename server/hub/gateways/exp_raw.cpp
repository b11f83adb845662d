// Raw exposures: bytes both ways as they are, every client hearing the port.
#include <algorithm>

#include "core/packet.h"
#include "gateways/ack.h"
#include "gateways/exp_kinds.h"
#include "gateways/exposures.h"

namespace hub {

void exp_raw_to_gateway(Hub &h, Exposure &e, const uint8_t *data, size_t n) {
  GatewayRecord *r = exp_gateway(h, e);
  for (size_t off = 0; off < n; off += kSectionMax) {
    size_t len = std::min(kSectionMax, n - off);
    if (!r || gw_send(h, *r, static_cast<uint16_t>(e.conf.port), data + off, len) != 0) {
      h.m.raw_dropped += n - off;
      return;
    }
    h.m.raw_to_gw += len;
  }
}

size_t exp_raw_room(const Hub &h, const ExpClient &c) {
  const auto it = h.records.find(c.ex->conf.gateway);
  size_t room = 0;
  if (it != h.records.end() && ack_room(h, *it->second, &room)) return room;   // its ring, online or away
  if (it == h.records.end() || !gw_admitted(*it->second)) return kSectionMax;  // read and drop
  const Session &s = *it->second->session;
  return s.q_count >= h.cfg.out_queue ? 0 : (h.cfg.out_queue - s.q_count) * kSectionMax;
}

void raw_input(Hub &h, ExpClient &c, const uint8_t *data, size_t n) { exp_raw_to_gateway(h, *c.ex, data, n); }

bool raw_section(Hub &h, Exposure &e, GatewayRecord &, const uint8_t *data, size_t n) {
  if (e.clients.empty()) h.m.raw_dropped += n;
  std::vector<ExpClient *> to(e.clients);
  for (ExpClient *c : to) exp_put_out(h, *c, data, n);
  h.m.raw_from_gw += n;
  return false;
}

}  // namespace hub
