// Shared set-up of the hub's fuzz entry points: a hub without sockets or
// broker (a publisher that takes everything), quiet logs, and a gateway
// introduced on a connection without a descriptor.
#ifndef HUB_FUZZKIT_H
#define HUB_FUZZKIT_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "gateways/channels.h"
#include "gateways/exposures.h"
#include "gateways/session.h"
#include "core/hub.h"
#include "core/log.h"
#include "mqtt/bridge.h"
#include "qylink.h"

namespace hubfuzz {

class Sink : public hub::Publisher {
 public:
  bool ready() const override { return true; }
  size_t inflight() const override { return 0; }
  bool publish(const std::string &, const std::string &, int, bool) override { return true; }
};

inline hub::Config config() {
  hub::Config c;
  c.hub_id = "hub-a";
  c.gap_ms = 0;
  c.allow.ids = {"10.0.0.*"};
  c.malformed_in_row = 1000;
  return c;
}

struct Rig {
  Sink sink;
  std::unique_ptr<hub::Hub> h{new hub::Hub(config())};
  uint32_t now = 1000;

  Rig() {
    hub::log_mute(true);
    h->mqtt->pub = &sink;
    hub::hub_set_time(*h, now, 1700000000000);
    for (unsigned port = 1; port <= 2; port++) {
      hub::ExposureConf e;
      e.gateway = "10.0.0.7";
      e.port = port;
      e.kind = port == 1 ? hub::ExpKind::kModbus : hub::ExpKind::kRaw;
      std::string why;
      if (hub::Exposure *x = hub::exp_add(*h, e, false, &why)) hub::exp_client_open(*h, *x, -1, "client");
    }
  }
  ~Rig() {
    hub::hub_reap(*h);
    hub::exp_reap(*h);
  }

  // The plain bytes scrambled, as they come off the wire.
  void feed(hub::Session &s, const uint8_t *plain, size_t n) {
    std::vector<uint8_t> wire(plain, plain + n);
    EncodePacket(wire.data(), static_cast<int>(wire.size()));
    hub::gw_on_wire(*h, s, wire.data(), wire.size());
  }

  // A gateway "10.0.0.7" introduced by its init packet.
  hub::Session &gateway() {
    static const uint8_t kInit[] = {2, 39, 0, 0, 8, '1', '0', '.', '0', '.', '0', '.', '7', 23, 0, 0,
                                    7, 'T', 'R', 'M', '-', '3', '1', '0', 1, 'A', 5, 'V', '1', '.', '0', '1',
                                    2, 10, 0, 10, 50, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    uint8_t init[sizeof kInit];
    memcpy(init, kInit, sizeof kInit);
    wire_finish(init, sizeof init);
    hub::Session &s = hub::gw_open(*h, -1, 0x0A000001, 40000);
    feed(s, init, sizeof init);
    return s;
  }

  // Timed work, the clock moved on by ms.
  void pass(uint32_t ms) {
    now += ms;
    hub::hub_set_time(*h, now, 1700000000000 + now);
    hub::gw_tick(*h);
    hub::exp_tick(*h);
    hub::cmd_tick(*h);
    hub::mqtt_pump(*h);
  }
};

}  // namespace hubfuzz

#endif
