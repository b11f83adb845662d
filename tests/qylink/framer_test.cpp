// The link framer: a stream cut anywhere gives the same packets, packets
// joined in one feed are each handed over once, bad headers drop what the
// policy says, an unfinished packet waits no longer than the policy lets it.
#include "framer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes packet(uint8_t type, const std::string &ip, const std::string &body) {
  Bytes p(PACKAGE_HEADER_LEN + ip.size() + 1 + body.size());
  wire_put_prefix(p.data(), p.size(), type, ip.data(), ip.size(), 23);
  std::copy(body.begin(), body.end(), p.begin() + static_cast<long>(wire_prefix_len(p.data())));
  wire_finish(p.data(), p.size());
  return p;
}

Bytes join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

uint32_t g_now = 0;
uint32_t fake_now() { return g_now; }

struct Stream {
  std::vector<Bytes> packets;
  std::vector<LinkBad> bad;
  std::vector<Bytes> bad_bytes;
  size_t stop_after = SIZE_MAX;
  uint8_t room[PACKET_BUF_SIZE];
  LinkFraming how;
  LinkFramer f = {room, 0, 0};

  explicit Stream(uint32_t wait_ms = 0, LinkBadDrops drops = LINK_BAD_DROPS_ALL, int prefix = 1)
      : how{wait_ms, drops, PACKET_BUF_SIZE, prefix, on_packet, on_bad, nullptr} {}

  static int on_packet(void *ctx, uint8_t *p, size_t len) {
    Stream &s = *static_cast<Stream *>(ctx);
    s.packets.emplace_back(p, p + len);
    return s.packets.size() < s.stop_after;
  }
  static void on_bad(void *ctx, const LinkBad *b) {
    Stream &s = *static_cast<Stream *>(ctx);
    s.bad.push_back(*b);
    s.bad_bytes.emplace_back(b->head, b->head + b->shown);
  }
  void feed(Bytes b) { link_framer_feed(&how, &f, b.data(), b.size(), qy_ticks(), this); }
  void feed(const Bytes &b, size_t from, size_t to) { feed(Bytes(b.begin() + from, b.begin() + to)); }
};

class Framer : public ::testing::Test {
 protected:
  void SetUp() override { qy_ticks_install(fake_now); }
  void TearDown() override { qy_ticks_install(nullptr); }
  const Bytes init = packet(PACKAGE_TYPE_INIT, "10.1.2.3", std::string(40, 'i'));
  const Bytes hb = packet(PACKAGE_TYPE_HEARTBEAT, "10.1.2.3", "");
  const Bytes data = packet(PACKAGE_TYPE_DATA, "", std::string(1500 - 7, 'd'));
};

TEST_F(Framer, EveryCutOfAStreamGivesItsPacketsOnceInOrder) {
  const Bytes all = join({init, hb, hb, data, hb});
  for (LinkBadDrops drops : {LINK_BAD_DROPS_ALL, LINK_BAD_DROPS_ITS_FEED}) {
    for (size_t a = 0; a <= all.size(); a += 7) {
      for (size_t b : {a, a + 1, a + 5, a + 1600}) {
        Stream s(2000, drops);
        b = std::min(b, all.size());
        s.feed(all, 0, a);
        s.feed(all, a, b);
        s.feed(all, b, all.size());
        ASSERT_EQ(s.packets, (std::vector<Bytes>{init, hb, hb, data, hb})) << a << " " << b;
        EXPECT_TRUE(s.bad.empty());
        EXPECT_EQ(s.f.have, 0u);
      }
    }
  }
  Stream one_by_one;
  for (size_t i = 0; i < all.size(); i++) one_by_one.feed(all, i, i + 1);
  EXPECT_EQ(one_by_one.packets.size(), 5u);
}

