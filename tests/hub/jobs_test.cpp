// Fleet jobs: the selection resolved into targets, the concurrency bound,
// gateways that come later, deadlines, cancelling, the status on the
// broker, and the jobs kept across a restart without a command sent twice.
#include <gtest/gtest.h>
#include "dbkit.h"
#include "jobs/jobs.h"
#include "hubkit.h"
#include "qylink.h"
#include "store/registry.h"

using namespace hubtest;
using hub::TargetState;

namespace {

size_t count(const hub::Job &j, TargetState s) { return j.count[static_cast<int>(s)]; }

hub::Job *make(HubTest &t, hub::JobRequest req) {
  int status = 0;
  std::string why;
  hub::Job *j = hub::jobs_create(*t.h, req, "ops", &status, &why);
  EXPECT_NE(j, nullptr) << why;
  return j;
}

hub::JobRequest csq(std::vector<std::string> ids, std::vector<std::string> prefixes = {}) {
  hub::JobRequest s;
  s.commands = "@CSQ";
  s.ids = std::move(ids);
  s.prefixes = std::move(prefixes);
  return s;
}

void reply(HubTest &t, Gw &g, const std::string &id) {
  t.feed(g, data_packet(id, {{COM_PORT_QYIO, bytes("!CSQ;71;0\r\n")}}));
}

TEST(Jobs, SelectionConcurrencyAndGatewaysThatComeLater) {
  hub::Config cfg = HubTest::config();
  cfg.jobs.concurrency = 2;
  HubTest t(cfg);
  std::vector<Gw> gws;
  for (int i = 1; i <= 3; i++) {
    gws.push_back(t.connect());
    t.online(gws.back(), "10.0.0." + std::to_string(i));
  }
  Gw other = t.connect();
  t.online(other, "10.1.0.1");
  int status = 0;
  std::string why;
  EXPECT_EQ(hub::jobs_create(*t.h, csq({}), "ops", &status, &why), nullptr);  // nothing selected
  EXPECT_EQ(status, 400);
  hub::JobRequest req = csq({"10.0.0.9"}, {"10.0.0."});
  req.filtered = true;
  req.q = "10.0.0.2";  // already among the prefix's: counted once
  hub::Job &j = *make(t, req);
  ASSERT_EQ(j.targets.size(), 4u);
  t.pass();
  size_t sent = 0;
  for (Gw &g : gws) sent += g.received().size();
  EXPECT_EQ(sent, 2u);  // the bound
  EXPECT_TRUE(other.received().empty());
  reply(t, gws[0], "10.0.0.1");
  reply(t, gws[1], "10.0.0.2");
  EXPECT_EQ(gws[2].received(), (std::vector<Section>{{COM_PORT_QYIO, bytes("@CSQ\r")}}));
  reply(t, gws[2], "10.0.0.3");
  EXPECT_EQ(count(j, TargetState::kDone), 3u);
  EXPECT_EQ(j.targets[0].detail, "!CSQ;71;0\r\n");
  Gw late = t.connect();  // never seen when the job was made
  t.online(late, "10.0.0.9");
  EXPECT_EQ(late.received().size(), 1u);
  reply(t, late, "10.0.0.9");
  EXPECT_EQ(count(j, TargetState::kDone), 4u);
  EXPECT_FALSE(hub::jobs_active(j));
  EXPECT_EQ(t.h->jobs->finished[static_cast<int>(TargetState::kDone)], 4u);
}

TEST(Jobs, DeadlineCancelFailuresAndTheBroker) {
  HubTest t;
  Gw g = t.connect();
  t.online(g, "10.0.0.1");
  hub::JobRequest req = csq({"10.0.0.1", "10.0.0.8"});
  req.deadline_s = 5;
  hub::Job &j = *make(t, req);
  t.pass();
  ASSERT_EQ(g.received().size(), 1u);
  t.advance(6000);  // no reply within the command time-out; the other never came
  EXPECT_EQ(j.targets[0].state, TargetState::kFailed);
  EXPECT_EQ(j.targets[0].detail, "no reply in time");
  EXPECT_EQ(j.targets[1].state, TargetState::kExpired);
  std::vector<std::string> st = t.broker.on("trm/jobs/" + std::to_string(j.id) + "/status");
  ASSERT_FALSE(st.empty());
  EXPECT_NE(st.back().find("\"expired\":1"), std::string::npos) << st.back();
  EXPECT_LE(st.size(), 7u);  // at most once a second

  hub::Job &k = *make(t, csq({"10.0.0.8", "10.0.0.1"}));
  t.pass();
  EXPECT_EQ(g.received().size(), 1u);
  EXPECT_TRUE(hub::jobs_cancel(*t.h, k));
  EXPECT_FALSE(hub::jobs_cancel(*t.h, k));
  EXPECT_EQ(count(k, TargetState::kCancelled), 1u);
  EXPECT_EQ(count(k, TargetState::kSent), 1u);  // it went out: its reply still counts
  hub::gw_end(*t.h, *g.s, "peer closed");
  EXPECT_EQ(k.targets[0].state, TargetState::kFailed);
  EXPECT_EQ(k.targets[0].detail, "the gateway went away before the reply");

  std::string text = R"({"channel": "vcom", "commands": ["00"], "ids": ["10.0.0.8"]})";
  hub::mqtt_on_message(*t.h, "trm/hub/hub-a/jobs/create", reinterpret_cast<const uint8_t *>(text.data()), text.size());
  hub::Job *m = hub::jobs_find(*t.h, k.id + 1);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->who, "mqtt");
  EXPECT_EQ(m->ch, hub::Channel::kVcom);
  hub::mqtt_on_message(*t.h, "trm/hub/hub-a/jobs/" + std::to_string(m->id) + "/cancel", nullptr, 0);
  EXPECT_TRUE(m->cancelled);
}

