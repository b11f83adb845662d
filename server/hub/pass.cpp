// The event loop: one pass waits for events, acts on each, then does the
// timed work; closed connections are freed at the end of the pass.
#include "pass.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "core/addr.h"
#include "core/log.h"
#include "core/loop.h"
#include "core/net.h"
#include "gateways/channels.h"
#include "gateways/exp_tls.h"
#include "gateways/exposures.h"
#include "gateways/link.h"
#include "gateways/session.h"
#include "gateways/tls.h"
#include "jobs/jobs.h"
#include "mqtt/bridge.h"
#include "mqtt/client.h"
#include "qylink.h"
#include "store/registry.h"
#include "store/sync.h"
#include "web/http.h"

namespace hub {
namespace {

constexpr int kEvents = 256;
constexpr int kAcceptBurst = 256;
constexpr uint32_t kStopDrainMs = 2000;
constexpr size_t kTickSlice = 2048;  // sessions checked for time-outs in one pass
constexpr size_t kSyncSlice = 5000;  // other hubs' gateway rows applied in one pass

int64_t wall_ms() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void set_time(Hub &h) { hub_set_time(h, qy_ticks(), wall_ms()); }

// Every gateway is a descriptor: as many as the system allows, and no more
// gateways than descriptors (less a reserve for clients, broker, files).
void raise_fd_limit(Hub &h) {
  constexpr rlim_t kReserve = 512;
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) != 0) return;
  rl.rlim_cur = rl.rlim_max;
  setrlimit(RLIMIT_NOFILE, &rl);
  getrlimit(RLIMIT_NOFILE, &rl);
  if (rl.rlim_cur < h.cfg.max_gateways + kReserve) {
    h.cfg.max_gateways = rl.rlim_cur > 2 * kReserve ? static_cast<unsigned>(rl.rlim_cur - kReserve) : 1;
    LOG_INFO("descriptor limit %lu: at most %u gateways", static_cast<unsigned long>(rl.rlim_cur), h.cfg.max_gateways);
  }
}

bool open_signals(Server &s, std::string *why) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
  s.signals.fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (s.signals.fd < 0) return *why = std::string("signalfd: ") + strerror(errno), false;
  loop_add(s.h, s.signals, EPOLLIN);
  return true;
}

// The TLS port's refusals before a connection is made are counted by
// reason too; said at most every 10 s (a flood must not flood the log).
void refused_at_door(Server &s, bool tls, TlsRefusal reason, uint32_t addr) {
  Hub &h = s.h;
  if (!tls) return;
  uint64_t &n = h.m.tls_refused[static_cast<size_t>(reason)];
  n++;
  if (s.tls_refusal_said != 0 && h.now - s.tls_refusal_said < 10000) return;
  s.tls_refusal_said = h.now | 1;
  LOG_WARN("TLS connection from %s refused: %s (%llu refused so far)", ipv4_text(addr).c_str(),
           reason == TlsRefusal::kRate ? "over the connection rate of its address" : "max_connections reached",
           static_cast<unsigned long long>(n));
}

// Both ports take new connections alike (one rate limit per source);
// the TLS port's begin with their handshake.
void accept_gateways(Server &s, const Pollable &listener) {
  Hub &h = s.h;
  bool tls = listener.kind == Kind::kTlsListener;
  for (int i = 0; i < kAcceptBurst; i++) {
    uint32_t addr = 0;
    uint16_t port = 0;
    int fd = net_accept(listener.fd, &addr, &port);
    if (fd < 0) return;
    if (!s.rate.allow(addr, h.now)) {
      h.m.refused_rate++;
      refused_at_door(s, tls, TlsRefusal::kRate, addr);
      close(fd);
    } else if (h.session_count + h.holds.held() >= h.cfg.max_gateways) {
      h.m.refused_full++;
      refused_at_door(s, tls, TlsRefusal::kFull, addr);
      close(fd);
    } else {
      Session &ss = tls ? gw_open_tls(h, fd, addr, port) : gw_open(h, fd, addr, port);
      loop_add(h, ss, EPOLLIN);
    }
  }
}

void on_event(Server &s, const epoll_event &ev) {
  static uint8_t scratch[kReadChunk];
  Hub &h = s.h;
  Pollable *p = static_cast<Pollable *>(ev.data.ptr);
  if (p->fd < 0) return;
  switch (p->kind) {
    case Kind::kGwListener:
    case Kind::kTlsListener: return accept_gateways(s, *p);
    case Kind::kSession: return gw_on_events(h, *static_cast<Session *>(p), ev.events);
    case Kind::kExpListener: return exp_accept(h, *static_cast<Exposure *>(p));
    case Kind::kExpClient: {
      ExpClient &c = *static_cast<ExpClient *>(p);
      if (!c.closed) exp_client_events(h, c, ev.events, scratch, sizeof scratch);
      return;
    }
    case Kind::kMqtt: return s.mqtt->on_events(ev.events);
    case Kind::kHttp: return s.http->run();
    case Kind::kSignal: {
      signalfd_siginfo si{};
      if (read(p->fd, &si, sizeof si) == sizeof si) {
        LOG_INFO("signal %u: stopping", si.ssi_signo);
        s.stopping = true;
      }
      return;
    }
  }
}

