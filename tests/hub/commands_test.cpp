// Command channels: the text the gateway gets, replies paired by position,
// one request in flight per channel, time-outs, the verify challenge, and
// held gateways.
#include <gtest/gtest.h>

#include "gateways/channels.h"
#include "gateways/session.h"
#include "hubkit.h"
#include "qylink.h"

using namespace hubtest;
using hub::Channel;
using hub::Outcome;

namespace {

TEST(CommandText, LinesCarriageReturnsAndReplies) {
  std::string out, why;
  unsigned n = 0;
  ASSERT_TRUE(hub::cmd_normalize(Channel::kCfg, "CSQ\r\n@SIP=a b\n\n", &out, &n, &why));
  EXPECT_EQ(out, "@CSQ\r@SIP=a b\r");
  EXPECT_EQ(n, 2u);
  ASSERT_TRUE(hub::cmd_normalize(Channel::kVcom, "00", &out, &n, &why));
  EXPECT_EQ(out, "00\r");
  EXPECT_FALSE(hub::cmd_normalize(Channel::kCfg, "\r\n", &out, &n, &why));
  EXPECT_FALSE(hub::cmd_normalize(Channel::kCfg, "@A\x01", &out, &n, &why));
  std::string sixteen;
  for (int i = 0; i < 16; i++) sixteen += "@CSQ\n";
  EXPECT_FALSE(hub::cmd_normalize(Channel::kCfg, sixteen, &out, &n, &why));  // more than the gateway holds
  EXPECT_EQ(hub::cmd_split_replies(Channel::kCfg, "!SIP;OK\r\n!SPORT;OK\r\n"),
            (std::vector<std::string>{"!SIP;OK", "!SPORT;OK"}));
  EXPECT_EQ(hub::cmd_split_replies(Channel::kVcom, "OK\rV1.2.3"), (std::vector<std::string>{"OK", "V1.2.3"}));
}

struct Done {
  std::vector<hub::Exchange> jobs;
};
Done *g_done = nullptr;
void record(hub::Hub &, const hub::Exchange &x) { g_done->jobs.push_back(x); }

struct ChannelTest : HubTest {
  explicit ChannelTest(hub::Config cfg = HubTest::config()) : HubTest(cfg) { g_done = &done; }
  Done done;
};

TEST(Channels, OneInFlightRepliesPairedAndTimeOuts) {
  ChannelTest t;
  Gw g = t.connect();
  t.online(g, "10.0.0.7");
  hub::GatewayRecord &r = t.rec("10.0.0.7");
  std::string why;
  ASSERT_TRUE(hub::cmd_submit(*t.h, r, Channel::kCfg, "@CSQ\n@FWVER", record, &why));
  ASSERT_TRUE(hub::cmd_submit(*t.h, r, Channel::kCfg, "@SPORT", record, &why));
  t.pass();
  EXPECT_EQ(g.received(), (std::vector<Section>{{COM_PORT_QYIO, bytes("@CSQ\r@FWVER\r")}}));
  t.feed(g, data_packet("10.0.0.7", {{COM_PORT_QYIO, bytes("!CSQ;71;1\r\n")}}));
  EXPECT_TRUE(t.done.jobs.empty());  // one of two replies
  t.feed(g, data_packet("10.0.0.7", {{COM_PORT_QYIO, bytes("!FWVER;V1.01\r\n")}}));
  ASSERT_EQ(t.done.jobs.size(), 1u);
  EXPECT_EQ(t.done.jobs[0].outcome, Outcome::kDone);
  EXPECT_EQ(hub::cmd_split_replies(Channel::kCfg, t.done.jobs[0].reply),
            (std::vector<std::string>{"!CSQ;71;1", "!FWVER;V1.01"}));
  EXPECT_EQ(r.network, 1);  // learnt from the @CSQ reply
  EXPECT_EQ(g.received(), (std::vector<Section>{{COM_PORT_QYIO, bytes("@SPORT\r")}}));
  t.advance(t.h->cfg.command_timeout_ms);
  ASSERT_EQ(t.done.jobs.size(), 2u);
  EXPECT_EQ(t.done.jobs[1].outcome, Outcome::kTimeout);
  // A virtual COM reply ends when the gateway falls quiet, even without its CR.
  ASSERT_TRUE(hub::cmd_submit(*t.h, r, Channel::kVcom, "01", record, &why));
  t.pass();
  t.feed(g, data_packet("10.0.0.7", {{COM_PORT_QYCOM, bytes("V1.2.3")}}));
  EXPECT_EQ(t.done.jobs.size(), 3u);
  hub::cmd_submit(*t.h, r, Channel::kVcom, "00", record, &why);
  hub::gw_end(*t.h, *g.s, "gone");
  EXPECT_EQ(t.done.jobs.back().outcome, Outcome::kOffline);
}

TEST(Channels, VerifyAnswersAndHeldGateways) {
  hub::Config cfg = HubTest::config();
  cfg.allow.ids = {"10.0.0.7"};
  cfg.verify_interval_s = 5;
  ChannelTest t(cfg);
  Gw g = t.connect(), held = t.connect();
  t.online(g, "10.0.0.7");
  t.online(held, "10.0.0.8");
  std::string why;
  EXPECT_FALSE(hub::cmd_submit(*t.h, t.rec("10.0.0.8"), Channel::kCfg, "@CSQ", record, &why));
  EXPECT_EQ(why, "gateway held: admit it first");
  EXPECT_STREQ(hub::gw_state(t.rec("10.0.0.8")), "held");
  ASSERT_TRUE(hub::cmd_verify(*t.h, t.rec("10.0.0.8"), record, 1, 2, &why));  // checking is allowed
  t.pass();
  EXPECT_EQ(held.received(), (std::vector<Section>{{COM_PORT_VERIFY, Bytes{1, 2}}}));
  Bytes right{11, 0, 0, 0};
  t.feed(held, data_packet("10.0.0.8", {{COM_PORT_VERIFY, right}}));
  EXPECT_TRUE(t.done.jobs.back().match);

  ASSERT_TRUE(hub::cmd_verify(*t.h, t.rec("10.0.0.7"), record, 1, 2, &why));
  t.pass();
  Bytes wrong{12, 0, 0, 0};
  t.feed(g, data_packet("10.0.0.7", {{COM_PORT_VERIFY, wrong}}));
  EXPECT_FALSE(t.done.jobs.back().match);
  t.advance(5000);  // the scheduled challenge of the other one
  std::vector<Section> sched = held.received();
  ASSERT_EQ(sched.size(), 1u);
  EXPECT_EQ(sched[0].first, COM_PORT_VERIFY);
  EXPECT_EQ(g.s->state, hub::Session::State::kClosed);  // a wrong answer ends the connection
  EXPECT_EQ(t.h->m.verify_fail, 1u);
  EXPECT_EQ(t.h->m.verify_ok, 1u);
}

}  // namespace
