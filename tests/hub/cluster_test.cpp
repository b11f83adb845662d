// Hubs sharing one registry: each sees the whole fleet, an admission made
// on one holds on the other, counters from both add up, and a job's
// target goes out once, from the hub its gateway is on, or fails when that
// hub goes away before the reply.
#include <gtest/gtest.h>

#include "web/api.h"
#include "dbkit.h"
#include "gateways/identity.h"
#include "jobs/jobs.h"
#include "hubkit.h"
#include "qylink.h"
#include "store/registry.h"
#include "store/sync.h"

using namespace hubtest;
using hub::TargetState;

namespace {

// One hub of the cluster, its writers and its sync driven by the test.
struct Member {
  Member(const hub::DbTarget &db, const std::string &id) : t(config(id)) {
    std::string why;
    reg.set_hub(id);
    EXPECT_TRUE(reg.open(db, &why) && sync.open(db, id, &why) && reg.load(*t.h, &exposures, &why) &&
                store.open(db, &why))
        << why;
    t.h->jobs->id_base = static_cast<uint64_t>(reg.hub_num()) * hub::kJobIdsPerHub;
  }
  ~Member() {
    sync.stop();
    store.stop();
    reg.stop();
  }
  static hub::Config config(const std::string &id) {
    hub::Config c = HubTest::config();
    c.hub_id = id;
    return c;
  }
  void write() { EXPECT_TRUE(reg.write_waiting() && store.write_waiting()); }
  // What the others wrote, read and applied.
  void learn() {
    ASSERT_TRUE(sync.round());
    hub::sync_apply(*t.h);
  }
  hub::ApiReply call(const char *method, const std::string &path, const std::string &body = "") {
    hub::ApiRequest r;
    r.method = method;
    r.path = path;
    r.body = body;
    return hub::api_handle(*t.h, r);
  }

