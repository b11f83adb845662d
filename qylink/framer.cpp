// The link framer: whole packets out of a stream cut anywhere.
#include "framer.h"

#include <stdint.h>
#include <string.h>

namespace {

constexpr size_t kDone = SIZE_MAX;  // nothing of the bytes fed is left to frame

size_t keep_more(LinkFramer *f, const uint8_t *p, size_t n, size_t want) {
  const size_t take = n < want ? n : want;
  if (take > 0) memcpy(f->buf + f->have, p, take);  // an empty feed may have no bytes at all
  f->have = static_cast<uint16_t>(f->have + take);
  return take;
}

void report(const LinkFraming *how, void *ctx, WireHeader why, const uint8_t *head, size_t shown,
            size_t dropped) {
  if (how->bad == nullptr) return;
  const LinkBad bad = {why, head, shown, dropped};
  how->bad(ctx, &bad);
}

// The kept packet's header failed its checks; `used` bytes of the n fed
// went into it. Returns where framing goes on in the bytes fed.
size_t drop_kept(const LinkFraming *how, LinkFramer *f, WireHeader why, const uint8_t *data,
                 size_t n, size_t used, void *ctx) {
  const size_t kept = f->have;
  f->have = 0;
  if (how->bad_drops == LINK_BAD_DROPS_ITS_FEED) {
    report(how, ctx, why, f->buf, kept, kept - used);
    return 0;
  }
  // Shown as one run: the kept bytes topped up from the rest of the feed.
  const size_t rest = n - used, room = how->max_len - kept;
  const size_t top = rest < room ? rest : room;
  if (top > 0) memcpy(f->buf + kept, data + used, top);
  report(how, ctx, why, f->buf, kept + top, kept + rest);
  return kDone;
}

// Completes the kept packet from the bytes fed; returns where framing goes
// on in them.
size_t complete(const LinkFraming *how, LinkFramer *f, uint8_t *data, size_t n, void *ctx) {
  size_t used = 0, len = 0;
  while (true) {
    const WireHeader h = link_frame_check(how, f->buf, f->have, &len);
    if (h == WIRE_HEADER_OK && f->have >= len) break;
    if (h != WIRE_HEADER_OK && h != WIRE_HEADER_PARTIAL) {
      return drop_kept(how, f, h, data, n, used, ctx);
    }
    const size_t want = (h == WIRE_HEADER_PARTIAL ? PACKAGE_HEADER_LEN : len) - f->have;
    const size_t got = keep_more(f, data + used, n - used, want);
    used += got;
    if (got < want) return kDone;
  }
  f->have = 0;
  return how->packet(ctx, f->buf, len) != 0 ? used : kDone;
}

void keep(const LinkFraming *how, LinkFramer *f, const uint8_t *p, size_t n, uint32_t now,
          void *ctx) {
  if (f->buf == nullptr) f->buf = how->room(ctx);
  f->have = 0;
  f->since = now;
  keep_more(f, p, n, n);
}

}  // namespace

extern "C" {

WireHeader link_frame_check(const LinkFraming *how, const uint8_t *p, size_t avail, size_t *len) {
  size_t n = 0;
  const WireHeader h = wire_check_header(p, avail, &n);
  if (h != WIRE_HEADER_OK) return h;
  if (n > how->max_len || (how->need_prefix != 0 && n < wire_prefix_len(p))) {
    return WIRE_HEADER_LENGTH;
  }
  *len = n;
  return WIRE_HEADER_OK;
}

void link_framer_feed(const LinkFraming *how, LinkFramer *f, uint8_t *data, size_t n,
                      uint32_t now, void *ctx) {
  if (f->have > 0 && how->wait_ms > 0 && now - f->since > how->wait_ms) f->have = 0;
  size_t off = f->have > 0 ? complete(how, f, data, n, ctx) : 0;
  while (off < n) {
    size_t len = 0;
    const WireHeader h = link_frame_check(how, data + off, n - off, &len);
    if (h == WIRE_HEADER_PARTIAL || (h == WIRE_HEADER_OK && len > n - off)) {
      return keep(how, f, data + off, n - off, now, ctx);
    }
    if (h != WIRE_HEADER_OK) return report(how, ctx, h, data + off, n - off, n - off);
    if (how->packet(ctx, data + off, len) == 0) return;
    off += len;
  }
}

}  // extern "C"
