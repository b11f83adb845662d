// The broker side: statuses, bursts and commands, a broker that goes away,
// and several hubs on one broker (who may say a gateway is offline).
#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include "gateways/session.h"
#include "hubkit.h"
#include "mqtt/bridge.h"
#include "qylink.h"

using namespace hubtest;

namespace {

// A field of the last status on topic ("" when none).
std::string field(const FakeBroker &b, const std::string &topic, const char *key) {
  std::vector<std::string> all = b.on(topic);
  if (all.empty()) return "";
  cJSON *o = cJSON_Parse(all.back().c_str());
  const cJSON *v = cJSON_GetObjectItemCaseSensitive(o, key);
  std::string s = cJSON_IsString(v) ? v->valuestring : cJSON_IsBool(v) ? (cJSON_IsTrue(v) ? "true" : "false")
                  : cJSON_IsNumber(v) ? std::to_string(static_cast<long long>(v->valuedouble)) : "";
  cJSON_Delete(o);
  return s;
}

void message(HubTest &t, const std::string &topic, const std::string &payload) {
  hub::mqtt_on_message(*t.h, topic, reinterpret_cast<const uint8_t *>(payload.data()), payload.size());
  t.pass();
}

std::string claim(const char *hub, int64_t session, bool online) {
  return std::string("{\"online\":") + (online ? "true" : "false") + ",\"hub\":\"" + hub +
         "\",\"session\":" + std::to_string(session) + "}";
}

const char *const kStatus = "trm/10.0.0.7/status";

TEST(Broker, StatusBurstsAndCommands) {
  HubTest t;
  Gw g = t.connect(), held = t.connect();
  t.h->cfg.allow.ids = {"10.0.0.7"};
  t.online(g, "10.0.0.7");
  t.online(held, "10.0.0.8");
  EXPECT_EQ(field(t.broker, kStatus, "online"), "true");
  EXPECT_EQ(field(t.broker, kStatus, "hub"), "hub-a");
  EXPECT_EQ(field(t.broker, kStatus, "alias"), "KX-7700");
  EXPECT_TRUE(t.broker.sent.back().retain);
  EXPECT_TRUE(t.broker.on("trm/10.0.0.8/status").empty());  // held: nothing on the broker
  t.feed(g, heartbeat_packet("10.0.0.7", 40));
  t.advance(t.h->cfg.mqtt.status_min_interval_ms);
  EXPECT_EQ(field(t.broker, kStatus, "signal"), "40");

  message(t, "trm/10.0.0.7/port1/tx", "to the line");
  message(t, "trm/10.0.0.7/cfg", "@CSQ");
  message(t, "trm/10.0.0.8/cfg", "@CSQ");      // held: not for the broker to command
  message(t, "trm/10.0.0.9/vcom", "00");       // not ours
  message(t, "trm/10.0.0.7/nonsense", "x");
  message(t, "other/10.0.0.7/cfg", "@CSQ");
  EXPECT_EQ(g.received(), (std::vector<Section>{{1, bytes("to the line")}, {COM_PORT_QYIO, bytes("@CSQ\r")}}));
  EXPECT_TRUE(held.received().empty());
  t.feed(g, data_packet("10.0.0.7", {{COM_PORT_QYIO, bytes("!CSQ;71;0\r\n")}}));
  EXPECT_EQ(t.broker.on("trm/10.0.0.7/cfg/reply"), std::vector<std::string>{"!CSQ;71;0\r\n"});

  hub::gw_end(*t.h, *g.s, "gone");
  t.pass();
  EXPECT_EQ(field(t.broker, kStatus, "online"), "false");
}

TEST(Broker, AwayBurstsWaitBoundedStatusesComeBackWhole) {
  hub::Config cfg = HubTest::config();
  cfg.mqtt.queue_messages = 3;
  HubTest t(cfg);
  Gw g = t.connect();
  t.online(g, "10.0.0.7");
  t.broker.up = false;
  for (char c : std::string("abcde")) t.feed(g, data_packet("10.0.0.7", {{2, Bytes{uint8_t(c)}}}));
  t.feed(g, heartbeat_packet("10.0.0.7", 50));
  EXPECT_EQ(t.h->m.mqtt_dropped, 2u);  // the oldest two
  t.broker.up = true;
  t.broker.sent.clear();
  hub::mqtt_on_connect(*t.h);
  t.pass();
  EXPECT_EQ(t.broker.on("trm/10.0.0.7/port2/rx"), (std::vector<std::string>{"c", "d", "e"}));
  EXPECT_EQ(field(t.broker, kStatus, "signal"), "50");
  EXPECT_EQ(t.broker.on("trm/hub/hub-a/status").size(), 1u);
}

TEST(Cluster, TheNewestSessionHoldsTheGatewayAndOnlyItsHolderSaysOffline) {
  HubTest t;
  Gw g = t.connect();
  t.online(g, "10.0.0.7");
  int64_t mine = t.rec("10.0.0.7").session_start;
  message(t, kStatus, claim("hub-a", mine, true));  // our own, back from the broker

  // Another hub's offline (an older session of the gateway there) covers
  // ours: we say ours again.
  t.broker.sent.clear();
  message(t, kStatus, claim("hub-b", mine - 5000, false));
  EXPECT_EQ(field(t.broker, kStatus, "hub"), "hub-a");
  EXPECT_EQ(field(t.broker, kStatus, "online"), "true");

  // Claims that are no claims change nothing.
  t.broker.sent.clear();
  for (const char *bad : {"{\"online\":true,\"hub\":\"hub-b\",\"session\":1e19}", "{\"online\":1}", "[]", ""}) {
    message(t, kStatus, bad);
    EXPECT_EQ(g.s->state, hub::Session::State::kReady) << bad;
  }
  EXPECT_TRUE(t.broker.on(kStatus).empty());

  // The gateway is on hub-b now with a newer session: our connection is
  // stale, and we must not publish offline over hub-b's status.
  t.broker.sent.clear();
  message(t, kStatus, claim("hub-b", mine + 5000, true));
  EXPECT_EQ(g.s->state, hub::Session::State::kClosed);
  t.pass();
  EXPECT_TRUE(t.broker.on(kStatus).empty());

  // A hub that went away (its will) leaves online statuses behind: cleared.
  message(t, "trm/hub/hub-b/status", "{\"online\":false,\"hub\":\"hub-b\"}");
  EXPECT_EQ(field(t.broker, kStatus, "online"), "false");
  EXPECT_EQ(field(t.broker, kStatus, "cleared_by"), "hub-a");
}

}  // namespace
