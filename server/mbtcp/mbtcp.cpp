// MBAP checks, exception responses and a port's request in flight.
#include "mbtcp.h"

#include <string.h>

namespace mbtcp {

unsigned be16(const uint8_t *p) { return static_cast<unsigned>(p[0] << 8 | p[1]); }

void put_be16(uint8_t *p, unsigned v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

Frame frame_check(const uint8_t *p, size_t avail, size_t *len) {
  if (avail < kMbapLen) return Frame::kNeedMore;
  const unsigned length = be16(p + 4);
  if (be16(p + 2) != 0 || length < 2 || length > kAduMax - kMbapLen) return Frame::kBad;
  *len = kMbapLen + length;
  return avail >= *len ? Frame::kWhole : Frame::kNeedMore;
}

bool is_answer(const uint8_t *request, const uint8_t *d, size_t n) {
  return n >= kMinAdu && n <= kAduMax && memcmp(d, request, 4) == 0 && be16(d + 4) == n - kMbapLen;
}

Match match(const uint8_t *request, const uint8_t *d, size_t n) {
  if (!is_answer(request, d, n)) return Match::kNotIt;
  const bool same = d[6] == request[6] && (d[7] & 0x7F) == request[7];
  return same ? Match::kAnswer : Match::kOther;
}

namespace {

// Write function codes, and how many PDU bytes their normal response
// repeats (0: the whole request).
struct WriteCode {
  uint8_t function, repeated, least;  // least: PDU bytes a sound request has
};
constexpr WriteCode kWrites[] = {
    {0x05, 0, 5}, {0x06, 0, 5}, {0x0F, 5, 7}, {0x10, 5, 8}, {0x15, 0, 2}, {0x16, 0, 7},
};

const WriteCode *write_code(uint8_t function) {
  for (const WriteCode &w : kWrites) {
    if (w.function == function) return &w;
  }
  return nullptr;
}

}  // namespace

bool is_broadcast(const uint8_t *adu) { return adu[6] == kBroadcast; }

bool is_broadcast_write(const uint8_t *adu, size_t len) {
  const WriteCode *w = write_code(adu[7]);
  return is_broadcast(adu) && w && len >= kMbapLen + 1 + w->least;
}

size_t write_response(const uint8_t *adu, size_t len, uint8_t *out) {
  const WriteCode *w = write_code(adu[7]);
  const size_t pdu = w && w->repeated ? w->repeated : len - kMbapLen - 1;
  memcpy(out, adu, kMbapLen + 1 + pdu);
  put_be16(out + 4, static_cast<unsigned>(pdu + 1));
  return kMbapLen + 1 + pdu;
}

size_t exception(const uint8_t *adu, uint8_t code, uint8_t *out) {
  memcpy(out, adu, 4);  // transaction and protocol id
  put_be16(out + 4, 3);
  out[6] = adu[6];
  out[7] = static_cast<uint8_t>(adu[7] | 0x80);
  out[8] = code;
  return kExceptionLen;
}

bool enqueue(Port &p, const Request &r, size_t most) {
  if (p.queue.size() >= most) return false;
  p.queue.push_back(r);
  return true;
}

const Request *next(Port &p, bool (*alive)(void *ctx, uint32_t client), void *ctx) {
  while (!p.busy && !p.queue.empty()) {
    if (alive(ctx, p.queue.front().client)) return &p.queue.front();
    p.queue.pop_front();
  }
  return nullptr;
}

void sent(Port &p, uint32_t now, uint32_t link) {
  p.flight = p.queue.front();
  p.queue.pop_front();
  p.busy = true;
  p.broadcast = is_broadcast(p.flight.adu);
  p.sent_at = now;
  p.link = link;
}

bool take(Port &p, Request *out) {
  if (p.queue.empty()) return false;
  *out = p.queue.front();
  p.queue.pop_front();
  return true;
}

bool answered(Port &p, const uint8_t *d, size_t n) {
  if (!p.busy || !is_answer(p.flight.adu, d, n)) return false;
  p.busy = false;
  return true;
}

Match reply(Port &p, const uint8_t *d, size_t n) {
  const Match m = p.busy && !p.broadcast ? match(p.flight.adu, d, n) : Match::kNotIt;
  if (m != Match::kNotIt) p.busy = false;
  return m;
}

bool expired(Port &p, uint32_t now, uint32_t timeout_ms) {
  if (!p.busy || now - p.sent_at < timeout_ms) return false;
  p.busy = false;
  return true;
}

}  // namespace mbtcp