// Kept in the registry, on either backend.
using JobsKept = Backend;

TEST_P(JobsKept, AcrossARestartAndNeverSentTwice) {
  std::string why;
  {
    hub::Registry reg;  // the schema in place
    ASSERT_TRUE(reg.open(db.target, &why)) << why;
  }
  hub::Config cfg = HubTest::config();
  cfg.jobs.concurrency = 1;
  {
    HubTest t(cfg);
    hub::JobStore &store = attach(t.h->jobstore);
    ASSERT_TRUE(store.open(db.target, &why)) << why;
    Gw a = t.connect(), b = t.connect();
    t.online(a, "10.0.0.1");
    t.online(b, "10.0.0.2");
    make(t, csq({}, {"10.0.0."}));
    t.pass();
    EXPECT_TRUE(a.received().empty());  // not stored as sent yet: nothing goes out
    ASSERT_TRUE(store.write_waiting());
    t.pass();
    EXPECT_EQ(a.received().size(), 1u);
    EXPECT_TRUE(b.received().empty());
    store.stop();  // the hub ends before the reply
  }
  HubTest t(cfg);
  hub::JobStore &store = attach(t.h->jobstore);
  std::vector<std::unique_ptr<hub::Job>> loaded;
  ASSERT_TRUE(store.open(db.target, &why) && store.load(&loaded, &why)) << why;
  hub::jobs_restore(*t.h, std::move(loaded));
  hub::Job &j = *hub::jobs_find(*t.h, 1);
  EXPECT_EQ(j.targets[0].state, TargetState::kFailed);
  EXPECT_EQ(j.targets[0].detail, "the hub restarted before the reply");
  Gw a = t.connect(), b = t.connect();
  t.online(a, "10.0.0.1");
  t.online(b, "10.0.0.2");
  ASSERT_TRUE(store.write_waiting());
  t.pass();
  EXPECT_TRUE(a.received().empty());
  EXPECT_EQ(b.received().size(), 1u);
  reply(t, b, "10.0.0.2");
  EXPECT_EQ(j.targets[1].state, TargetState::kDone);
  EXPECT_EQ(make(t, csq({"10.0.0.1"}))->id, 2u);  // IDs go on after the kept ones
}

BACKENDS(JobsKept);

}  // namespace