// Records whose counters changed go to the registry now and then.
void flush_registry(Hub &h) {
  if (h.reg) h.reg->flush(h.wall_ms, static_cast<int64_t>(h.cfg.registry_flush_s) * 1000);
}

void every_second(Server &s) {
  Hub &h = s.h;
  s.last_second = h.now;
  gw_tick_start(h);
  flush_registry(h);
  s.rate.prune(h.now);
  h.holds.expire(h.now);
  if (s.mqtt) s.mqtt->tick();
  if (s.http) s.http->tick();
}

// The timed work of a pass; true while something waits on a short timer.
bool timed_work(Server &s) {
  Hub &h = s.h;
  bool busy = tls_pump(h);
  gw_pump(h);
  busy = exp_tick(h) || busy;
  busy = cmd_tick(h) || busy;
  busy = jobs_tick(h) || busy;
  if (h.now - s.last_second >= 1000) every_second(s);
  busy = sync_apply(h, kSyncSlice) || busy;
  busy = gw_tick_some(h, kTickSlice) || busy;
  mqtt_pump(h);
  if (s.mqtt) s.mqtt->sync();
  gw_pump(h);
  if (s.http) s.http->after_pass();
  return busy;
}

int wait_ms(Server &s, bool busy) {
  Hub &h = s.h;
  uint32_t since = h.now - s.last_second;
  int t = since >= 1000 ? 0 : static_cast<int>(1000 - since);
  int due = gw_next_due(h);
  if (due >= 0 && due < t) t = due;
  if (busy && t > 10) t = 10;
  if (h.tls && !h.tls->pending.empty()) t = 0;  // decrypted bytes wait inside OpenSSL
  if (h.ex->tls && !h.ex->tls->pending.empty()) t = 0;
  if (s.http) {
    int ht = s.http->timeout_ms();
    if (ht >= 0 && ht < t) t = ht;
  }
  return t;
}

void pass(Server &s, bool &busy) {
  static epoll_event evs[kEvents];
  int n = epoll_wait(s.h.epfd, evs, kEvents, wait_ms(s, busy));
  set_time(s.h);
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  s.h.pass_us = static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
  for (int i = 0; i < n; i++) on_event(s, evs[i]);
  busy = timed_work(s);
  hub_reap(s.h);
  exp_reap(s.h);
}

// The limits on what refused and made-up gateways may cost, said at every
// log level: the registry's cap and the holds.
void say_limits(const Hub &h) {
  const Config &c = h.cfg;
  if (h.sync) {
    log_always(
        "registry cap: new gateway IDs refused once it holds max_known %zu x the hubs sharing it "
        "(%zu heard from so far: %zu)",
        c.max_known, h.hubs, hub_known_cap(h));
  } else {
    log_always("registry cap: new gateway IDs refused once it holds %zu (max_known)", hub_known_cap(h));
  }
  if (c.hold_first_s == 0) return log_always("refusals that last: closed at once (refused_hold_s 0)");
  log_always("refusals that last: held open %u s, twice as long each time again up to %u s, at most %u at once",
             c.hold_first_s, c.hold_max_s < c.hold_first_s ? c.hold_first_s : c.hold_max_s, c.hold_max);
}

// Listeners: every one the configuration names is open before the hub
// says it listens; one that cannot be opened names its key and address.
bool open_gateways(Server &s, int *bound, std::string *why) {
  const Endpoint &at = s.h.cfg.gw_listen;
  if (!s.h.cfg.gw_plain) return true;
  s.gw_listener.fd = net_listen(at.host, at.port, bound, why);
  if (s.gw_listener.fd < 0) return *why = "[gateways] listen " + *why, false;
  loop_add(s.h, s.gw_listener, EPOLLIN);
  return true;
}

// The TLS listener: its context (the certificate, key, CA and ticket
// secret read, warnings said), then its socket.
bool open_tls(Server &s, int *bound, std::string *why) {
  const TlsConf &c = s.h.cfg.tls;
  if (!c.enabled) return true;
  s.h.tls.reset(new TlsServer);
  std::vector<std::string> warnings;
  if (!tls_open(s.h.cfg, s.h.tls.get(), &warnings, why)) return false;
  for (const std::string &w : warnings) LOG_WARN("%s", w.c_str());
  s.tls_listener.fd = net_listen(c.listen.host, c.listen.port, bound, why);
  if (s.tls_listener.fd < 0) return *why = "[gateways] tls_listen " + *why, false;
  loop_add(s.h, s.tls_listener, EPOLLIN);
  return true;
}

