// The HTTP API without sockets: routes, filters, admission, commands
// answered later, exposures, metrics, and the token.
#include <gtest/gtest.h>

#include "web/api.h"
#include "core/query.h"
#include "hubkit.h"
#include "qylink.h"

using namespace hubtest;

namespace {

hub::ApiReply call(HubTest &t, const char *method, const std::string &path, const std::string &body = "",
                   std::vector<std::pair<std::string, std::string>> query = {}) {
  hub::ApiRequest r;
  r.method = method;
  r.path = path;
  r.body = body;
  r.query = std::move(query);
  return hub::api_handle(*t.h, r);
}

bool has(const hub::ApiReply &r, const std::string &text) { return r.body.find(text) != std::string::npos; }

TEST(Api, GatewaysFiltersAdmissionAndCommands) {
  hub::Config cfg = HubTest::config();
  cfg.allow.ids = {"10.0.0.*"};
  HubTest t(cfg);
  Gw a = t.connect(), b = t.connect();
  t.online(a, "10.0.0.7");
  t.online(b, "10.9.0.1");
  hub::ApiReply r = call(t, "GET", "/api/gateways", "", {{"state", "held"}});
  EXPECT_TRUE(has(r, "\"matched\":1") && has(r, "\"id\":\"10.9.0.1\"")) << r.body;
  r = call(t, "GET", "/api/gateways", "", {{"q", "0.0.7"}, {"limit", "5"}});
  EXPECT_TRUE(has(r, "\"matched\":1") && has(r, "10.0.0.7")) << r.body;
  EXPECT_EQ(call(t, "GET", "/api/gateways/10.0.0.99").status, 404);
  EXPECT_EQ(call(t, "DELETE", "/api/gateways/10.0.0.7").status, 405);
  EXPECT_EQ(call(t, "GET", "/api/gateways/10.0.0.7/cfg").status, 405);

  EXPECT_EQ(call(t, "POST", "/api/gateways/10.9.0.1/cfg", "@CSQ").status, 403);
  r = call(t, "POST", "/api/gateways/10.9.0.1/admit");
  EXPECT_TRUE(has(r, "\"state\":\"online\"") && has(r, "\"admission\":\"admitted\"")) << r.body;
  r = call(t, "POST", "/api/gateways/10.9.0.1/cfg", "{\"command\":\"@CSQ\"}");
  ASSERT_NE(r.ticket, 0u);
  t.pass();
  EXPECT_EQ(b.received(), (std::vector<Section>{{COM_PORT_QYIO, bytes("@CSQ\r")}}));
  EXPECT_EQ(call(t, "POST", "/api/gateways/10.0.0.7/hold").status, 200);
  EXPECT_STREQ(hub::gw_state(t.rec("10.0.0.7")), "held");
  EXPECT_EQ(call(t, "POST", "/api/gateways/10.0.0.7/release").status, 200);
  EXPECT_STREQ(hub::gw_state(t.rec("10.0.0.7")), "online");

  hub::Exchange j;
  j.gw = "10.9.0.1";
  j.ch = hub::Channel::kCfg;
  j.text = "@CSQ\r@SIP\r";
  j.outcome = hub::Outcome::kDone;
  j.reply = "!CSQ;71;0\r\n!SIP;x\r\n";
  r = hub::api_exchange_reply(j);
  EXPECT_EQ(r.status, 200);
  EXPECT_TRUE(has(r, "\"commands\":[\"@CSQ\",\"@SIP\"],\"replies\":[\"!CSQ;71;0\",\"!SIP;x\"]")) << r.body;
  j.outcome = hub::Outcome::kTimeout;
  EXPECT_EQ(hub::api_exchange_reply(j).status, 504);
}

// The IDs of a page of /api/gateways, in order.
std::string ids(const hub::ApiReply &r) {
  std::string out;
  for (size_t at = r.body.find("{\"id\":\""); at != std::string::npos; at = r.body.find("{\"id\":\"", at + 1)) {
    size_t from = at + 7;
    out += (out.empty() ? "" : " ") + r.body.substr(from, r.body.find('"', from) - from);
  }
  return out;
}

TEST(Api, FleetSortsNaturallyPagesSummarisesAndPutsAttentionFirst) {
  HubTest t;
  std::vector<Gw> gws;
  for (const char *id : {"10.0.0.10", "10.0.0.2", "10.0.0.100", "10.0.0.9"}) {
    gws.push_back(t.connect());
    t.online(gws.back(), id);
  }
  t.feed(gws[3], heartbeat_packet("10.0.0.9", 5));  // weak signal
  hub::ApiReply r = call(t, "GET", "/api/gateways");
  EXPECT_EQ(ids(r), "10.0.0.2 10.0.0.9 10.0.0.10 10.0.0.100");
  EXPECT_TRUE(has(r, "\"summary\":{\"online\":4,\"held\":0,\"offline\":0,\"conflict\":0,\"never\":0,"
                     "\"attention\":1,\"changed_hour\":4}")) << r.body;
  r = call(t, "GET", "/api/gateways", "", {{"sort", "id"}, {"dir", "desc"}, {"offset", "1"}, {"limit", "2"}});
  EXPECT_EQ(ids(r), "10.0.0.10 10.0.0.9");
  EXPECT_TRUE(has(r, "\"matched\":4")) << r.body;
  EXPECT_EQ(ids(call(t, "GET", "/api/gateways", "", {{"sort", "attention"}, {"limit", "1"}})), "10.0.0.9");
  r = call(t, "GET", "/api/gateways", "", {{"state", "attention"}});
  EXPECT_TRUE(has(r, "\"attention\":[\"weak signal\"]") && has(r, "\"matched\":1")) << r.body;
  EXPECT_EQ(call(t, "GET", "/api/gateways", "", {{"sort", "colour"}}).status, 400);

  // Gone for longer than its heartbeat (10 s): offline, and so needing attention.
  EXPECT_EQ(call(t, "POST", "/api/gateways/10.0.0.10/close").status, 200);
  t.advance(11000);
  r = call(t, "GET", "/api/gateways", "", {{"state", "attention"}, {"sort", "attention"}});
  EXPECT_EQ(ids(r), "10.0.0.9 10.0.0.10") << r.body;
  EXPECT_TRUE(has(r, "\"attention\":[\"offline\"]")) << r.body;
  EXPECT_EQ(hub::natural_cmp("a2b", "a10b") < 0 && hub::natural_cmp("v1.02", "v1.2") != 0, true);
}

TEST(Api, ExposuresMetricsPageAndToken) {
  HubTest t;
  EXPECT_EQ(call(t, "POST", "/api/exposures", "{\"gateway\":\"10.0.0.7\",\"port\":3}").status, 400);
  EXPECT_EQ(call(t, "POST", "/api/exposures", "not json").status, 400);
  hub::ApiReply r = call(t, "POST", "/api/exposures", "{\"gateway\":\"10.0.0.7\",\"port\":1,\"kind\":\"raw\"}");
  EXPECT_EQ(r.status, 201) << r.body;
  EXPECT_EQ(call(t, "POST", "/api/exposures", "{\"gateway\":\"10.0.0.7\",\"port\":1}").status, 409);
  EXPECT_TRUE(has(call(t, "GET", "/api/exposures"), "\"kind\":\"raw\""));
  EXPECT_EQ(call(t, "DELETE", "/api/exposures/10.0.0.7/1").status, 200);
  EXPECT_EQ(call(t, "DELETE", "/api/exposures/10.0.0.7/1").status, 404);

  Gw g = t.connect();
  t.online(g, "10.0.0.7");
  r = call(t, "GET", "/metrics");
  EXPECT_EQ(r.type, "text/plain; version=0.0.4");
  EXPECT_TRUE(has(r, "\ntrm_hub_gateways_online 1\n")) << r.body;
  EXPECT_TRUE(has(r, "trm_hub_packets_in_total{type=\"init\"} 1\n"));
  EXPECT_EQ(call(t, "GET", "/nothing").status, 404);

  hub::ApiRequest anon;
  anon.method = "GET";
  anon.authorized = false;
  for (const char *p : {"/api/gateways", "/metrics", "/api/hub"}) {
    anon.path = p;
    EXPECT_EQ(hub::api_handle(*t.h, anon).status, 401) << p;
  }
  for (const char *p : {"/", "/gateway/10.0.0.7"}) {
    anon.path = p;
    r = hub::api_handle(*t.h, anon);  // the pages themselves hold no data
    EXPECT_EQ(r.status, 200) << p;
    EXPECT_EQ(r.type, "text/html; charset=utf-8");
  }
}

}  // namespace
