// Exposures: listeners, their clients, and the gateway side of both kinds.
#include "gateways/exposures.h"

#include <errno.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "core/addr.h"
#include "core/log.h"
#include "core/loop.h"
#include "core/net.h"
#include "core/packet.h"
#include "gateways/ack.h"
#include "gateways/session.h"

namespace hub {
namespace {

using mbtcp::be16;
using mbtcp::kAduMax;
using MbRequest = mbtcp::Request;

constexpr int kModbusSndBuf = 8192;
// After a broadcast the port waits this long before its next request, so
// that every slave on the line has carried it out (the serial line's
// turnaround delay, commonly 100 to 200 ms).
constexpr uint32_t kTurnaroundMs = 100;
constexpr int kRawSndBuf = 65536;

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

const char *kind_name(ExpKind k) { return k == ExpKind::kRaw ? "raw" : "modbus"; }

ExpClient *client_of(Exposure &e, uint32_t serial) {
  for (ExpClient *c : e.clients) {
    if (c->serial == serial) return c;
  }
  return nullptr;
}

GatewayRecord *admitted_gateway(Hub &h, const Exposure &e) {
  GatewayRecord *r = hub_find(h, e.conf.gateway);
  return r && gw_admitted(*r) ? r : nullptr;
}

void put_out(Hub &h, ExpClient &c, const uint8_t *data, size_t n, size_t cap) {
  if (c.out.size() + n > cap) {
    if (c.ex->conf.kind == ExpKind::kRaw) {
      h.m.raw_clients_dropped++;
    } else {
      h.m.modbus_clients_dropped++;
    }
    exp_client_end(h, c, "not reading what it is sent");
    return;
  }
  c.out.insert(c.out.end(), data, data + n);
  exp_client_flush(h, c);
}

void answer(Hub &h, Exposure &e, const MbRequest &r, const uint8_t *adu, size_t n) {
  ExpClient *c = client_of(e, r.client);
  if (c) put_out(h, *c, adu, n, kModbusClientOut);
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
    GatewayRecord *r = admitted_gateway(h, e);
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
  if (mbtcp::is_broadcast(adu) && !mbtcp::is_broadcast_write(adu, len)) {
    h.m.modbus_broadcasts_refused++;
    answer_exception(h, e, r, mbtcp::kExcIllegalFunction, "a broadcast that is no write");
  } else if (!admitted_gateway(h, e)) {
    h.m.modbus_offline++;
    answer_exception(h, e, r, mbtcp::kExcPathUnavailable, "gateway not connected");
  } else if (!mbtcp::enqueue(e.mb, r, h.cfg.modbus_queue)) {
    h.m.modbus_busy++;
    answer_exception(h, e, r, mbtcp::kExcBusy, "queue full");
  } else {
    forward(h, e);
  }
}

// Every whole request in the client's input; a header no Modbus TCP
// client sends drops the client.
void take_requests(Hub &h, Exposure &e, ExpClient &c) {
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

void raw_to_gateway(Hub &h, Exposure &e, const uint8_t *data, size_t n) {
  GatewayRecord *r = admitted_gateway(h, e);
  for (size_t off = 0; off < n; off += kSectionMax) {
    size_t len = std::min(kSectionMax, n - off);
    if (!r || gw_send(h, *r, static_cast<uint16_t>(e.conf.port), data + off, len) != 0) {
      h.m.raw_dropped += n - off;
      return;
    }
    h.m.raw_to_gw += len;
  }
}

void client_events(Hub &h, ExpClient &c) {
  if (c.fd < 0) return;
  uint32_t ev = c.paused ? 0u : static_cast<uint32_t>(EPOLLIN);
  if (!c.out.empty()) ev |= EPOLLOUT;
  loop_watch(h, c, ev);
}

}  // namespace

Exposures::~Exposures() {
  for (auto &e : list) {
    for (ExpClient *c : e->clients) closed.push_back(c);
    if (e->fd >= 0) close(e->fd);
  }
  for (ExpClient *c : closed) {
    if (c->fd >= 0) close(c->fd);
    delete c;
  }
}

Exposure *exp_add(Hub &h, const ExposureConf &c, bool from_api, std::string *why) {
  if (c.port != 1 && c.port != 2) return *why = "port must be 1 or 2", nullptr;
  if (!id_usable(reinterpret_cast<const uint8_t *>(c.gateway.data()), c.gateway.size())) {
    return *why = "not a gateway ID", nullptr;
  }
  if (exp_find(h, c.gateway, c.port)) return *why = "that port of the gateway is exposed already", nullptr;
  std::unique_ptr<Exposure> e(new Exposure);
  e->conf = c;
  e->from_api = from_api;
  if (h.epfd >= 0) {
    e->fd = net_listen(c.listen.host, c.listen.port, &e->bound_port, why);
    if (e->fd < 0) return nullptr;
    loop_add(h, *e, EPOLLIN);
  }
  LOG_INFO("exposure %s port%u %s on %s:%d", c.gateway.c_str(), c.port, kind_name(c.kind), c.listen.host.c_str(),
           e->bound_port);
  h.ex->by_gw[c.gateway][c.port - 1] = e.get();
  h.ex->list.push_back(std::move(e));
  return h.ex->list.back().get();
}

Exposure *exp_find(Hub &h, const std::string &gw, unsigned port) {
  auto it = h.ex->by_gw.find(gw);
  return it == h.ex->by_gw.end() || port < 1 || port > 2 ? nullptr : it->second[port - 1];
}

bool exp_remove(Hub &h, const std::string &gw, unsigned port) {
  Exposure *e = exp_find(h, gw, port);
  if (!e) return false;
  while (!e->clients.empty()) exp_client_end(h, *e->clients.back(), "exposure removed");
  e->mb.queue.clear();
  e->mb.busy = false;
  auto &busy = h.ex->busy;
  busy.erase(std::remove(busy.begin(), busy.end(), e), busy.end());
  if (e->fd >= 0) close(e->fd);
  e->fd = -1;
  auto &slots = h.ex->by_gw[gw];
  slots[port - 1] = nullptr;
  if (!slots[0] && !slots[1]) h.ex->by_gw.erase(gw);
  Exposures &x = *h.ex;
  for (size_t i = 0; i < x.list.size(); i++) {
    if (x.list[i].get() != e) continue;
    x.retired.push_back(std::move(x.list[i]));
    x.list.erase(x.list.begin() + static_cast<long>(i));
    break;
  }
  LOG_INFO("exposure %s port%u removed", gw.c_str(), port);
  return true;
}

ExpClient *exp_client_open(Hub &h, Exposure &e, int fd, const std::string &peer) {
  unsigned most = e.conf.kind == ExpKind::kRaw ? h.cfg.raw_clients : h.cfg.modbus_clients;
  if (e.clients.size() >= most) {
    LOG_WARN("exposure %s port%u refused client %s: it has %u", e.conf.gateway.c_str(), e.conf.port, peer.c_str(),
             most);
    return nullptr;
  }
  ExpClient *c = new ExpClient;
  c->fd = fd;
  c->ex = &e;
  c->serial = ++h.ex->next_serial;
  c->peer = peer;
  e.clients.push_back(c);
  if (fd >= 0) loop_add(h, *c, EPOLLIN);
  LOG_INFO("exposure %s port%u client %s connected", e.conf.gateway.c_str(), e.conf.port, peer.c_str());
  return c;
}

void exp_client_input(Hub &h, ExpClient &c, const uint8_t *data, size_t n) {
  if (c.closed) return;
  Exposure &e = *c.ex;
  if (e.conf.kind == ExpKind::kRaw) return raw_to_gateway(h, e, data, n);
  c.in.insert(c.in.end(), data, data + n);
  take_requests(h, e, c);
}

void exp_client_end(Hub &h, ExpClient &c, const char *why) {
  if (c.closed) return;
  c.closed = true;
  Exposure &e = *c.ex;
  e.clients.erase(std::find(e.clients.begin(), e.clients.end(), &c));
  h.ex->closed.push_back(&c);
  LOG_INFO("exposure %s port%u client %s closed: %s", e.conf.gateway.c_str(), e.conf.port, c.peer.c_str(), why);
}

void exp_accept(Hub &h, Exposure &e) {
  for (int i = 0; i < 16; i++) {
    uint32_t addr = 0;
    uint16_t port = 0;
    int fd = net_accept(e.fd, &addr, &port);
    if (fd < 0) return;
    // A small kernel buffer: a client that stops reading is found out
    // after a few responses, not after megabytes.
    int sndbuf = e.conf.kind == ExpKind::kRaw ? kRawSndBuf : kModbusSndBuf;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    if (!exp_client_open(h, e, fd, ipv4_text(addr) + ":" + std::to_string(port))) close(fd);
  }
}

void exp_client_readable(Hub &h, ExpClient &c, uint8_t *buf, size_t cap) {
  size_t room = c.ex->conf.kind == ExpKind::kRaw ? exp_raw_room(h, c) : kAduMax;
  if (room == 0) {
    c.paused = true;
    return client_events(h, c);
  }
  ssize_t n = recv(c.fd, buf, std::min(room, cap), 0);
  if (n == 0) return exp_client_end(h, c, "disconnected");
  if (n < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) exp_client_end(h, c, strerror(errno));
    return;
  }
  exp_client_input(h, c, buf, static_cast<size_t>(n));
}

size_t exp_raw_room(const Hub &h, const ExpClient &c) {
  const auto it = h.records.find(c.ex->conf.gateway);
  size_t room = 0;
  if (it != h.records.end() && ack_room(h, *it->second, &room)) return room;   // its ring, online or away
  if (it == h.records.end() || !gw_admitted(*it->second)) return kSectionMax;  // read and drop
  const Session &s = *it->second->session;
  return s.q_count >= h.cfg.out_queue ? 0 : (h.cfg.out_queue - s.q_count) * kSectionMax;
}

void exp_client_flush(Hub &h, ExpClient &c) {
  while (!c.closed && c.fd >= 0 && !c.out.empty()) {
    ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
      return exp_client_end(h, c, strerror(errno));
    }
    c.out.erase(c.out.begin(), c.out.begin() + n);
  }
  if (!c.closed) client_events(h, c);
}

