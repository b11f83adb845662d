// The retained bytes' ring: bursts go out once and in order, an ack frees
// them, a rewind resends exactly what the peer lacks (never a burst it has,
// even one waiting behind the other line's), a claim of bytes not sent is
// refused, and when room is short the oldest give way and the next hello
// tells the gap, the bytes intact across the ring's wrap.
#include "ackring.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Ring {
  std::vector<uint8_t> mem;
  AckRing r;
  explicit Ring(uint32_t cap) : mem(cap) {
    ackring_init(&r, 77, cap);
    r.buf = mem.data();
  }
  long put(int line, const std::string &s) {
    return ackring_put(&r, line, reinterpret_cast<const uint8_t *>(s.data()), static_cast<uint32_t>(s.size()));
  }
  // Everything the ring sends now, as "line:bytes" joined by blanks.
  std::string drain() {
    std::string out;
    uint8_t buf[256];
    int line = -1;
    for (uint32_t n; (n = ackring_next(&r, &line, buf, sizeof buf)) > 0;) {
      out += (out.empty() ? "" : " ") + std::to_string(line) + ":" + std::string(buf, buf + n);
    }
    return out;
  }
};

TEST(AckRing, SendsOnceFreesOnAckAndResendsOnlyWhatThePeerLacks) {
  Ring k(256);
  k.put(0, "aaaa");
  k.put(1, "BB");
  k.put(0, "cc");
  EXPECT_EQ(k.drain(), "0:aaaa 1:BB 0:cc");
  EXPECT_EQ(k.drain(), "");
  uint64_t forged[ACK_LINES] = {7, 0};
  EXPECT_EQ(ackring_ack(&k.r, forged), -1);
  uint64_t have[ACK_LINES] = {0, 2};  // line 1's burst waits behind line 0's
  EXPECT_EQ(ackring_ack(&k.r, have), 0);
  EXPECT_EQ(k.r.used, 3 * ACKRING_HEAD + 8u);  // nothing freed yet
  k.put(1, "DDD");
  uint64_t from[ACK_LINES] = {2, 2};  // a new link: the peer has 2 bytes of each
  ackring_rewind(&k.r, from);
  EXPECT_EQ(k.drain(), "0:aa 0:cc 1:DDD");
  uint64_t all[ACK_LINES] = {6, 5};
  EXPECT_EQ(ackring_ack(&k.r, all), 0);
  EXPECT_EQ(k.r.used, 0u);
  AckMark held;
  uint64_t end[ACK_LINES];
  ackring_held(&k.r, &held, end);
  EXPECT_EQ(held.gen, 77u);
  EXPECT_EQ(held.off[0] + held.off[1] + end[0] + end[1], 22u);
}

TEST(AckRing, TheOldestGiveWayAndTheHelloTellsTheGap) {
  Ring k(32);
  EXPECT_EQ(k.put(0, std::string(40, 'x')), -1);  // longer than the ring
  EXPECT_EQ(k.put(2, "x"), -1);
  for (char c = 'a'; c <= 'f'; c++) EXPECT_GE(k.put(0, std::string(7, c)), 0);  // wraps; a..c gave way
  EXPECT_EQ(k.r.evicted, 21u);
  AckMark held, peer = {77, {7, 0}};  // the peer has only the first burst
  uint64_t end[ACK_LINES], from[ACK_LINES], lost[ACK_LINES];
  ackring_held(&k.r, &held, end);
  ASSERT_EQ(ack_send_from(&held, end, &peer, from, lost), 0);
  EXPECT_EQ(lost[0], 14u);
  ackring_rewind(&k.r, from);
  EXPECT_EQ(k.drain(), "0:ddddddd 0:eeeeeee 0:fffffff");
}

}  // namespace
