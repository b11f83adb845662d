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

// A header that cannot be framed: the rest of the buffer is dropped, so
// framing starts again with the next bytes that arrive.
void on_bad_header(Receiver &rx, const char *why) {
  flush_run(rx);
  char hex[hex_room(kShownBadBytes)];
  fmt_hex(rx.buf, rx.len < kShownBadBytes ? rx.len : kShownBadBytes, hex, sizeof hex);
  out_line("gw%d malformed: %s; dropped %zu buffered bytes: %s", rx.gw, why, rx.len, hex);
  rx.len = 0;
  rx.bad_in_row++;
}

}  // namespace

HeaderCheck check_header(const uint8_t *p, size_t avail, size_t *pkt_len, char *why, size_t cap) {
  size_t len = 0;
  switch (wire_check_header(p, avail, &len)) {
    case WIRE_HEADER_PARTIAL: return HeaderCheck::kNeedMore;
    case WIRE_HEADER_VERSION: snprintf(why, cap, "version %u (want %d)", p[0], PACKAGE_VER); break;
    case WIRE_HEADER_TYPE: snprintf(why, cap, "type %u", p[3]); break;
    case WIRE_HEADER_IPLEN: snprintf(why, cap, "IP length %u over %d", p[4], PACKAGE_MAX_IPLEN); break;
    case WIRE_HEADER_LENGTH:
    case WIRE_HEADER_OK:
      len = wire_get16(p + 1);
      if (len < wire_prefix_len(p)) {
        snprintf(why, cap, "length %zu too small for IP length %u", len, p[4]);
      } else if (len > kPacketMax) {
        snprintf(why, cap, "length %zu over %zu", len, kPacketMax);
      } else {
        *pkt_len = len;
        return avail >= len ? HeaderCheck::kOk : HeaderCheck::kNeedMore;
      }
      break;
  }
  return HeaderCheck::kBad;
}

unsigned burst_copies(size_t len) {
  const unsigned copies = wire_heartbeat_copies(len);
  return copies > 0 ? copies : 1;
}

void rx_init(Receiver &rx, int gw, SectionFn fn, void *ctx) {
  memset(&rx, 0, sizeof rx);
  rx.gw = gw;
  rx.on_section = fn;
  rx.ctx = ctx;
}

size_t rx_room(const Receiver &rx) { return sizeof rx.buf - rx.len; }

void rx_feed(Receiver &rx, const uint8_t *wire, size_t n, uint32_t now) {
  if (n > rx_room(rx)) n = rx_room(rx);
  memcpy(rx.buf + rx.len, wire, n);
  DecodePacket(rx.buf + rx.len, static_cast<int>(n));
  rx.len += n;
  size_t off = 0;
  while (off < rx.len) {
    size_t pkt_len = 0;
    char why[96];
    HeaderCheck hc = check_header(rx.buf + off, rx.len - off, &pkt_len, why, sizeof why);
    if (hc == HeaderCheck::kNeedMore) break;
    if (hc == HeaderCheck::kBad) {
      memmove(rx.buf, rx.buf + off, rx.len - off);
      rx.len -= off;
      on_bad_header(rx, why);
      return;
    }
    on_packet(rx, rx.buf + off, pkt_len, now);
    off += pkt_len;
  }
  memmove(rx.buf, rx.buf + off, rx.len - off);
  rx.len -= off;
}

void rx_tick(Receiver &rx, uint32_t now) {
  if (rx.hb_count > 0 && now - rx.hb_last > kBurstQuietMs) flush_run(rx);
}

void rx_finish(Receiver &rx) {
  flush_run(rx);
  if (rx.len > 0) {
    out_line("gw%d malformed: connection ended inside a packet (%zu bytes buffered)", rx.gw, rx.len);
    rx.len = 0;
  }
}

}  // namespace console
