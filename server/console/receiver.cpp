// Stream reassembly of a gateway connection and the heartbeat run counter.
#include "receiver.h"

#include <stdio.h>
#include <string.h>

#include "bytes.h"
#include "describe.h"
#include "out.h"
#include "qylink.h"

namespace console {
namespace {

constexpr size_t kShownBadBytes = 16;

void flush_run(Receiver &rx) {
  if (rx.hb_count == 0) return;
  char prefix[128];
  describe_prefix(rx.hb, prefix, sizeof prefix);
  out_line("gw%d heartbeat copies=%u expected=%u len=%zu %s", rx.gw, rx.hb_count,
           burst_copies(rx.hb_len), rx.hb_len, prefix);
  rx.hb_count = 0;
  rx.hb_len = 0;
}

void on_heartbeat(Receiver &rx, const uint8_t *pkt, size_t len, uint32_t now) {
  if (len != prefix_len(pkt)) {
    flush_run(rx);
    out_line("gw%d malformed: heartbeat of %zu bytes (want %zu)", rx.gw, len, prefix_len(pkt));
    return;
  }
  if (rx.hb_count > 0 && (len != rx.hb_len || memcmp(pkt, rx.hb, len) != 0)) flush_run(rx);
  if (rx.hb_count == 0) {
    memcpy(rx.hb, pkt, len);
    rx.hb_len = len;
  }
  rx.hb_count++;
  rx.hb_last = now;
  if (rx.hb_count >= burst_copies(len)) flush_run(rx);
}

void on_packet(Receiver &rx, const uint8_t *pkt, size_t len, uint32_t now) {
  rx.packets++;
  rx.bad_in_row = 0;
  if (pkt[3] == PACKAGE_TYPE_HEARTBEAT) {
    on_heartbeat(rx, pkt, len, now);
    return;
  }
  flush_run(rx);
  if (pkt[3] == PACKAGE_TYPE_INIT) {
    describe_init(rx.gw, pkt, len);
  } else {
    describe_data(rx, pkt, len);
  }
}

struct Feed {
  Receiver &rx;
  uint32_t now;
};

void bad_header_text(WireHeader why, const uint8_t *p, char *out, size_t cap) {
  const size_t len = wire_get16(p + 1);
  switch (why) {
    case WIRE_HEADER_VERSION: snprintf(out, cap, "version %u (want %d)", p[0], PACKAGE_VER); break;
    case WIRE_HEADER_TYPE: snprintf(out, cap, "type %u", p[3]); break;
    case WIRE_HEADER_IPLEN: snprintf(out, cap, "IP length %u over %d", p[4], PACKAGE_MAX_IPLEN); break;
    default:
      if (len < wire_prefix_len(p)) {
        snprintf(out, cap, "length %zu too small for IP length %u", len, p[4]);
      } else {
        snprintf(out, cap, "length %zu over %zu", len, kPacketMax);
      }
  }
}

// A header that cannot be framed: everything buffered is dropped, so
// framing starts again with the next bytes that arrive.
void on_bad_header(void *ctx, const LinkBad *bad) {
  Receiver &rx = static_cast<Feed *>(ctx)->rx;
  flush_run(rx);
  char why[96], hex[hex_room(kShownBadBytes)];
  bad_header_text(bad->why, bad->head, why, sizeof why);
  fmt_hex(bad->head, bad->shown < kShownBadBytes ? bad->shown : kShownBadBytes, hex, sizeof hex);
  out_line("gw%d malformed: %s; dropped %zu buffered bytes: %s", rx.gw, why, bad->dropped, hex);
  rx.bad_in_row++;
}

int on_whole_packet(void *ctx, uint8_t *pkt, size_t len) {
  on_packet(static_cast<Feed *>(ctx)->rx, pkt, len, static_cast<Feed *>(ctx)->now);
  return 1;
}

// An unfinished packet waits as long as the connection lives.
constexpr LinkFraming kFraming = {
    0, LINK_BAD_DROPS_ALL, kPacketMax, 1, on_whole_packet, on_bad_header, nullptr,
};

}  // namespace

unsigned burst_copies(size_t len) {
  const unsigned copies = wire_heartbeat_copies(len);
  return copies > 0 ? copies : 1;
}

void rx_init(Receiver &rx, int gw, SectionFn fn, void *ctx) {
  memset(&rx, 0, sizeof rx);
  rx.gw = gw;
  rx.on_section = fn;
  rx.ctx = ctx;
  rx.in.buf = rx.room;
}

size_t rx_room(const Receiver &rx) { return sizeof rx.buf - rx.in.have; }

void rx_feed(Receiver &rx, const uint8_t *wire, size_t n, uint32_t now) {
  if (n > rx_room(rx)) n = rx_room(rx);
  memcpy(rx.buf, wire, n);
  DecodePacket(rx.buf, static_cast<int>(n));
  Feed feed = {rx, now};
  link_framer_feed(&kFraming, &rx.in, rx.buf, n, now, &feed);
}

void rx_tick(Receiver &rx, uint32_t now) {
  if (rx.hb_count > 0 && now - rx.hb_last > kBurstQuietMs) flush_run(rx);
}

void rx_finish(Receiver &rx) {
  flush_run(rx);
  if (rx.in.have > 0) {
    out_line("gw%d malformed: connection ended inside a packet (%u bytes buffered)", rx.gw,
             static_cast<unsigned>(rx.in.have));
    rx.in.have = 0;
  }
}

}  // namespace console