  HubTest t;
  hub::Registry &reg = attach(t.h->reg);
  hub::JobStore &store = attach(t.h->jobstore);
  hub::Sync &sync = attach(t.h->sync);
  std::vector<hub::ExposureConf> exposures;
};

bool has(const hub::ApiReply &r, const std::string &text) { return r.body.find(text) != std::string::npos; }

void reply(HubTest &t, Gw &g, const std::string &id) {
  t.feed(g, data_packet(id, {{COM_PORT_QYIO, bytes("!CSQ;71;0\r\n")}}));
}

using SharedRegistry = Backend;

TEST_P(SharedRegistry, EveryHubSeesTheFleetAdmissionHoldsAndCountersAddUp) {
  Member a(db.target, "hub-a"), b(db.target, "hub-b");
  EXPECT_EQ(b.reg.hub_num(), a.reg.hub_num() + 1);
  Gw ga = a.t.connect(), g6 = a.t.connect();
  a.t.online(ga, "10.0.0.7");
  a.t.online(g6, "10.0.0.6");
  a.t.feed(ga, heartbeat_burst("10.0.0.7"));
  a.reg.put(a.t.rec("10.0.0.7"));
  uint64_t at_a = a.t.rec("10.0.0.7").c.packets_in;
  a.write();
  ASSERT_TRUE(b.sync.round());  // the rows read are applied a slice a pass
  EXPECT_TRUE(hub::sync_apply(*b.t.h, 1));
  EXPECT_FALSE(hub::sync_apply(*b.t.h, 1));
  EXPECT_NE(hub::hub_find(*b.t.h, "10.0.0.6"), nullptr);
  hub::ApiReply r = b.call("GET", "/api/gateways/10.0.0.7");
  EXPECT_TRUE(has(r, "\"state\":\"online\"") && has(r, "\"hub\":\"hub-a\"") && has(r, "\"here\":false")) << r.body;
  EXPECT_EQ(b.t.rec("10.0.0.7").c.packets_in, at_a);

  EXPECT_EQ(b.call("POST", "/api/gateways/10.0.0.7/hold").status, 200);  // held through hub-b ...
  b.write();
  a.learn();
  EXPECT_STREQ(hub::gw_state(a.t.rec("10.0.0.7")), "held");  // ... holds on hub-a's live session

  hub::gw_end(*a.t.h, *ga.s, "peer closed");  // the gateway moves to hub-b
  a.write();
  b.learn();
  b.t.advance(1000);
  Gw gb = b.t.connect();
  b.t.online(gb, "10.0.0.7");
  EXPECT_STREQ(hub::gw_state(b.t.rec("10.0.0.7")), "held");
  b.t.feed(gb, heartbeat_burst("10.0.0.7"));
  b.reg.put(b.t.rec("10.0.0.7"));
  b.write();
  a.learn();
  const hub::GatewayRecord &seen = a.t.rec("10.0.0.7");
  EXPECT_EQ(seen.c.packets_in, b.t.rec("10.0.0.7").c.packets_in);
  EXPECT_GT(seen.c.packets_in, at_a + 1);  // both hubs' packets
  EXPECT_EQ(seen.holder, "hub-b");
}

TEST_P(SharedRegistry, AJobsTargetGoesOutOnceFromItsGatewaysHub) {
  Member a(db.target, "hub-a"), b(db.target, "hub-b");
  Gw b7 = b.t.connect(), b8 = b.t.connect();
  b.t.online(b7, "10.0.0.7");
  b.t.online(b8, "10.0.0.8");
  hub::ApiReply made = a.call("POST", "/api/jobs", R"({"channel":"cfg","commands":"@CSQ","ids":["10.0.0.7","10.0.0.8"]})");
  ASSERT_EQ(made.status, 201) << made.body;
  a.write();
  b.learn();
  b.t.pass();
  b.write();
  b.t.pass();
  EXPECT_EQ(b7.received().size(), 1u);
  EXPECT_EQ(b8.received().size(), 1u);
  Gw a7 = a.t.connect();
  a.t.online(a7, "10.0.0.7");  // a second session on hub-a: hub-a claims too, after hub-b
  a.t.pass();
  a.write();  // its claim finds the target sent: lost
  a.t.pass();
  EXPECT_TRUE(a7.received().empty());
  reply(b.t, b7, "10.0.0.7");
  b.write();
  a.learn();
  hub::Job &j = *hub::jobs_find(*a.t.h, 1);
  EXPECT_EQ(j.targets[0].state, TargetState::kDone);
  EXPECT_EQ(j.targets[0].holder, "hub-b");

  // hub-b goes silent before 10.0.0.8 answers: its target fails, and is
  // not sent again when the gateway comes to hub-a.
  std::unique_ptr<hub::Db> raw = hub::db_open(db.target, &made.body);
  ASSERT_TRUE(raw && raw->run("UPDATE hubs SET seen = 0 WHERE id = 'hub-b'", {}));
  a.learn();
  a.learn();
  EXPECT_EQ(j.targets[1].state, TargetState::kFailed);
  EXPECT_EQ(j.targets[1].detail, "the hub holding it went away before the reply");
  EXPECT_STREQ(hub::gw_state(a.t.rec("10.0.0.8")), "offline");
  Gw a8 = a.t.connect();
  a.t.online(a8, "10.0.0.8");
  a.t.pass();
  EXPECT_TRUE(a8.received().empty());
}

// A key one hub saw waits on every hub; admitted on one, it is bound on
// all; revoked on one (whatever its clock says), every hub refuses it.
TEST_P(SharedRegistry, AGatewaysKeyPendingAdmittedAndRevokedOnEveryHub) {
  Member a(db.target, "hub-a"), b(db.target, "hub-b");
  Gw ga = a.t.connect();
  a.t.online(ga, "10.0.0.9");
  hub::Fingerprint f{};
  f.fill(0xab);
  hub::GatewayKeys k;
  k.pending = f;
  k.has_pending = true;
  k.pending_seq = 1;  // as a TLS connection's key is noted
  hub::gw_keys_set(*a.t.h, a.t.rec("10.0.0.9"), k);
  a.reg.put(a.t.rec("10.0.0.9"));
  a.write();
  b.learn();
  const std::string hex = hub::fp_hex(f);
  hub::ApiReply r = b.call("GET", "/api/gateways/10.0.0.9");
  EXPECT_TRUE(has(r, "\"pending\":\"" + hex + "\"") && has(r, "\"state\":\"pending\"")) << r.body;

  EXPECT_EQ(b.call("POST", "/api/gateways/10.0.0.9/admit").status, 200);
  b.write();
  a.learn();
  const hub::GatewayKeys *seen = a.t.rec("10.0.0.9").keys.get();
  ASSERT_NE(seen, nullptr);
  EXPECT_TRUE(seen->has_bound && seen->bound == f && !seen->has_pending && seen->tls);
  EXPECT_EQ(a.t.h->bound_keys.count(f), 1u);

  b.t.wall -= 60000;  // hub-b's clock a minute behind: its revocation still wins
  b.t.advance(0);
  r = b.call("POST", "/api/gateways/10.0.0.9/revoke");
  EXPECT_TRUE(r.status == 200 && has(r, "\"revoked\":[\"" + hex + "\"]")) << r.body;
  b.write();
  a.learn();
  EXPECT_FALSE(a.t.rec("10.0.0.9").keys->has_bound);
  EXPECT_EQ(a.t.h->revoked_keys.count(f), 1u);
  EXPECT_EQ(a.t.h->bound_keys.count(f), 0u);
  EXPECT_EQ(a.call("POST", "/api/gateways/10.0.0.9/revoke").status, 409);  // nothing left to revoke
}

BACKENDS(SharedRegistry);

}  // namespace