bool exp_on_section(Hub &h, GatewayRecord &r, uint16_t port, const uint8_t *data, size_t n) {
  Exposure *e = exp_find(h, r.id, port);
  if (!e) return false;
  if (e->conf.kind == ExpKind::kRaw) {
    if (e->clients.empty()) h.m.raw_dropped += n;
    std::vector<ExpClient *> to(e->clients);
    for (ExpClient *c : to) put_out(h, *c, data, n, kRawClientOut);
    h.m.raw_from_gw += n;
    return false;
  }
  const mbtcp::Match m = mbtcp::reply(e->mb, data, n);
  if (m == mbtcp::Match::kNotIt) return false;
  h.m.modbus_responses++;
  if (m == mbtcp::Match::kOther) {
    const MbRequest &q = e->mb.flight;
    h.m.modbus_mismatched++;
    LOG_INFO("exposure %s port%u: reply from unit %u function 0x%02X to a request for unit %u function 0x%02X",
             r.id.c_str(), port, data[6], data[7], q.adu[6], q.adu[7]);
    answer_exception(h, *e, q, mbtcp::kExcNoResponse, "the reply came from another unit or function");
  } else {
    answer(h, *e, e->mb.flight, data, n);
  }
  if (h.pass_us) count_added(h.m, e->forward_us + (mono_us() - h.pass_us));
  forward(h, *e);
  return true;
}

