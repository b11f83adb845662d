// Exposures: listeners and their clients, and what the gateways announce,
// handed to each kind's row.
#include "gateways/exposures.h"

#include <errno.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "core/addr.h"
#include "core/log.h"
#include "core/loop.h"
#include "core/net.h"
#include "core/packet.h"
#include "gateways/exp_com.h"
#include "gateways/exp_kinds.h"
#include "gateways/exp_tls.h"
#include "gateways/session.h"

namespace hub {
namespace {

constexpr int kModbusSndBuf = 8192;
constexpr int kRawSndBuf = 65536;

unsigned raw_most(const Config &c) { return c.raw_clients; }
unsigned modbus_most(const Config &c) { return c.modbus_clients; }
unsigned one(const Config &) { return 1; }  // a serial port has one user at a time
size_t modbus_room(const Hub &, const ExpClient &) { return mbtcp::kAduMax; }
void nothing(Hub &, Exposure &) {}

// In ExpKind's order: raw, modbus, rfc2217.
const KindRow kKinds[] = {
    {kRawClientOut, kRawSndBuf, raw_most, exp_raw_room, nullptr, raw_input, nullptr, raw_section, nothing,
     exp_resume_clients, nothing},
    {kModbusClientOut, kModbusSndBuf, modbus_most, modbus_room, nullptr, mb_input, nullptr, mb_section, mb_offline,
     mb_drained, nothing},
    {kRawClientOut, kRawSndBuf, one, exp_raw_room, com_opened, com_input, com_ended, com_section, com_changed,
     exp_resume_clients, com_changed},
};

void client_events(Hub &h, ExpClient &c) {
  if (c.fd < 0) return;
  uint32_t ev = c.paused ? 0u : static_cast<uint32_t>(EPOLLIN);
  if (!c.out.empty()) ev |= EPOLLOUT;
  loop_watch(h, c, ev);
}

const KindRow &kind_of(const Exposure &e) { return exp_kind(e.conf.kind); }

// What the socket takes now: bytes, -1 nothing now, -2 failed (why).
long client_write(ExpClient &c, const char **why) {
  if (c.tls) return exp_tls_write(c, c.out.data(), c.out.size(), why);
  ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n >= 0) return n;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return -1;
  *why = strerror(errno);
  return -2;
}

// Every exposure of the gateway hears the event.
void each_exposure(Hub &h, GatewayRecord &r, void (*KindRow::*slot)(Hub &, Exposure &)) {
  for (unsigned port = 1; port <= 2; port++) {
    Exposure *e = exp_find(h, r.id, port);
    if (e) (kind_of(*e).*slot)(h, *e);
  }
}

void on_changed(Hub &h, GatewayRecord &r, bool urgent) {
  if (urgent) each_exposure(h, r, &KindRow::changed);
}

}  // namespace

const KindRow &exp_kind(ExpKind k) { return kKinds[static_cast<size_t>(k)]; }

Exposure::Exposure() : Pollable(Kind::kExpListener) {}
Exposure::~Exposure() = default;
ExpClient::ExpClient() : Pollable(Kind::kExpClient) {}
ExpClient::~ExpClient() = default;
Exposures::Exposures() = default;

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

GatewayRecord *exp_gateway(Hub &h, const Exposure &e) {
  GatewayRecord *r = hub_find(h, e.conf.gateway);
  return r && gw_admitted(*r) ? r : nullptr;
}

void exp_put_out(Hub &h, ExpClient &c, const uint8_t *data, size_t n) {
  if (c.out.size() + n > kind_of(*c.ex).out_max) {
    if (c.ex->conf.kind == ExpKind::kModbus) {
      h.m.modbus_clients_dropped++;
    } else {
      h.m.raw_clients_dropped++;
    }
    exp_client_end(h, c, "not reading what it is sent");
    return;
  }
  c.out.insert(c.out.end(), data, data + n);
  exp_client_flush(h, c);
}

void exp_resume_clients(Hub &h, Exposure &e) {
  e.woken = ++h.ex->wakes;
  for (ExpClient *c : e.clients) {
    if (!c->paused) continue;
    c->paused = false;
    client_events(h, *c);
  }
}

Exposure *exp_add(Hub &h, const ExposureConf &c, bool from_api, std::string *why) {
  if (c.port != 1 && c.port != 2) return *why = "port must be 1 or 2", nullptr;
  if (!id_usable(reinterpret_cast<const uint8_t *>(c.gateway.data()), c.gateway.size())) {
    return *why = "not a gateway ID", nullptr;
  }
  if (exp_find(h, c.gateway, c.port)) return *why = "that port of the gateway is exposed already", nullptr;
  if (c.tls && !h.ex->tls && h.epfd >= 0) {
    return *why = "a TLS exposure needs [modbus] tls_ca (the clients' CA) and roles", nullptr;
  }
  std::unique_ptr<Exposure> e(new Exposure);
  e->conf = c;
  e->from_api = from_api;
  if (c.kind == ExpKind::kRfc2217) e->com.reset(new ComLine);
  if (h.epfd >= 0) {
    e->fd = net_listen(c.listen.host, c.listen.port, &e->bound_port, why);
    if (e->fd < 0) return nullptr;
    loop_add(h, *e, EPOLLIN);
  }
  LOG_INFO("exposure %s port%u %s on %s:%d", c.gateway.c_str(), c.port, exp_kind_name(c.kind, c.tls),
           c.listen.host.c_str(), e->bound_port);
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
  Exposures &x = *h.ex;
  x.busy.erase(std::remove(x.busy.begin(), x.busy.end(), e), x.busy.end());
  x.com_wait.erase(std::remove(x.com_wait.begin(), x.com_wait.end(), e), x.com_wait.end());
  if (e->fd >= 0) close(e->fd);
  e->fd = -1;
  auto &slots = x.by_gw[gw];
  slots[port - 1] = nullptr;
  if (!slots[0] && !slots[1]) x.by_gw.erase(gw);
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
  const KindRow &k = kind_of(e);
  unsigned most = k.most(h.cfg);
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
  if (e.conf.tls) {
    exp_tls_start(h, *c);  // the kind hears of it once its role is let in
  } else if (k.opened) {
    k.opened(h, *c);
  }
  return c;
}

