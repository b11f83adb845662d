// The retained buffer: bursts go out once and in order, an acknowledgement
// frees only what the peer has, a break resends exactly what the peer
// lacks, and an outage longer than the ring loses the oldest bursts, the
// loss told by the offsets, the bytes after it intact across the wrap.
#include "retain.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Numbered bytes: the line's offset decides each byte, so any loss,
// repeat or reordering shows.
Bytes numbered(int line, uint64_t off, int n) {
  Bytes b(static_cast<size_t>(n));
  for (int i = 0; i < n; i++) b[static_cast<size_t>(i)] = static_cast<uint8_t>((off + i) * 7 + line);
  return b;
}

struct Sender {
  uint64_t next[ACK_LINES] = {0, 0};
  void put(int line, int n) {
    ASSERT_EQ(retain_put(line, numbered(line, next[line], n).data(), n), 0);
    next[line] += static_cast<uint64_t>(n);
  }
};

// Takes every unsent burst as the peer would; the peer checks the numbers.
void drain(uint64_t have[ACK_LINES]) {
  uint8_t buf[RETAIN_BURST_MAX];
  int line = -1, n = 0;
  while ((n = retain_peek(&line, buf, sizeof buf)) > 0) {
    ASSERT_EQ(Bytes(buf, buf + n), numbered(line, have[line], n)) << "line " << line;
    have[line] += static_cast<uint64_t>(n);
    retain_sent();
  }
}

TEST(Retain, SentOnceInOrderAndFreedWhenAcknowledged) {
  retain_setup(64);
  Sender s;
  s.put(0, 100);
  s.put(1, 30);
  s.put(0, 200);
  uint64_t have[ACK_LINES] = {0, 0};
  drain(have);
  EXPECT_EQ(have[0], 300u);
  EXPECT_EQ(have[1], 30u);
  int line = 0;
  uint8_t buf[RETAIN_BURST_MAX];
  EXPECT_EQ(retain_peek(&line, buf, sizeof buf), 0);
  const uint64_t part[ACK_LINES] = {100, 30};
  ASSERT_EQ(retain_ack(part), 0);
  EXPECT_EQ(retain_used(), 3u + 200u);
  const uint64_t beyond[ACK_LINES] = {301, 30};
  EXPECT_EQ(retain_ack(beyond), -1);
  EXPECT_EQ(retain_put(2, buf, 1), -1);
  EXPECT_EQ(retain_put(0, buf, RETAIN_BURST_MAX + 1), -1);
}

TEST(Retain, ABreakResendsWhatThePeerLacks) {
  retain_setup(64);
  Sender s;
  for (int i = 0; i < 10; i++) s.put(i % 2, 50 + i);
  uint64_t have[ACK_LINES] = {0, 0};
  drain(have);
  // The peer got the first four bursts; the link broke; two more bursts
  // came while it was down.
  uint64_t peer[ACK_LINES] = {50 + 52, 51 + 53};
  s.put(0, 10);
  s.put(1, 10);
  AckMark held{11, {0, 0}};
  uint64_t end[ACK_LINES];
  retain_held(held.off, end);
  AckMark said{11, {peer[0], peer[1]}};
  uint64_t from[ACK_LINES], lost[ACK_LINES];
  ASSERT_EQ(ack_send_from(&held, end, &said, from, lost), 0);
  EXPECT_EQ(lost[0] + lost[1], 0u);
  retain_rewind(from);
  drain(peer);
  EXPECT_EQ(peer[0], s.next[0]);
  EXPECT_EQ(peer[1], s.next[1]);
}

TEST(Retain, AnOutagePastTheRingLosesTheOldestOnly) {
  retain_setup(RETAIN_KB_MIN);
  Sender s;
  for (int i = 0; i < 100; i++) s.put(i % 2, 997);  // ~100 kB into 16 KiB, wrapping
  EXPECT_GT(retain_evicted(), 80u);
  EXPECT_LE(retain_used(), RETAIN_KB_MIN * 1024u);
  AckMark held{11, {0, 0}};
  uint64_t end[ACK_LINES];
  retain_held(held.off, end);
  EXPECT_EQ(retain_skipped(), held.off[0] + held.off[1]);  // nothing was sent: all that went, unsent
  retain_make_room(RETAIN_KB_MIN * 1024u);                 // before a hello: half the ring at most
  EXPECT_LE(retain_used(), RETAIN_KB_MIN * 512u);
  retain_held(held.off, end);
  AckMark said{11, {0, 0}};
  uint64_t from[ACK_LINES], lost[ACK_LINES];
  ASSERT_EQ(ack_send_from(&held, end, &said, from, lost), 0);
  EXPECT_EQ(lost[0], held.off[0]);
  EXPECT_EQ(lost[0] + lost[1] + (end[0] - held.off[0]) + (end[1] - held.off[1]), 100u * 997u);
  retain_rewind(from);
  uint64_t peer[ACK_LINES] = {from[0], from[1]};
  drain(peer);
  EXPECT_EQ(peer[0], s.next[0]);
  EXPECT_EQ(peer[1], s.next[1]);
}

}  // namespace