namespace {

void wake(Hub &h, Exposure &e) {
  e.woken = ++h.ex->wakes;
  for (ExpClient *c : e.clients) {
    if (!c->paused) continue;
    c->paused = false;
    client_events(h, *c);
  }
}

bool waits(const Exposure *e) {
  return e && e->conf.kind == ExpKind::kRaw &&
         std::any_of(e->clients.begin(), e->clients.end(), [](const ExpClient *c) { return c->paused; });
}

}  // namespace

void exp_on_offline(Hub &h, GatewayRecord &r) {
  for (unsigned port = 1; port <= 2; port++) {  // raw clients waiting for room: dropped, or kept for its next link
    if (Exposure *e = exp_find(h, r.id, port); waits(e)) wake(h, *e);
  }
  for (unsigned port = 1; port <= 2; port++) {
    Exposure *e = exp_find(h, r.id, port);
    if (!e || e->conf.kind != ExpKind::kModbus) continue;
    if (e->mb.busy) {
      e->mb.busy = false;
      if (!e->mb.broadcast) answer_exception(h, *e, e->mb.flight, mbtcp::kExcNoResponse, "gateway disconnected");
    }
    fail_queue(h, *e, mbtcp::kExcPathUnavailable, "gateway not connected");
  }
}

// Room for the gateway: Modbus exposures forward; of the raw ones waiting,
// the one woken longest ago has its turn, so two busy lines share the link.
void exp_on_drain(Hub &h, GatewayRecord &r) {
  Exposure *turn = nullptr;
  for (unsigned port = 1; port <= 2; port++) {
    Exposure *e = exp_find(h, r.id, port);
    if (e && e->conf.kind == ExpKind::kModbus) forward(h, *e);
    if (waits(e) && (!turn || e->woken < turn->woken)) turn = e;
  }
  if (turn) wake(h, *turn);
}

const GatewayHooks kExposureHooks = [] {
  GatewayHooks row{};
  row.offline = exp_on_offline;
  row.port_section = exp_on_section;
  row.drained = exp_on_drain;
  return row;
}();

namespace {

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

bool exp_tick(Hub &h) {
  std::vector<Exposure *> was;
  was.swap(h.ex->busy);
  for (Exposure *e : was) e->in_busy = false;
  for (Exposure *e : was) {
    const bool broadcast = e->mb.broadcast;
    if (mbtcp::expired(e->mb, h.now, broadcast ? kTurnaroundMs : h.cfg.modbus_timeout_ms)) {
      if (!broadcast) timed_out(h, *e);
      forward(h, *e);
    }
    if (e->mb.busy && !e->in_busy) {
      e->in_busy = true;
      h.ex->busy.push_back(e);
    }
  }
  return !h.ex->busy.empty();
}

void exp_reap(Hub &h) {
  for (ExpClient *c : h.ex->closed) {
    if (c->fd >= 0) close(c->fd);
    delete c;
  }
  h.ex->closed.clear();
  h.ex->retired.clear();
}

}  // namespace hub