void exp_client_input(Hub &h, ExpClient &c, const uint8_t *data, size_t n) {
  if (!c.closed) kind_of(*c.ex).input(h, c, data, n);
}

void exp_client_end(Hub &h, ExpClient &c, const char *why) {
  if (c.closed) return;
  c.closed = true;
  Exposure &e = *c.ex;
  e.clients.erase(std::find(e.clients.begin(), e.clients.end(), &c));
  h.ex->closed.push_back(&c);
  LOG_INFO("exposure %s port%u client %s closed: %s", e.conf.gateway.c_str(), e.conf.port, c.peer.c_str(), why);
  const bool heard = !c.tls || c.tls->ready;  // the kind heard of its start
  exp_tls_end(h, c);
  if (heard && kind_of(e).ended) kind_of(e).ended(h, c);
}

void exp_accept(Hub &h, Exposure &e) {
  for (int i = 0; i < 16; i++) {
    uint32_t addr = 0;
    uint16_t port = 0;
    int fd = net_accept(e.fd, &addr, &port);
    if (fd < 0) return;
    // A small kernel buffer: a client that stops reading is found out
    // after a few responses, not after megabytes.
    int sndbuf = kind_of(e).sndbuf;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    if (!exp_client_open(h, e, fd, ipv4_text(addr) + ":" + std::to_string(port))) close(fd);
  }
}

void exp_client_events(Hub &h, ExpClient &c, uint32_t events, uint8_t *buf, size_t cap) {
  if (c.tls) return exp_tls_events(h, c, events, buf, cap);
  if (!c.closed && (events & EPOLLOUT)) exp_client_flush(h, c);
  if (!c.closed && (events & (EPOLLIN | EPOLLHUP | EPOLLERR))) exp_client_readable(h, c, buf, cap);
}

void exp_client_readable(Hub &h, ExpClient &c, uint8_t *buf, size_t cap) {
  size_t room = kind_of(*c.ex).room(h, c);
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

void exp_client_flush(Hub &h, ExpClient &c) {
  while (!c.closed && c.fd >= 0 && !c.out.empty()) {
    const char *why = "";
    const long n = client_write(c, &why);
    if (n == -1) break;
    if (n < 0) return exp_client_end(h, c, why);
    c.out.erase(c.out.begin(), c.out.begin() + n);
  }
  if (!c.closed && (!c.tls || c.tls->ready)) client_events(h, c);
}

bool exp_on_section(Hub &h, GatewayRecord &r, uint16_t port, const uint8_t *data, size_t n) {
  Exposure *e = exp_find(h, r.id, port);
  return e && kind_of(*e).section(h, *e, r, data, n);
}

namespace {

bool waits(const Exposure &e) {
  return std::any_of(e.clients.begin(), e.clients.end(), [](const ExpClient *c) { return c->paused; });
}

}  // namespace

void exp_on_offline(Hub &h, GatewayRecord &r) {
  each_exposure(h, r, &KindRow::drained);  // clients waiting for room: dropped now, or held (acknowledged link)
  each_exposure(h, r, &KindRow::offline);
}

// Room for the gateway: each kind hears of it, but of the exposures whose
// clients wait for room the one woken longest ago has its turn, so two
// busy lines share the link (woken together, the first in the event list
// took all the room every time).
void exp_on_drain(Hub &h, GatewayRecord &r) {
  Exposure *turn = nullptr;
  for (unsigned port = 1; port <= 2; port++) {
    Exposure *e = exp_find(h, r.id, port);
    if (!e) continue;
    const KindRow &k = kind_of(*e);
    if (k.drained != exp_resume_clients) {
      k.drained(h, *e);
    } else if (waits(*e) && (!turn || e->woken < turn->woken)) {
      turn = e;
    }
  }
  if (turn) exp_resume_clients(h, *turn);
}

const GatewayHooks kExposureHooks = [] {
  GatewayHooks row{};
  row.changed = on_changed;
  row.offline = exp_on_offline;
  row.port_section = exp_on_section;
  row.drained = exp_on_drain;
  return row;
}();

bool exp_tick(Hub &h) {
  bool busy = exp_tls_tick(h);
  busy = mb_tick(h) || busy;
  return com_tick(h) || busy;
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
