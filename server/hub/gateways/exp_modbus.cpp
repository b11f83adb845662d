// Modbus exposures: each request to the gateway's bridge in turn, its
// answer (or an exception) to its client.
#include <string.h>
#include <time.h>

#include "core/log.h"
#include "gateways/exp_kinds.h"
#include "gateways/exp_tls.h"
#include "gateways/exposures.h"
#include "gateways/mbroles.h"

namespace hub {
namespace {

using mbtcp::be16;
using mbtcp::kAduMax;
using MbRequest = mbtcp::Request;

// After a broadcast the port waits this long before its next request, so
// that every slave on the line has carried it out (the serial line's
// turnaround delay, commonly 100 to 200 ms).
constexpr uint32_t kTurnaroundMs = 100;

uint64_t mono_us() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

void count_added(Metrics &m, uint64_t us) {
  size_t i = 0;
  while (i < Metrics::kAddedBuckets && us > Metrics::kAddedBounds[i]) i++;
  m.modbus_added[i]++;
  m.modbus_added_us += us;
}

ExpClient *client_of(Exposure &e, uint32_t serial) {
  for (ExpClient *c : e.clients) {
    if (c->serial == serial) return c;
  }
  return nullptr;
}

void answer(Hub &h, Exposure &e, const MbRequest &r, const uint8_t *adu, size_t n) {
  ExpClient *c = client_of(e, r.client);
  if (c) exp_put_out(h, *c, adu, n);
}

void answer_exception(Hub &h, Exposure &e, const MbRequest &r, uint8_t code, const char *why) {
  uint8_t exc[mbtcp::kExceptionLen];
  size_t n = mbtcp::exception(r.adu, code, exc);
  LOG_DEBUG("exposure %s port%u exception 0x%02X tid=%u: %s", e.conf.gateway.c_str(), e.conf.port, code, be16(r.adu),
            why);
  answer(h, e, r, exc, n);
}

void fail_queue(Hub &h, Exposure &e, uint8_t code, const char *why) {
  MbRequest r;
  while (mbtcp::take(e.mb, &r)) {
    if (code == mbtcp::kExcPathUnavailable) h.m.modbus_offline++;
    answer_exception(h, e, r, code, why);
  }
}

void mark_busy(Hub &h, Exposure &e) {
  if (!e.in_busy) {
    e.in_busy = true;
    h.ex->busy.push_back(&e);
  }
}

bool client_there(void *ctx, uint32_t serial) { return client_of(*static_cast<Exposure *>(ctx), serial) != nullptr; }

// A broadcast write handed to the gateway gets its normal response at once
// (no slave answers one); the port waits its turnaround.
void acknowledge(Hub &h, Exposure &e) {
  uint8_t ack[kAduMax];
  h.m.modbus_broadcasts++;
  answer(h, e, e.mb.flight, ack, mbtcp::write_response(e.mb.flight.adu, e.mb.flight.len, ack));
}

// The next request of a client still there goes to the gateway.
void forward(Hub &h, Exposure &e) {
  while (const MbRequest *q = mbtcp::next(e.mb, client_there, &e)) {
    GatewayRecord *r = exp_gateway(h, e);
    if (!r) return fail_queue(h, e, mbtcp::kExcPathUnavailable, "gateway not connected");
    if (gw_send(h, *r, static_cast<uint16_t>(e.conf.port), q->adu, q->len) != 0) return;  // no room: later
    e.forward_us = h.pass_us ? mono_us() - q->at_us : 0;
    mbtcp::sent(e.mb, h.now, r->session->serial);
    if (e.mb.broadcast) acknowledge(h, e);
    mark_busy(h, e);
  }
}

void enqueue(Hub &h, Exposure &e, ExpClient &c, const uint8_t *adu, size_t len) {
  MbRequest r;
  r.client = c.serial;
  r.at_us = h.pass_us;
  r.len = static_cast<uint16_t>(len);
  memcpy(r.adu, adu, len);
  h.m.modbus_requests++;
  e.requests++;
  if (c.tls && !mb_allowed(c.tls->perm, adu, len)) {
    // Modbus/TCP Security answers a request its role does not allow 0x01.
    exp_tls_refused_request(h, c, adu);
    answer_exception(h, e, r, mbtcp::kExcIllegalFunction, "not allowed for the client's role");
  } else if (mbtcp::is_broadcast(adu) && !mbtcp::is_broadcast_write(adu, len)) {
    h.m.modbus_broadcasts_refused++;
    answer_exception(h, e, r, mbtcp::kExcIllegalFunction, "a broadcast that is no write");
  } else if (!exp_gateway(h, e)) {
    h.m.modbus_offline++;
    answer_exception(h, e, r, mbtcp::kExcPathUnavailable, "gateway not connected");
  } else if (!mbtcp::enqueue(e.mb, r, h.cfg.modbus_queue)) {
    h.m.modbus_busy++;
    answer_exception(h, e, r, mbtcp::kExcBusy, "queue full");
  } else {
    forward(h, e);
  }
}

// The request in flight has waited too long: 0x0B, counted for the gateway.
void timed_out(Hub &h, Exposure &e) {
  e.timeouts++;
  h.m.modbus_timeouts++;
  if (GatewayRecord *r = hub_find(h, e.conf.gateway)) {
    r->c.modbus_timeouts++;
    r->modbus_timeout_at = h.wall_ms / 1000;
  }
  answer_exception(h, e, e.mb.flight, mbtcp::kExcNoResponse, "no response in time");
}

}  // namespace

// Every whole request in the client's input; a header no Modbus TCP
// client sends drops the client.
void mb_input(Hub &h, ExpClient &c, const uint8_t *data, size_t n) {
  Exposure &e = *c.ex;
  c.in.insert(c.in.end(), data, data + n);
  size_t off = 0;
  while (!c.closed) {
    size_t len = 0;
    const mbtcp::Frame f = mbtcp::frame_check(c.in.data() + off, c.in.size() - off, &len);
    if (f == mbtcp::Frame::kNeedMore) break;
    if (f == mbtcp::Frame::kBad) return exp_client_end(h, c, "bad MBAP header");
    enqueue(h, e, c, c.in.data() + off, len);
    off += len;
  }
  if (!c.closed) c.in.erase(c.in.begin(), c.in.begin() + static_cast<long>(off));
}

bool mb_section(Hub &h, Exposure &e, GatewayRecord &r, const uint8_t *data, size_t n) {
  const mbtcp::Match m = mbtcp::reply(e.mb, data, n);
  if (m == mbtcp::Match::kNotIt) return false;
  h.m.modbus_responses++;
  if (m == mbtcp::Match::kOther) {
    const MbRequest &q = e.mb.flight;
    h.m.modbus_mismatched++;
    LOG_INFO("exposure %s port%u: reply from unit %u function 0x%02X to a request for unit %u function 0x%02X",
             r.id.c_str(), e.conf.port, data[6], data[7], q.adu[6], q.adu[7]);
    answer_exception(h, e, q, mbtcp::kExcNoResponse, "the reply came from another unit or function");
  } else {
    answer(h, e, e.mb.flight, data, n);
  }
  if (h.pass_us) count_added(h.m, e.forward_us + (mono_us() - h.pass_us));
  forward(h, e);
  return true;
}

void mb_offline(Hub &h, Exposure &e) {
  if (e.mb.busy) {
    e.mb.busy = false;
    if (!e.mb.broadcast) answer_exception(h, e, e.mb.flight, mbtcp::kExcNoResponse, "gateway disconnected");
  }
  fail_queue(h, e, mbtcp::kExcPathUnavailable, "gateway not connected");
}

void mb_drained(Hub &h, Exposure &e) { forward(h, e); }

bool mb_tick(Hub &h) {
  std::vector<Exposure *> was;
  was.swap(h.ex->busy);
  for (Exposure *e : was) e->in_busy = false;
  for (Exposure *e : was) {
    const bool broadcast = e->mb.broadcast;
    if (mbtcp::expired(e->mb, h.now, broadcast ? kTurnaroundMs : h.cfg.modbus_timeout_ms)) {
      if (!broadcast) timed_out(h, *e);
      forward(h, *e);
    }
    if (e->mb.busy) mark_busy(h, *e);
  }
  return !h.ex->busy.empty();
}

}  // namespace hub
