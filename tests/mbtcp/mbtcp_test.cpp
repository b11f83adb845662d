// Modbus TCP: the MBAP checks, the answer match and exceptions, and a
// port's requests (a bounded queue, one in flight, its time-out).
#include "mbtcp.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(Mbap, HeaderChecksAndWholeFrames) {
  const struct {
    Bytes head;
    mbtcp::Frame want;
    size_t len;
  } cases[] = {
      {{0, 1, 0, 0, 0}, mbtcp::Frame::kNeedMore, 0},
      {{0, 1, 0, 0, 0, 6, 1, 3}, mbtcp::Frame::kNeedMore, 12},
      {{0, 1, 0, 0, 0, 2, 1, 3}, mbtcp::Frame::kWhole, 8},
      {{0, 1, 0, 1, 0, 2, 1, 3}, mbtcp::Frame::kBad, 0},      // protocol 1
      {{0, 1, 0, 0, 0, 1, 1}, mbtcp::Frame::kBad, 0},         // no function code
      {{0, 1, 0, 0, 0, 254}, mbtcp::Frame::kNeedMore, 260},  // the largest PDU
      {{0, 1, 0, 0, 0, 255}, mbtcp::Frame::kBad, 0},
  };
  for (const auto &c : cases) {
    size_t len = 0;
    EXPECT_EQ(mbtcp::frame_check(c.head.data(), c.head.size(), &len), c.want);
    EXPECT_EQ(len, c.len);
  }
}

TEST(Mbap, AnswersAndExceptions) {
  const uint8_t req[] = {0x12, 0x34, 0x00, 0x00, 0x00, 0x06, 0x07, 0x03, 0x00, 0x00, 0x00, 0x01};
  uint8_t exc[mbtcp::kExceptionLen];
  ASSERT_EQ(mbtcp::exception(req, mbtcp::kExcNoResponse, exc), 9u);
  EXPECT_EQ(Bytes(exc, exc + 9), (Bytes{0x12, 0x34, 0x00, 0x00, 0x00, 0x03, 0x07, 0x83, 0x0B}));
  EXPECT_TRUE(mbtcp::is_answer(req, exc, 9));
  const uint8_t reply[] = {0x12, 0x34, 0x00, 0x00, 0x00, 0x05, 0x07, 0x03, 0x02, 0x00, 0x2A};
  EXPECT_TRUE(mbtcp::is_answer(req, reply, sizeof reply));
  EXPECT_FALSE(mbtcp::is_answer(req, reply, sizeof reply - 1)) << "length does not match";
  uint8_t other[sizeof reply];
  std::copy(reply, reply + sizeof reply, other);
  other[1] = 0x35;
  EXPECT_FALSE(mbtcp::is_answer(req, other, sizeof other)) << "another transaction";
  EXPECT_EQ(mbtcp::match(req, exc, 9), mbtcp::Match::kAnswer);
  EXPECT_EQ(mbtcp::match(req, other, sizeof other), mbtcp::Match::kNotIt);
  std::copy(reply, reply + sizeof reply, other);
  other[6] = 0x08;
  EXPECT_EQ(mbtcp::match(req, other, sizeof other), mbtcp::Match::kOther) << "another unit";
  other[6] = 0x07;
  other[7] = 0x04;
  EXPECT_EQ(mbtcp::match(req, other, sizeof other), mbtcp::Match::kOther) << "another function";
}

TEST(Mbap, BroadcastWritesAndTheirNormalResponses) {
  const struct {
    Bytes adu;
    bool write;
    Bytes response;  // of a write
  } cases[] = {
      {{0, 9, 0, 0, 0, 6, 0, 0x06, 0, 5, 0x12, 0x34}, true, {0, 9, 0, 0, 0, 6, 0, 0x06, 0, 5, 0x12, 0x34}},
      {{0, 9, 0, 0, 0, 11, 0, 0x10, 0, 5, 0, 2, 4, 0, 1, 0, 2}, true, {0, 9, 0, 0, 0, 6, 0, 0x10, 0, 5, 0, 2}},
      {{0, 9, 0, 0, 0, 8, 0, 0x0F, 0, 1, 0, 3, 1, 5}, true, {0, 9, 0, 0, 0, 6, 0, 0x0F, 0, 1, 0, 3}},
      {{0, 9, 0, 0, 0, 6, 0, 0x03, 0, 0, 0, 1}, false, {}},  // a read
      {{0, 9, 0, 0, 0, 3, 0, 0x06, 0}, false, {}},            // too short to be a write
      {{0, 9, 0, 0, 0, 6, 1, 0x06, 0, 5, 0x12, 0x34}, false, {}},  // unit 1
  };
  for (const auto &c : cases) {
    EXPECT_EQ(mbtcp::is_broadcast_write(c.adu.data(), c.adu.size()), c.write);
    if (!c.write) continue;
    uint8_t out[mbtcp::kAduMax];
    size_t n = mbtcp::write_response(c.adu.data(), c.adu.size(), out);
    EXPECT_EQ(Bytes(out, out + n), c.response);
  }
}

bool odd_alive(void *, uint32_t client) { return client % 2 == 1; }

mbtcp::Request request(uint32_t client, uint8_t tid) {
  mbtcp::Request r;
  r.client = client;
  const uint8_t adu[] = {0, tid, 0, 0, 0, 2, 1, 3};
  std::copy(adu, adu + sizeof adu, r.adu);
  r.len = sizeof adu;
  return r;
}

TEST(Port, OneInFlightABoundedQueueAndTheTimeOut) {
  mbtcp::Port p;
  for (uint32_t c = 1; c <= 3; c++) ASSERT_TRUE(mbtcp::enqueue(p, request(c, static_cast<uint8_t>(c)), 3));
  EXPECT_FALSE(mbtcp::enqueue(p, request(5, 5), 3)) << "full";
  const mbtcp::Request *r = mbtcp::next(p, odd_alive, nullptr);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->client, 1u);
  mbtcp::sent(p, 1000, 7);
  EXPECT_EQ(mbtcp::next(p, odd_alive, nullptr), nullptr) << "one in flight";
  uint8_t exc[mbtcp::kExceptionLen];
  mbtcp::exception(request(3, 3).adu, 1, exc);
  EXPECT_FALSE(mbtcp::answered(p, exc, sizeof exc)) << "not the one in flight";
  EXPECT_FALSE(mbtcp::expired(p, 1999, 1000));
  EXPECT_TRUE(mbtcp::expired(p, 2000, 1000));
  EXPECT_FALSE(p.busy);
  r = mbtcp::next(p, odd_alive, nullptr);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->client, 3u) << "client 2 is gone: its request dropped";
  mbtcp::sent(p, 2000, 7);
  EXPECT_TRUE(mbtcp::answered(p, exc, sizeof exc));
  EXPECT_FALSE(mbtcp::answered(p, exc, sizeof exc)) << "answered once";
  mbtcp::Request left;
  EXPECT_FALSE(mbtcp::take(p, &left));
}

}  // namespace
