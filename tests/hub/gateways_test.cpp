// Gateway connections: framing of the stream, the gateway's identity,
// malformed input, time-outs, and the rules for writing to a gateway.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "gateways/session.h"
#include "hubkit.h"
#include "core/json.h"
#include "core/packet.h"

using namespace hubtest;
using hub::Session;

namespace {

TEST(Stream, EveryPacketKindWhateverTheReadsAre) {
  Bytes stream = init_packet("10.0.0.7", "PUMP7", 30);
  Bytes burst = heartbeat_burst("10.0.0.7");
  Bytes data = data_packet("10.0.0.7", {{1, bytes("abc")}, {2, bytes("xyz")}}, 31);
  stream.insert(stream.end(), burst.begin(), burst.end());
  stream.insert(stream.end(), data.begin(), data.end());
  for (size_t piece : {stream.size(), size_t{7}}) {  // every cut: the framer's tests
    HubTest t;
    t.h->cfg.mqtt.qos = 0;
    Gw g = t.connect();
    t.feed(g, stream, piece);
    const hub::GatewayRecord &r = t.rec("10.0.0.7");
    EXPECT_EQ(r.alias, "PUMP7");
    EXPECT_EQ(r.version, "V1.01");
    EXPECT_EQ(r.heartbeat_s, 30);
    EXPECT_EQ(r.signal, 31);
    unsigned copies = wire_heartbeat_copies(heartbeat_packet("10.0.0.7").size());
    EXPECT_EQ(r.c.packets_in, copies + 1);  // the init packet is not counted as traffic
    EXPECT_EQ(t.h->m.packets_in[PACKAGE_TYPE_HEARTBEAT], copies);
    EXPECT_EQ(t.h->m.malformed, 0u);
    EXPECT_EQ(t.broker.on("trm/10.0.0.7/port1/rx"), std::vector<std::string>{"abc"}) << piece;
    EXPECT_EQ(t.broker.on("trm/10.0.0.7/port2/rx"), std::vector<std::string>{"xyz"});
    EXPECT_STREQ(hub::gw_state(r), "online");
  }
}

TEST(Stream, MalformedPacketsAreCountedSurvivedAndEndTheConnectionInARow) {
  HubTest t;
  Gw g = t.connect();
  t.online(g, "10.0.0.7");
  Bytes bad = heartbeat_packet("10.0.0.7");
  bad[0] = 3;  // version
  Bytes bad_sections = data_packet("10.0.0.7", {{1, bytes("abc")}});
  bad_sections[bad_sections.size() - 4] = 9;  // the section runs past the packet
  t.feed(g, bad_sections);
  t.feed(g, bad);
  t.feed(g, data_packet("10.0.0.7", {{1, bytes("ok")}}));  // framing starts again with the next read
  EXPECT_EQ(t.h->m.malformed, 2u);
  EXPECT_EQ(t.rec("10.0.0.7").c.malformed, 2u);
  EXPECT_EQ(t.broker.on("trm/10.0.0.7/port1/rx"), std::vector<std::string>{"ok"});
  for (unsigned i = 0; i < t.h->cfg.malformed_in_row - 1; i++) t.feed(g, bad);
  EXPECT_EQ(g.s->state, Session::State::kReady);
  t.feed(g, bad);
  EXPECT_EQ(g.s->state, Session::State::kClosed);
  EXPECT_EQ(t.h->m.closed_malformed, 1u);
}

TEST(Identity, ANewConnectionReplacesTheOldAndARenamedGatewayIsDropped) {
  HubTest t;
  Gw a = t.connect(), b = t.connect();
  t.online(a, "10.0.0.7");
  t.online(b, "10.0.0.7");
  EXPECT_EQ(a.s->state, Session::State::kClosed);
  EXPECT_EQ(t.rec("10.0.0.7").session, b.s);
  EXPECT_EQ(t.rec("10.0.0.7").c.reconnects, 1u);
  EXPECT_EQ(t.h->session_count, 1u);
  // After "@VIP=" the gateway's packets carry its new ID: what it sent is
  // still handled, then it must introduce itself again.
  t.feed(b, data_packet("10.0.0.8", {{1, bytes("last")}}));
  EXPECT_EQ(t.broker.on("trm/10.0.0.7/port1/rx"), std::vector<std::string>{"last"});
  EXPECT_EQ(b.s->state, Session::State::kClosed);
  // IDs that cannot name a topic or a path are refused, and so are new
  // ones once the registry is full.
  t.h->cfg.max_known = 1;
  for (const char *id : {"", "a/b", "a+b", "#", "hub", "a b", "10.0.0.9"}) {
    Gw c = t.connect();
    t.online(c, id);
    EXPECT_EQ(c.s->state, Session::State::kClosed) << id;
  }
  EXPECT_EQ(t.h->m.closed_unknown, 1u);
  // The cap is max_known for each hub sharing the registry.
  t.h->hubs = 2;
  Gw d = t.connect();
  t.online(d, "10.0.0.9");
  EXPECT_EQ(d.s->state, Session::State::kReady);
  EXPECT_EQ(hub::hub_known_cap(*t.h), 2u);
}

// A gateway refused for a reason that lasts dials again as soon as it is
// closed: it is held open and silent first, longer each time, within bounds.
TEST(Identity, ARefusalThatLastsIsHeldSilentLongerEachTimeThenClosed) {
  HubTest t;
  t.h->cfg.max_known = 1;
  Gw a = t.connect();
  t.online(a, "10.0.0.7");
  char byte;
  for (uint32_t hold : {15000u, 30000u}) {
    Gw b = t.connect(0x7F000009);
    t.online(b, "10.0.0.8");
    ASSERT_EQ(b.s->state, Session::State::kClosed);
    EXPECT_EQ(b.s->hold_ms, hold);
    hub::hub_reap(*t.h);
    EXPECT_EQ(t.h->holds.held(), 1u);
    t.advance(hold - 1000);
    t.h->holds.expire(t.now);
    EXPECT_EQ(recv(b.far, &byte, 1, MSG_DONTWAIT), -1) << "nothing, not even the end, before the hold is over";
    t.advance(1000);
    t.h->holds.expire(t.now);
    EXPECT_EQ(recv(b.far, &byte, 1, MSG_DONTWAIT), 0);
  }
  EXPECT_EQ(t.h->holds.taken(), 2u);
  // Bounded: a hold grows to its most and is forgotten after twice that;
  // beyond the descriptors it may hold, a refusal closes at once.
  hub::Holds holds(1000, 4000, 1);
  for (uint32_t want : {1000u, 2000u, 4000u, 4000u}) EXPECT_EQ(holds.strike(1, "x", 0), want);
  EXPECT_EQ(holds.strike(1, "x", 8001), 1000u);
  EXPECT_EQ(holds.strike(2, "x", 8001), 1000u);
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  EXPECT_TRUE(holds.hold(sv[0], 1000, 0));
  EXPECT_FALSE(holds.hold(sv[1], 1000, 0));
  EXPECT_EQ(holds.unheld(), 1u);
  close(sv[1]);
}

TEST(Identity, TwoAddressesTakingTurnsUnderOneIdAreAConflictUntilAQuietMinute) {
  HubTest t;
  const uint32_t a = 0x7F000002, b = 0x7F000003, c = 0x7F000004;
  // Reconnects from one address, or from addresses that do not alternate.
  for (uint32_t addr : {a, a, a, b, c, a}) {
    Gw g = t.connect(addr);
    t.online(g, "10.0.0.7");
  }
  EXPECT_FALSE(t.rec("10.0.0.7").conflict);
  // a and b replace each other: the third turn within a minute is a conflict.
  Gw last{};
  for (int turn = 1; turn <= 3; turn++) {
    t.advance(2000);
    last = t.connect(turn == 2 ? a : b);
    t.online(last, "10.0.0.7");
    EXPECT_EQ(t.rec("10.0.0.7").conflict, turn == 3) << turn;
  }
  EXPECT_EQ(t.h->m.id_conflicts, 1u);
  EXPECT_EQ(t.rec("10.0.0.7").session, last.s);  // the newest is served
  const char *const kStatus = "trm/10.0.0.7/status";
  EXPECT_NE(t.broker.on(kStatus).back().find("\"conflict\":true"), std::string::npos);
  EXPECT_NE(hub::json_take(hub::gateway_json(*t.h, t.rec("10.0.0.7"))).find("\"conflict\":true"), std::string::npos);
  t.advance(30000);
  t.feed(last, heartbeat_packet("10.0.0.7"));
  t.advance(31000);
  EXPECT_FALSE(t.rec("10.0.0.7").conflict);
  EXPECT_NE(t.broker.on(kStatus).back().find("\"conflict\":false"), std::string::npos);
}

TEST(Identity, NothingCountsBeforeTheInitPacketAndSilenceEndsAConnection) {
  HubTest t;
  Gw g = t.connect(), quiet = t.connect();
  t.feed(g, data_packet("10.0.0.7", {{1, bytes("early")}}));
  EXPECT_EQ(t.h->m.before_init, 1u);
  EXPECT_EQ(hub::hub_find(*t.h, "10.0.0.7"), nullptr);
  t.online(g, "10.0.0.7");
  t.advance(29000);
  t.feed(g, heartbeat_packet("10.0.0.7"));
  EXPECT_EQ(quiet.s->state, Session::State::kWaitInit);
  t.advance(1000);
  EXPECT_EQ(quiet.s->state, Session::State::kClosed);  // no init packet within 30 s
  EXPECT_EQ(t.h->m.closed_init_timeout, 1u);
  t.advance(3 * 10 * 1000 + 28000);  // three heartbeat periods and 30 s after the heartbeat
  EXPECT_EQ(g.s->state, Session::State::kReady);
  t.advance(1000);
  EXPECT_EQ(g.s->state, Session::State::kClosed);
  EXPECT_STREQ(hub::gw_state(t.rec("10.0.0.7")), "offline");
}

TEST(Sending, OnePacketPerWriteSpacedAfterTheInitPacketWithABoundedQueue) {
  hub::Config cfg = HubTest::config();
  cfg.gap_ms = 50;
  HubTest t(cfg);
  Gw g = t.connect();
  hub::GatewayRecord &r = hub::hub_record(*t.h, "10.0.0.7");
  EXPECT_EQ(hub::gw_send(*t.h, r, 1, bytes("x").data(), 1), -1);  // not introduced yet
  t.online(g, "10.0.0.7");
  Bytes big(hub::kSectionMax + 1, 'b');
  EXPECT_EQ(hub::gw_send(*t.h, r, 1, big.data(), big.size()), -3);
  for (unsigned i = 0; i < cfg.out_queue; i++) EXPECT_EQ(hub::gw_send(*t.h, r, 1, bytes("p").data(), 1), 0);
  EXPECT_EQ(hub::gw_send(*t.h, r, 1, bytes("q").data(), 1), -2);
  t.pass();
  EXPECT_EQ(g.received().size(), 1u);  // one now, the next after the gap
  EXPECT_EQ(hub::gw_next_due(*t.h), 50);
  t.advance(49);
  EXPECT_TRUE(g.received().empty());
  t.advance(1);
  std::vector<Section> got = g.received();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], Section(1, bytes("p")));
  EXPECT_EQ(r.c.packets_out, 2u);
}

}  // namespace
