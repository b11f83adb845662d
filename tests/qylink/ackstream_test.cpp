// The acknowledged link's rules: messages read back what was written and
// nothing else; after a break both ends agree where each stream goes on
// and on the bytes lost, whether the link broke, the hub lost its state or
// the daemon started again; a peer cannot claim bytes never sent.
#include "ackstream.h"

#include <gtest/gtest.h>

namespace {

AckMark mark(uint32_t gen, uint64_t a, uint64_t b) { return AckMark{gen, {a, b}}; }

// One end's sending side (held from tail to end) and the peer taking it.
struct Stream {
  AckMark held;
  uint64_t end[ACK_LINES];
  AckMark taking;  // the peer's view
};

// Both sides of a hello exchange for one stream: where the sender goes on,
// what each counts lost.
struct Outcome {
  int rc;
  uint64_t from[ACK_LINES], sender_lost[ACK_LINES], receiver_lost[ACK_LINES];
};

Outcome meet(Stream &s) {
  Outcome o{};
  o.rc = ack_send_from(&s.held, s.end, &s.taking, o.from, o.sender_lost);
  ack_take_hello(&s.taking, &s.held, o.receiver_lost);
  return o;
}

TEST(AckStream, MessagesReadBackAndOnlyThemselves) {
  AckMsg m{ACK_KIND_HELLO, mark(0xa1b2c3d4, 1, 0x0102030405060708ull), mark(7, 0, 99)};
  uint8_t buf[ACK_MSG_LEN + 4];
  ASSERT_EQ(ack_put(buf, sizeof buf, &m), size_t{ACK_MSG_LEN});
  EXPECT_EQ(ack_put(buf, ACK_MSG_LEN - 1, &m), 0u);
  EXPECT_EQ(buf[1], 0xd4);  // little-endian like the rest of the link
  AckMsg got{};
  ASSERT_EQ(ack_get(buf, ACK_MSG_LEN, &got), 0);
  EXPECT_EQ(got.mine.off[1], 0x0102030405060708ull);
  EXPECT_EQ(got.yours.off[1], 99u);
  EXPECT_EQ(ack_get(buf, ACK_MSG_LEN + 1, &got), -1);
  EXPECT_EQ(ack_get(buf, ACK_MSG_LEN - 1, &got), -1);
  buf[0] = 3;
  EXPECT_EQ(ack_get(buf, ACK_MSG_LEN, &got), -1);
  AckMsg nogen{ACK_KIND_HELLO, mark(0, 0, 0), mark(0, 0, 0)};
  ack_put(buf, sizeof buf, &nogen);
  EXPECT_EQ(ack_get(buf, ACK_MSG_LEN, &got), -1);  // a hello names its stream
  nogen.kind = ACK_KIND_ACK;
  ack_put(buf, sizeof buf, &nogen);
  EXPECT_EQ(ack_get(buf, ACK_MSG_LEN, &got), 0);
  EXPECT_EQ(ack_line(1), 0);
  EXPECT_EQ(ack_line(2), 1);
  EXPECT_EQ(ack_line(259), -1);
}

TEST(AckStream, BothEndsAgreeAfterABreak) {
  // A break: the peer has 500/40 of the lines, the sender still holds from
  // 300/40 (not acknowledged) and has 900/60: resend what the peer lacks.
  Stream s{mark(5, 300, 40), {900, 60}, mark(5, 500, 40)};
  Outcome o = meet(s);
  ASSERT_EQ(o.rc, 0);
  EXPECT_EQ(o.from[0], 500u);
  EXPECT_EQ(o.from[1], 40u);
  EXPECT_EQ(o.sender_lost[0] + o.sender_lost[1] + o.receiver_lost[0] + o.receiver_lost[1], 0u);
  EXPECT_EQ(s.taking.off[0], 500u);

  // An outage longer than the buffer: the oldest held is past what the peer
  // has; both count the same gap and the stream goes on after it.
  Stream over{mark(5, 2000, 40), {2500, 60}, mark(5, 500, 40)};
  o = meet(over);
  EXPECT_EQ(o.from[0], 2000u);
  EXPECT_EQ(o.sender_lost[0], 1500u);
  EXPECT_EQ(o.receiver_lost[0], 1500u);
  EXPECT_EQ(o.receiver_lost[1], 0u);
  EXPECT_EQ(over.taking.off[0], 2000u);
}

TEST(AckStream, ARestartedEndIsNotTakenForAGap) {
  // The receiver lost its state (a hub restart): everything held is sent,
  // nothing counted lost.
  Stream hub{mark(5, 300, 40), {900, 60}, mark(0, 0, 0)};
  Outcome o = meet(hub);
  EXPECT_EQ(o.from[0], 300u);
  EXPECT_EQ(o.sender_lost[0] + o.receiver_lost[0], 0u);
  EXPECT_EQ(hub.taking.gen, 5u);
  // The sender started again (a daemon restart): a new generation is a new
  // stream from its start.
  Stream daemon{mark(9, 0, 0), {10, 0}, mark(5, 500, 40)};
  o = meet(daemon);
  EXPECT_EQ(o.from[0], 0u);
  EXPECT_EQ(o.receiver_lost[0] + o.receiver_lost[1], 0u);
  EXPECT_EQ(daemon.taking.gen, 9u);
  EXPECT_EQ(daemon.taking.off[0], 0u);
}

TEST(AckStream, APeerCannotClaimBytesNeverSent) {
  Stream s{mark(5, 300, 40), {900, 60}, mark(5, 901, 40)};
  uint64_t from[ACK_LINES] = {7, 7}, lost[ACK_LINES] = {7, 7};
  EXPECT_EQ(ack_send_from(&s.held, s.end, &s.taking, from, lost), -1);
  EXPECT_EQ(from[0], 7u);
}

TEST(AckStream, AcknowledgementsGoByBytesOrTimeAndNeverIdle) {
  EXPECT_FALSE(ack_due(0, 100000));
  EXPECT_FALSE(ack_due(ACK_EVERY_BYTES - 1, ACK_EVERY_MS - 1));
  EXPECT_TRUE(ack_due(ACK_EVERY_BYTES, 0));
  EXPECT_TRUE(ack_due(1, ACK_EVERY_MS));
}

}  // namespace
