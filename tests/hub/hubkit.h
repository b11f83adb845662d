// Test kit of the hub: gateway packets, a hub without sockets but with a
// real connection per gateway (a socket pair, so what the hub writes can
// be read back as the gateway would), a fake broker, and a settable clock.
#ifndef HUB_TEST_HUBKIT_H
#define HUB_TEST_HUBKIT_H

#include <stdint.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/hub.h"
#include "mqtt/bridge.h"

namespace hubtest {

using Bytes = std::vector<uint8_t>;
using Section = std::pair<uint16_t, Bytes>;

Bytes bytes(const std::string &s);
// Plain packets as a gateway sends them.
Bytes init_packet(const std::string &id, const std::string &alias = "KX-7700", uint16_t heartbeat = 10,
                  uint8_t signal = 23);
Bytes heartbeat_packet(const std::string &id, uint8_t signal = 23);
Bytes data_packet(const std::string &id, const std::vector<Section> &sections, uint8_t signal = 23);
// A whole heartbeat burst, as one write.
Bytes heartbeat_burst(const std::string &id);

class FakeBroker : public hub::Publisher {
 public:
  struct Msg {
    std::string topic, payload;
    bool retain;
  };
  bool up = true;
  std::vector<Msg> sent;
  bool ready() const override { return up; }
  size_t inflight() const override { return 0; }
  bool publish(const std::string &topic, const std::string &payload, int, bool retain) override;
  // Messages on topic, in order.
  std::vector<std::string> on(const std::string &topic) const;
};

// A gateway connected to the hub through a socket pair.
struct Gw {
  hub::Session *s;
  int far;  // the gateway's end
  std::vector<Section> received();  // sections the hub wrote since the last call
};

class HubTest {
 public:
  explicit HubTest(hub::Config cfg = config());
  ~HubTest();
  static hub::Config config();  // every gateway admitted, no gap, broker and registry off

  Gw connect(uint32_t addr = 0x7F000001);
  // Scrambles plain packets and hands them over as one read (or in pieces of `piece`).
  void feed(Gw &g, const Bytes &plain, size_t piece = 0);
  void online(Gw &g, const std::string &id);  // init packet
  void advance(uint32_t ms);                   // the clock, then the timed work
  void pass();                                 // timed work without moving the clock
  hub::GatewayRecord &rec(const std::string &id);

  std::unique_ptr<hub::Hub> h;
  FakeBroker broker;
  uint32_t now = 100000;
  int64_t wall = 1700000000000;

 private:
  std::vector<int> fds_;
};

// One of the hub's module slots made (the hub owns it), for the test to drive.
template <typename T>
T &attach(std::unique_ptr<T> &slot) {
  slot.reset(new T);
  return *slot;
}

}  // namespace hubtest

#endif