TEST_F(Framer, BadHeadersDropWhatThePolicySays) {
  Bytes version = hb, type = hb, iplen = hb, short_len = hb, long_len = hb;
  version[0] = 3;
  type[3] = 3;
  iplen[4] = 16;
  short_len[1] = static_cast<uint8_t>(wire_prefix_len(hb.data()) - 1);
  wire_put16(long_len.data() + 1, PACKET_BUF_SIZE + 1);
  const struct {
    Bytes head;
    WireHeader why;
  } cases[] = {{version, WIRE_HEADER_VERSION},
               {type, WIRE_HEADER_TYPE},
               {iplen, WIRE_HEADER_IPLEN},
               {short_len, WIRE_HEADER_LENGTH},
               {long_len, WIRE_HEADER_LENGTH}};
  for (const auto &c : cases) {
    Stream s;
    s.feed(join({hb, c.head, hb}));  // the rest of the feed goes with it
    s.feed(hb);
    EXPECT_EQ(s.packets, (std::vector<Bytes>{hb, hb}));
    ASSERT_EQ(s.bad.size(), 1u);
    EXPECT_EQ(s.bad[0].why, c.why);
    EXPECT_EQ(s.bad[0].dropped, 2 * hb.size());
    EXPECT_EQ(s.bad_bytes[0], join({c.head, hb}));
  }
  Stream no_prefix(0, LINK_BAD_DROPS_ALL, 0);
  no_prefix.feed(short_len);
  EXPECT_EQ(no_prefix.packets.size(), 1u) << "the prefix rule is the policy's";
}

TEST_F(Framer, AKeptPacketWithABadHeaderDropsItselfOrAllAtHand) {
  Bytes bad = hb;
  bad[0] = 3;
  // Three bytes kept; the header is judged when the next feed completes it.
  Stream all;
  all.feed(bad, 0, 3);
  all.feed(join({Bytes(bad.begin() + 3, bad.end()), hb}));
  EXPECT_TRUE(all.packets.empty());
  ASSERT_EQ(all.bad.size(), 1u);
  EXPECT_EQ(all.bad[0].dropped, bad.size() + hb.size());
  EXPECT_EQ(all.bad_bytes[0], join({bad, hb})) << "shown as one run";
  Stream its_feed(2000, LINK_BAD_DROPS_ITS_FEED);
  its_feed.feed(bad, 0, 3);
  its_feed.feed(join({hb, hb}));  // framed from its start after the kept bytes go
  EXPECT_EQ(its_feed.packets, (std::vector<Bytes>{hb, hb}));
  ASSERT_EQ(its_feed.bad.size(), 1u);
  EXPECT_EQ(its_feed.bad[0].dropped, 3u);
}

TEST_F(Framer, AnUnfinishedPacketWaitsTheWindowFromItsFirstBytes) {
  Stream s(2000);
  g_now = 0xFFFFF000;  // across the wrap of the clock
  s.feed(data, 0, 3);
  g_now += 1500;
  s.feed(data, 3, 700);
  g_now += 500;
  s.feed(data, 700, data.size());
  EXPECT_EQ(s.packets.size(), 1u) << "2000 ms after its first bytes: still in time";
  s.feed(data, 0, 700);
  g_now += 2001;
  s.feed(join({Bytes(data.begin() + 700, data.end()), hb}));  // the rest is no packet
  EXPECT_EQ(s.packets.size(), 1u);
  s.feed(hb);
  EXPECT_EQ(s.packets.size(), 2u);
  Stream forever;
  forever.feed(data, 0, 700);
  g_now += 1000000;
  forever.feed(data, 700, data.size());
  EXPECT_EQ(forever.packets.size(), 1u) << "no window: it waits as long as it takes";
}

TEST_F(Framer, APacketCallbackCanStopTheFeedAndRoomIsAskedForOnFirstNeed) {
  Stream s;
  s.stop_after = 1;
  s.feed(join({hb, hb, Bytes(hb.begin(), hb.begin() + 3)}));
  EXPECT_EQ(s.packets.size(), 1u);
  EXPECT_EQ(s.f.have, 0u) << "nothing kept after a stop";
  LinkFraming lazy = s.how;
  lazy.room = [](void *ctx) { return static_cast<Stream *>(ctx)->room; };
  LinkFramer f = {nullptr, 0, 0};
  Bytes part(hb.begin(), hb.begin() + 4);
  link_framer_feed(&lazy, &f, part.data(), part.size(), 0, &s);
  EXPECT_EQ(f.buf, s.room) << "room asked for on first need";
  EXPECT_EQ(f.have, 4u);
}

}  // namespace
