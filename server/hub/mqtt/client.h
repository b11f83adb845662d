// The broker connection through libmosquitto, driven by the hub's own
// event loop (mosquitto_socket, loop_read, loop_write, loop_misc): no
// second thread, so callbacks run on the loop thread and touch the hub
// directly. Reconnects with a growing pause; the will marks the hub
// offline when it goes away without saying so.
#ifndef HUB_MQTTCLIENT_H
#define HUB_MQTTCLIENT_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "core/hub.h"
#include "mqtt/bridge.h"

struct mosquitto;
struct mosquitto_message;

namespace hub {

class MqttClient : public Publisher, public Pollable {
 public:
  explicit MqttClient(Hub &h);
  ~MqttClient() override;
  MqttClient(const MqttClient &) = delete;
  MqttClient &operator=(const MqttClient &) = delete;

  bool start(std::string *why);
  void on_events(uint32_t ev);
  void tick();  // once a second: keep-alive, reconnect when due
  void sync();  // after a pass: watch the socket as the library needs
  // Sends what the library holds (up to drain_ms), then disconnects.
  void stop(uint32_t drain_ms);

  bool ready() const override { return connected_; }
  size_t inflight() const override { return inflight_; }
  bool publish(const std::string &topic, const std::string &payload, int qos, bool retain) override;

 private:
  void connect();
  void lost(const char *why);
  static void on_connect(mosquitto *m, void *obj, int rc);
  static void on_disconnect(mosquitto *m, void *obj, int rc);
  static void on_message(mosquitto *m, void *obj, const mosquitto_message *msg);
  static void on_publish(mosquitto *m, void *obj, int mid);

  Hub &h_;
  mosquitto *m_ = nullptr;
  bool connected_ = false;
  bool waiting_ = true;  // not connected and no attempt under way
  size_t inflight_ = 0;
  uint32_t next_try_ = 0;
  uint32_t pause_ms_ = 1000;
};

}  // namespace hub

#endif
