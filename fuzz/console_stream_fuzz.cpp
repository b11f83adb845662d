// The console's side of a gateway connection: the byte stream a gateway
// sends, cut into reads as TCP may cut it, through the reassembly, the
// header checks, the packet descriptions, the heartbeat run counter and the
// verify answer check. After every read the buffer keeps room for a whole
// packet, and every section handed on lies inside the receiver's buffers.
//
// Input:
//   byte 0  bit 0: a verify challenge is outstanding; bit 1: the rest
//           describes packets (fuzzkit::append_packets) that the target
//           lays out soundly; bits 2-7 seed the read sizes (1 .. 1500
//           bytes) and the time between reads
//   rest    (bit 1 clear) the stream as the gateway means it, before
//           scrambling: the target scrambles it with the build's table.
#include <string.h>

#include <vector>

#include "fuzzkit.h"
#include "out.h"
#include "qylink.h"
#include "receiver.h"

namespace {

using console::Receiver;

struct Bounds {
  const Receiver *rx;
  unsigned sections;
};

void discard(void *, const char *, size_t) {}

void on_section(void *ctx, int, unsigned, const uint8_t *data, size_t len) {
  Bounds &b = *static_cast<Bounds *>(ctx);
  const auto inside = [&](const uint8_t *begin, size_t size) {
    return data >= begin && data + len <= begin + size;
  };
  if (len > 0 && !inside(b.rx->buf, sizeof b.rx->buf) && !inside(b.rx->room, sizeof b.rx->room)) {
    fuzzkit::fail("section outside the buffers");
  }
  b.sections++;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  if (!fuzzkit::log_wanted()) console::out_set_sink(discard, nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzzkit::Reader in(data, size);
  const uint8_t ctl = in.byte();
  std::vector<uint8_t> wire;
  if ((ctl & 2) != 0) {
    fuzzkit::append_packets(in, wire);
  } else {
    size_t left = 0;
    const uint8_t *p = in.rest(&left);
    wire.assign(p, p + left);
  }
  EncodePacket(wire.data(), static_cast<int>(wire.size()));

  static Receiver rx;  // large: kept out of the stack
  Bounds bounds = {&rx, 0};
  console::rx_init(rx, 1, on_section, &bounds);
  if ((ctl & 1) != 0) {
    rx.verify_pending = true;
    rx.verify_expect = wire_verify_answer(1, 2);
  }
  fuzzkit::Rng rng(ctl >> 2);
  uint32_t now = 1000;
  for (size_t off = 0; off < wire.size();) {
    size_t n = 1 + rng.next() % PACKET_BUF_SIZE;
    if (n > wire.size() - off) n = wire.size() - off;
    if (n > console::rx_room(rx)) n = console::rx_room(rx);
    console::rx_feed(rx, wire.data() + off, n, now);
    off += n;
    if (console::rx_room(rx) < console::kPacketMax) fuzzkit::fail("no room for a whole packet");
    now += rng.next() % 300;
    console::rx_tick(rx, now);
  }
  console::rx_finish(rx);
  return 0;
}
