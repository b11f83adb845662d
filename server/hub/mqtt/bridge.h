// The gateways on an MQTT broker: a retained status per gateway, serial
// bursts out, bytes and commands in, replies out. This part decides what
// to publish and acts on what arrives; the client library sits behind
// Publisher (client.cpp), so tests and fuzzing run without a broker.
//
// Several hubs may share the broker. Each status names the hub that holds
// the gateway and when its session began; a hub acts only for gateways it
// holds, publishes "offline" only while the retained status is still its
// own, and speaks up again when another hub's message covers a newer
// session of its own.
#ifndef HUB_MQTT_H
#define HUB_MQTT_H

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "gateways/channels.h"
#include "gateways/session.h"
#include "core/hub.h"

namespace hub {

class Publisher {
 public:
  virtual ~Publisher() = default;
  virtual bool ready() const = 0;       // connected to the broker
  virtual size_t inflight() const = 0;  // handed over, not yet sent
  // false when the message cannot be handed over now.
  virtual bool publish(const std::string &topic, const std::string &payload, int qos, bool retain) = 0;
};

// The retained status of a gateway as the broker last told it.
struct Claim {
  std::string hub;
  int64_t session = 0;
  bool online = false;
};

struct MqttMsg {
  std::string topic, payload;
};

// What the broker was last told of a gateway.
struct GwStatus {
  bool dirty = false;   // waits to be published (in MqttBridge::dirty)
  bool urgent = false;  // online state changed: publish at once (in MqttBridge::urgent)
  uint32_t sent = 0;    // ticks of the last status publication
  int64_t seen = 0;     // last_seen as last published
  bool online = false;  // last published as online
};

constexpr size_t kMaxClaims = 1000000;
constexpr uint32_t kSweepDelayMs = 3000;  // after connecting: retained statuses have come
// Statuses that are not about going online or offline (signal, last seen)
// go out at this pace over the whole fleet at most: at 100 000 gateways the
// last-seen refresh stretches from 60 s to about 100 s instead of loading
// the broker with 1700 retained messages a second.
constexpr double kRoutinePerSecond = 1000;

struct MqttBridge {
  Publisher *pub = nullptr;  // null: no broker
  std::deque<MqttMsg> queue;  // events waiting for the broker
  size_t queue_bytes = 0;
  std::vector<GatewayRecord *> urgent, dirty;  // statuses waiting: online changes first, then the rest
  uint32_t routine_at = 0;                     // ticks the routine budget was last topped up
  double routine_left = 0;                     // routine statuses that may go out now
  std::unordered_map<const GatewayRecord *, GwStatus> status;
  std::unordered_map<std::string, Claim> claims;
  bool announced = false;  // our own status said online since the last connect
  bool swept = false;      // stale statuses of ours cleared since the last connect
  uint32_t connected_at = 0;
  // <prefix>/hub/<hub id>/jobs/...: the rest of the topic and the payload (fleet jobs).
  void (*on_jobs)(Hub &, const std::string &tail, const std::string &payload) = nullptr;
};

std::string topic_of(const Hub &h, const std::string &id, const char *tail);
std::string hub_status_topic(const Hub &h);
// The hub's own status: online, or the will's offline text.
std::string hub_status_payload(const Hub &h, bool online);
// Filters the hub subscribes to.
std::vector<std::string> mqtt_subscriptions(const Hub &h);

// What the broker hears of the gateways: status changes, serial bursts
// nobody else took, command replies no job waited for.
extern const GatewayHooks kMqttHooks;
void mqtt_status_changed(Hub &h, GatewayRecord &r, bool urgent);
bool mqtt_on_rx(Hub &h, GatewayRecord &r, uint16_t port, const uint8_t *data, size_t n);
bool mqtt_unsolicited(Hub &h, GatewayRecord &r, uint16_t port, const uint8_t *data, size_t n);
// A command from the broker ended: its reply is published.
void mqtt_exchange_done(Hub &h, const Exchange &j);

// A message from the broker.
void mqtt_on_message(Hub &h, const std::string &topic, const uint8_t *payload, size_t n);
// The broker session began (again).
void mqtt_on_connect(Hub &h);
// Publishes what waits, as far as the broker takes it (every pass).
void mqtt_pump(Hub &h);
// Offline statuses for every gateway we publish as online (hub stops).
void mqtt_all_offline(Hub &h);

}  // namespace hub

#endif
