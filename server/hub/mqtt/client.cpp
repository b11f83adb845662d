// libmosquitto on the hub's loop.
#include "mqtt/client.h"

#include <errno.h>
#include <mosquitto.h>
#include <poll.h>
#include <string.h>
#include <sys/epoll.h>

#include "core/log.h"
#include "core/loop.h"
#include "qylink.h"

namespace hub {
namespace {

constexpr uint32_t kPauseMaxMs = 30000;

MqttClient &self(void *obj) { return *static_cast<MqttClient *>(obj); }

const char *opt(const std::string &s) { return s.empty() ? nullptr : s.c_str(); }

}  // namespace

MqttClient::MqttClient(Hub &h) : Pollable(Kind::kMqtt), h_(h) {}

MqttClient::~MqttClient() {
  h_.mqtt->pub = nullptr;
  if (m_) mosquitto_destroy(m_);
  mosquitto_lib_cleanup();
}

bool MqttClient::start(std::string *why) {
  const MqttConf &c = h_.cfg.mqtt;
  mosquitto_lib_init();
  std::string id = c.client_id.empty() ? "trm-hub-" + h_.cfg.hub_id : c.client_id;
  m_ = mosquitto_new(id.c_str(), true, this);
  if (!m_) return *why = "mqtt: cannot make a client", false;
  mosquitto_connect_callback_set(m_, on_connect);
  mosquitto_disconnect_callback_set(m_, on_disconnect);
  mosquitto_message_callback_set(m_, on_message);
  mosquitto_publish_callback_set(m_, on_publish);
  std::string will = hub_status_payload(h_, false);
  mosquitto_will_set(m_, hub_status_topic(h_).c_str(), static_cast<int>(will.size()), will.data(), 1, true);
  if (!c.username.empty()) mosquitto_username_pw_set(m_, c.username.c_str(), opt(c.password));
  if (!c.cafile.empty() || !c.capath.empty()) {
    int rc = mosquitto_tls_set(m_, opt(c.cafile), opt(c.capath), opt(c.certfile), opt(c.keyfile), nullptr);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_opts_set(m_, 1, opt(c.tls_version), nullptr);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_insecure_set(m_, c.tls_insecure);
    if (rc != MOSQ_ERR_SUCCESS) return *why = std::string("mqtt TLS: ") + mosquitto_strerror(rc), false;
  }
  h_.mqtt->pub = this;
  connect();
  return true;
}

void MqttClient::connect() {
  waiting_ = false;
  const MqttConf &c = h_.cfg.mqtt;
  int rc = mosquitto_connect_async(m_, c.host.c_str(), c.port, static_cast<int>(c.keepalive_s));
  if (rc != MOSQ_ERR_SUCCESS) return lost(rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc));
  sync();
}

void MqttClient::lost(const char *why) {
  if (connected_ || !waiting_) {
    LOG_WARN("mqtt %s:%d: %s; trying again in %u ms", h_.cfg.mqtt.host.c_str(), h_.cfg.mqtt.port, why, pause_ms_);
  }
  connected_ = false;
  waiting_ = true;
  inflight_ = 0;
  next_try_ = h_.now + pause_ms_;
  pause_ms_ = pause_ms_ * 2 > kPauseMaxMs ? kPauseMaxMs : pause_ms_ * 2;
  // The library keeps a dead socket open until the next attempt: stop
  // watching it (unless the library has closed it already).
  if (fd >= 0 && mosquitto_socket(m_) == fd) loop_del(h_, *this);
  fd = -1;
  events = 0;
}

void MqttClient::on_events(uint32_t ev) {
  int rc = MOSQ_ERR_SUCCESS;
  if (ev & (EPOLLIN | EPOLLHUP | EPOLLERR)) rc = mosquitto_loop_read(m_, 1);
  if (rc == MOSQ_ERR_SUCCESS && (ev & EPOLLOUT)) rc = mosquitto_loop_write(m_, 1);
  if (rc != MOSQ_ERR_SUCCESS && !waiting_) lost(rc == MOSQ_ERR_ERRNO ? strerror(errno) : mosquitto_strerror(rc));
}

void MqttClient::tick() {
  if (waiting_) {
    if (static_cast<int32_t>(h_.now - next_try_) >= 0) connect();
    return;
  }
  int rc = mosquitto_loop_misc(m_);
  if (rc != MOSQ_ERR_SUCCESS) lost(mosquitto_strerror(rc));
}

void MqttClient::sync() {
  if (waiting_) return;
  int sock = mosquitto_socket(m_);
  uint32_t want = EPOLLIN;
  if (mosquitto_want_write(m_)) want |= EPOLLOUT;
  if (sock < 0) return;
  if (sock != fd) {
    fd = sock;
    events = 0;
    loop_add(h_, *this, want);
  } else {
    loop_watch(h_, *this, want);
  }
}

void MqttClient::stop(uint32_t drain_ms) {
  uint32_t start = qy_ticks();
  while (connected_ && mosquitto_want_write(m_) && qy_ticks() - start < drain_ms) {
    pollfd p{mosquitto_socket(m_), POLLOUT, 0};
    if (poll(&p, 1, 50) > 0 && mosquitto_loop_write(m_, 1) != MOSQ_ERR_SUCCESS) break;
  }
  if (connected_) {
    mosquitto_disconnect(m_);
    mosquitto_loop_write(m_, 1);
  }
  connected_ = false;
}

bool MqttClient::publish(const std::string &topic, const std::string &payload, int qos, bool retain) {
  if (!connected_) return false;
  int rc = mosquitto_publish(m_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos, retain);
  if (rc != MOSQ_ERR_SUCCESS) return false;
  inflight_++;
  return true;
}

void MqttClient::on_connect(mosquitto *, void *obj, int rc) {
  MqttClient &c = self(obj);
  if (rc != 0) {
    c.lost(mosquitto_connack_string(rc));
    return;
  }
  c.connected_ = true;
  c.inflight_ = 0;
  c.pause_ms_ = 1000;
  LOG_INFO("mqtt connected to %s:%d", c.h_.cfg.mqtt.host.c_str(), c.h_.cfg.mqtt.port);
  for (const std::string &f : mqtt_subscriptions(c.h_)) mosquitto_subscribe(c.m_, nullptr, f.c_str(), 1);
  mqtt_on_connect(c.h_);
}

void MqttClient::on_disconnect(mosquitto *, void *obj, int rc) {
  MqttClient &c = self(obj);
  if (rc != 0 && !c.waiting_) c.lost("connection lost");
}

void MqttClient::on_message(mosquitto *, void *obj, const mosquitto_message *msg) {
  MqttClient &c = self(obj);
  mqtt_on_message(c.h_, msg->topic, static_cast<const uint8_t *>(msg->payload),
                  static_cast<size_t>(msg->payloadlen));
}

void MqttClient::on_publish(mosquitto *, void *obj, int) {
  MqttClient &c = self(obj);
  if (c.inflight_ > 0) c.inflight_--;
}

}  // namespace hub