bool start_http(Server &s, std::string *why) {
  const Config &c = s.h.cfg;
  if (!c.http_enabled) return true;
  int bound = 0;
  int fd = net_listen(c.http_listen.host, c.http_listen.port, &bound, why);
  if (fd < 0) return *why = "[http] listen " + *why, false;
  s.http.reset(new HttpServer(s.h));
  if (s.http->start(fd, why)) return true;
  *why = "[http] listen " + c.http_listen.host + ":" + std::to_string(bound) + ": " + *why;
  return false;
}

bool open_exposures(Server &s, std::string *why) {
  std::vector<std::string> warnings;
  if (!exp_tls_open(s.h, &warnings, why)) return false;
  for (const std::string &w : warnings) LOG_WARN("%s", w.c_str());
  for (const ExposureConf &c : s.h.cfg.exposures) {
    if (exp_add(s.h, c, false, why)) continue;
    *why = "[[exposure]] " + c.gateway + " port " + std::to_string(c.port) + ", listen " + *why;
    return false;
  }
  return true;
}

// Exposures made through the API in an earlier run: one that cannot be
// made again is only a warning (the configuration did not ask for it).
void restore_exposures(Hub &h, const std::vector<ExposureConf> &list) {
  for (const ExposureConf &c : list) {
    std::string why;
    if (exp_find(h, c.gateway, c.port)) continue;  // the configuration file has it
    if (!exp_add(h, c, true, &why))
      LOG_WARN("exposure %s port%u not restored: %s", c.gateway.c_str(), c.port, why.c_str());
  }
}

// The network's side of a stop: the listener closed, every connection
// ended and announced, the broker told, the HTTP server stopped.
void stop_all(Server &s) {
  Hub &h = s.h;
  for (Pollable *l : {&s.gw_listener, &s.tls_listener}) {
    if (l->fd >= 0) close(l->fd);
    l->fd = -1;
  }
  for (Session *ss = h.sessions, *next = nullptr; ss; ss = next) {
    next = ss->next;
    gw_end(h, *ss, "the hub stops");
  }
  h.holds.close_all();
  mqtt_pump(h);
  mqtt_all_offline(h);
  if (s.mqtt) s.mqtt->stop(kStopDrainMs);
  if (s.http) s.http->stop();
  hub_reap(h);
}

}  // namespace

Server::Server(Hub &hub) : h(hub), rate(hub.cfg.connect_rate, hub.cfg.connect_burst) {}

Server::~Server() {
  if (gw_listener.fd >= 0) close(gw_listener.fd);
  if (tls_listener.fd >= 0) close(tls_listener.fd);
  if (signals.fd >= 0) close(signals.fd);
  if (h.epfd >= 0) close(h.epfd);
  h.epfd = -1;
}

bool server_start(Server &s, const std::vector<ExposureConf> &saved, std::string *why) {
  Hub &h = s.h;
  raise_fd_limit(h);
  h.epfd = epoll_create1(EPOLL_CLOEXEC);
  if (h.epfd < 0) return *why = std::string("epoll: ") + strerror(errno), false;
  set_time(h);
  h.started_ms = h.wall_ms;
  s.last_second = h.now;
  int bound = 0, tls_bound = 0;
  if (!open_signals(s, why) || !open_gateways(s, &bound, why) || !open_tls(s, &tls_bound, why) || !start_http(s, why) ||
      !open_exposures(s, why)) {
    return false;
  }
  restore_exposures(h, saved);
  if (h.cfg.mqtt.enabled) {
    s.mqtt.reset(new MqttClient(h));
    if (!s.mqtt->start(why)) return false;
  }
  say_limits(h);
  std::string http_at = s.http ? h.cfg.http_listen.host + ":" + std::to_string(s.http->port()) : "off";
  std::string gw_at = h.cfg.gw_plain ? h.cfg.gw_listen.host + ":" + std::to_string(bound) : "off";
  std::string tls_at = h.cfg.tls.enabled ? " tls=" + h.cfg.tls.listen.host + ":" + std::to_string(tls_bound) : "";
  log_always("listening gateways=%s http=%s hub=%s%s", gw_at.c_str(), http_at.c_str(), h.cfg.hub_id.c_str(),
             tls_at.c_str());
  return true;
}

void server_run(Server &s) {
  bool busy = false;
  while (!s.stopping) pass(s, busy);
  stop_all(s);
}

}  // namespace hub
