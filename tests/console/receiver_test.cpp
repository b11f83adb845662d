// The gateway stream: framing, every packet kind, bursts, malformed input.
#include "receiver.h"

#include <gtest/gtest.h>

#include "capture.h"
#include "conn.h"
#include "gateways.h"

using namespace console;
using namespace consoletest;

namespace {

struct Seen {
  std::vector<Section> sections;
};

void record(void *ctx, int, unsigned port, const uint8_t *d, size_t n) {
  static_cast<Seen *>(ctx)->sections.push_back({port, Bytes(d, d + n)});
}

class Stream : public ::testing::Test {
 protected:
  void SetUp() override { rx_init(rx, 1, record, &seen); }

  // Feeds plain packet bytes, scrambled, in pieces of at most `piece`.
  void feed(const Bytes &plain, size_t piece = 100000, uint32_t now = 1000) {
    Bytes wire = scrambled(plain);
    for (size_t off = 0; off < wire.size(); off += piece) {
      size_t n = std::min(piece, wire.size() - off);
      rx_feed(rx, wire.data() + off, n, now);
    }
  }

  Capture out;
  Seen seen;
  Receiver rx;
};

TEST_F(Stream, BadHeadersAreNamed) {
  struct Case {
    Bytes head;
    const char *why;
  } cases[] = {
      {{3, 6, 0, 1, 0, 0}, "version 3 (want 2)"},
      {{2, 6, 0, 3, 0, 0}, "type 3"},
      {{2, 40, 0, 1, 16}, "IP length 16 over 15"},
      {{2, 20, 0, 1, 15}, "length 20 too small for IP length 15"},
      {{2, 5, 0, 2, 0}, "length 5 too small for IP length 0"},
      {{2, 0xDD, 0x05, 1, 0}, "length 1501 over 1500"},
  };
  for (const Case &c : cases) {
    out.lines.clear();
    feed(c.head);
    ASSERT_EQ(out.lines.size(), 1u);
    EXPECT_EQ(out.lines[0].rfind(std::string("gw1 malformed: ") + c.why + "; dropped", 0), 0u) << out.lines[0];
  }
}

TEST(Burst, CopiesAsTheGatewayCountsThem) {
  EXPECT_EQ(burst_copies(17), 84u);
  EXPECT_EQ(burst_copies(6), 242u);
  EXPECT_EQ(burst_copies(21), 68u);
  EXPECT_EQ(burst_copies(1500), 1u);
}

TEST(Verify, Arithmetic) {
  EXPECT_EQ(wire_verify_answer(1, 2), 11);
  EXPECT_EQ(wire_verify_answer(0, 0), -11);
  EXPECT_EQ(wire_verify_answer(255, 255), 520189);
}

TEST(ServerPacket, VerifyChallengeLayout) {
  const uint8_t xy[2] = {7, 9};
  uint8_t out[kPacketMax];
  ASSERT_EQ(build_packet(258, xy, 2, out, sizeof out), 13u);
  EXPECT_EQ(Bytes(out, out + 13), (Bytes{0x02, 0x0D, 0x00, 0x01, 0x00, 0x00, 0x01, 0x02, 0x01, 0x02, 0x00, 7, 9}));
  static const uint8_t big[kPacketMax] = {};
  EXPECT_EQ(build_packet(1, big, kSectionMax + 1, out, sizeof out), 0u);
  EXPECT_EQ(build_packet(1, big, kSectionMax, out, sizeof out), kPacketMax);
  EXPECT_EQ(build_packet(1, big, 10, out, 20), 0u);
}

TEST_F(Stream, InitPacketFields) {
  feed(init_packet());
  ASSERT_EQ(out.lines.size(), 1u);
  EXPECT_EQ(out.lines[0],
            "gw1 init ip=\"10.20.30.40\" signal=23 net=1 rsv=0 model=\"TRM-310\" alias=\"KX-7700\" "
            "version=\"V1.01\" ports=2 heartbeat=60 const=10 delay=50 reserved=00 00 00 00 00 00 00 00");
  EXPECT_EQ(rx.packets, 1u);
}

TEST_F(Stream, HeartbeatBurstIsOneLineHoweverItIsCut) {
  Bytes burst, hb = heartbeat();
  for (int i = 0; i < 84; i++) burst.insert(burst.end(), hb.begin(), hb.end());
  for (size_t piece : {size_t{1428}, size_t{1}, size_t{5}, size_t{17}, size_t{700}}) {
    out.lines.clear();
    feed(burst, piece);
    ASSERT_EQ(out.lines.size(), 1u) << piece;
    EXPECT_EQ(out.lines[0], "gw1 heartbeat copies=84 expected=84 len=17 ip=\"10.20.30.40\" signal=23");
  }
}

TEST_F(Stream, ShortRunEndsOnQuietOrOtherPacket) {
  feed(heartbeat());
  feed(heartbeat());
  rx_tick(rx, 1000 + kBurstQuietMs);
  EXPECT_TRUE(out.lines.empty());
  rx_tick(rx, 1001 + kBurstQuietMs);
  ASSERT_EQ(out.lines.size(), 1u);
  EXPECT_EQ(out.lines[0], "gw1 heartbeat copies=2 expected=84 len=17 ip=\"10.20.30.40\" signal=23");
  out.lines.clear();
  feed(heartbeat(5));
  feed(heartbeat(6));
  feed(data_packet({{1, str("x")}}));
  ASSERT_EQ(out.lines.size(), 4u);
  EXPECT_NE(out.lines[0].find("copies=1 expected=84 len=17 ip=\"10.20.30.40\" signal=5"), std::string::npos);
  EXPECT_NE(out.lines[1].find("signal=6"), std::string::npos);
}

TEST_F(Stream, DataSectionsAndReplies) {
  Bytes packets = data_packet({{1, {0x41, 0x01}}, {2, {}}, {256, str("!SIP;OK\r\n")}, {300, str("?")}});
  Bytes second = data_packet({{257, str("!SPORT;OK\r\n")}});
  packets.insert(packets.end(), second.begin(), second.end());
  feed(packets, 7);
  EXPECT_EQ(out.all(),
            "gw1 data ip=\"10.20.30.40\" signal=23 sections=4 len=46\n"
            "gw1 port1 len=2 text=\"A\\x01\" hex=41 01\n"
            "gw1 port2 len=0 text=\"\" hex=\n"
            "gw1 port256 len=9 text=\"!SIP;OK\\r\\n\"\n"
            "gw1 port300 len=1 text=\"?\" hex=3F\n"
            "gw1 data ip=\"10.20.30.40\" signal=23 sections=1 len=33\n"
            "gw1 port257 len=11 text=\"!SPORT;OK\\r\\n\"\n");
  ASSERT_EQ(seen.sections.size(), 5u);
  EXPECT_EQ(seen.sections[0].data, (Bytes{0x41, 0x01}));
  EXPECT_EQ(seen.sections[4].port, 257u);
}

TEST_F(Stream, VerifyAnswerChecked) {
  feed(data_packet({{258, {11, 0, 0, 0}}}));
  rx.verify_pending = true;
  rx.verify_expect = -11;
  feed(data_packet({{258, {0xF5, 0xFF, 0xFF, 0xFF}}}));
  rx.verify_pending = true;
  rx.verify_expect = 11;
  feed(data_packet({{258, {12, 0, 0, 0}}}));
  feed(data_packet({{258, {1, 2, 3}}}));
  std::string all = out.all();
  EXPECT_NE(all.find("gw1 verify answer=11 unsolicited\n"), std::string::npos);
  EXPECT_NE(all.find("gw1 verify answer=-11 expected=-11 match\n"), std::string::npos);
  EXPECT_NE(all.find("gw1 verify answer=12 expected=11 mismatch\n"), std::string::npos);
  EXPECT_NE(all.find("gw1 malformed: verify answer of 3 bytes (want 4)\n"), std::string::npos);
}

TEST_F(Stream, BadHeaderDropsTheBufferAndFramingRestarts) {
  Bytes bad{3, 17, 0, 1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  Bytes good = data_packet({{1, str("ok")}});
  Bytes both = bad;
  both.insert(both.end(), good.begin(), good.end());
  feed(both);
  ASSERT_EQ(out.lines.size(), 1u);
  EXPECT_EQ(out.lines[0],
            "gw1 malformed: version 3 (want 2); dropped 41 buffered bytes: "
            "03 11 00 01 00 01 02 03 04 05 06 07 08 09 0A 0B");
  EXPECT_EQ(rx.in.have, 0u);
  EXPECT_EQ(rx.bad_in_row, 1u);
  feed(good);
  EXPECT_EQ(out.lines.back(), "gw1 port1 len=2 text=\"ok\" hex=6F 6B");
  EXPECT_EQ(rx.bad_in_row, 0u);
}

TEST_F(Stream, BadBodiesAreReportedAndSkipped) {
  Bytes past = data_packet({{1, str("abc")}});
  past[past.size() - 5] = 9;
  Bytes trailing = data_packet({{1, str("abc")}});
  trailing.push_back(0);
  Bytes init_cut = init_packet();
  init_cut.resize(30);
  Bytes init_long = init_packet();
  init_long.push_back(7);
  Bytes hb_long = heartbeat();
  hb_long.push_back(0);
  struct {
    Bytes pkt;
    const char *line;
  } cases[] = {
      {past, "gw1 malformed: section 1 port1 len=9 runs past the packet (3 bytes left)"},
      {finish(trailing), "gw1 malformed: 1 bytes after the last section"},
      {finish(init_cut), "gw1 malformed: init packet of 30 bytes ends inside the alias"},
      {finish(init_long), "gw1 malformed: 1 bytes after the init fields"},
      {finish(hb_long), "gw1 malformed: heartbeat of 18 bytes (want 17)"},
      {finish(prefix(1)), "gw1 malformed: data packet of 17 bytes has no section count"},
  };
  for (const auto &c : cases) {
    out.lines.clear();
    feed(c.pkt);
    ASSERT_FALSE(out.lines.empty());
    EXPECT_EQ(out.lines.back(), c.line);
    EXPECT_EQ(rx.in.have, 0u);
  }
  EXPECT_EQ(rx.bad_in_row, 0u);
}

TEST_F(Stream, EndInsideAPacketIsReported) {
  Bytes p = data_packet({{1, str("abc")}});
  feed(Bytes(p.begin(), p.begin() + 10));
  rx_finish(rx);
  ASSERT_EQ(out.lines.size(), 1u);
  EXPECT_EQ(out.lines[0], "gw1 malformed: connection ended inside a packet (10 bytes buffered)");
}

// A connection accepted after the pass read its clock (gw_accept reads its
// own) was once taken for one 49 days old and refused at once.
TEST(Handshake, ExpiresAfterItsTimeAndNotBefore) {
  for (uint32_t opened : {1000u, 0xFFFFFF00u}) {
    Conn c{-1, nullptr, false, opened};
    EXPECT_FALSE(conn_expired(c, opened - 1));
    EXPECT_FALSE(conn_expired(c, opened + kHandshakeMs - 1));
    EXPECT_TRUE(conn_expired(c, opened + kHandshakeMs));
    c.up = true;
    EXPECT_FALSE(conn_expired(c, opened + kHandshakeMs));
  }
}

}  // namespace
