// Modbus TCP exposure of a gateway's bridged port: clients, the request
// queue, the one request in flight, time-outs.
#include "modbus.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "gateways.h"
#include "net.h"
#include "out.h"
#include "qylink.h"

namespace console {
namespace {

using mbtcp::be16;
using mbtcp::kAduMax;
using mbtcp::Request;

constexpr int kClientSndBuf = 8192;  // a client that stops reading is found out soon

struct Client {
  bool used;
  int fd;
  uint32_t serial;  // tells a client from a later one in the same slot
  char peer[48];
  uint8_t in[kAduMax];
  size_t in_len;
  uint8_t out[kClientOut];
  size_t out_len;
};

struct Exposure {
  bool used;
  int gw;
  unsigned port;
  int lfd;
  int tcp_port;
  Client clients[kMaxClients];
  mbtcp::Port mb;  // link: the gateway connection (generation) a request went out on
};

Exposure g_ex[kMaxExposures];
int g_entry_ex[kMaxExposures * (kMaxClients + 1)];
int g_entry_client[kMaxExposures * (kMaxClients + 1)];
uint32_t g_timeout_ms = 1000;
uint32_t g_serial = 0;

void drop_client(Exposure &e, Client &c, const char *why) {
  close(c.fd);
  c.used = false;
  out_line("modbus gw%d port%u client %s closed: %s", e.gw, e.port, c.peer, why);
}

void flush_client(Exposure &e, Client &c) {
  while (c.out_len > 0) {
    ssize_t n = send(c.fd, c.out, c.out_len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) drop_client(e, c, strerror(errno));
      return;
    }
    memmove(c.out, c.out + n, c.out_len - static_cast<size_t>(n));
    c.out_len -= static_cast<size_t>(n);
  }
}

Client *client_of(Exposure &e, uint32_t serial) {
  for (Client &c : e.clients) {
    if (c.used && c.serial == serial) return &c;
  }
  return nullptr;
}

bool client_waiting(void *ctx, uint32_t serial) {
  return client_of(*static_cast<Exposure *>(ctx), serial) != nullptr;
}

// Hands an answer to the client that asked, if it is still there.
void answer(Exposure &e, const Request &r, const uint8_t *adu, size_t len) {
  Client *found = client_of(e, r.client);
  if (found == nullptr) return;
  Client &c = *found;
  if (kClientOut - c.out_len < len) {
    drop_client(e, c, "not reading its responses");
    return;
  }
  memcpy(c.out + c.out_len, adu, len);
  c.out_len += len;
  flush_client(e, c);
}

void answer_exception(Exposure &e, const Request &r, uint8_t code, const char *why) {
  uint8_t exc[mbtcp::kExceptionLen];
  size_t n = mbtcp::exception(r.adu, code, exc);
  out_line("modbus gw%d port%u exception 0x%02X tid=%u: %s", e.gw, e.port, code, be16(r.adu), why);
  answer(e, r, exc, n);
}

void enqueue(Exposure &e, int ci, const uint8_t *adu, size_t len) {
  Request r;
  r.client = e.clients[ci].serial;
  r.len = static_cast<uint16_t>(len);
  memcpy(r.adu, adu, len);
  if (gw_generation(e.gw) == 0) {
    answer_exception(e, r, mbtcp::kExcPathUnavailable, "gateway not connected");
  } else if (!mbtcp::enqueue(e.mb, r, kModbusQueue)) {
    answer_exception(e, r, mbtcp::kExcBusy, "queue full");
  }
}

// Takes every whole request out of the client's input; false when the
// client was dropped for a header no Modbus TCP client sends.
bool take_requests(Exposure &e, int ci) {
  Client &c = e.clients[ci];
  while (true) {
    size_t len = 0;
    const mbtcp::Frame f = mbtcp::frame_check(c.in, c.in_len, &len);
    if (f == mbtcp::Frame::kNeedMore) break;
    if (f == mbtcp::Frame::kBad) {
      drop_client(e, c, "bad MBAP header");
      return false;
    }
    enqueue(e, ci, c.in, len);
    if (!c.used) return false;
    memmove(c.in, c.in + len, c.in_len - len);
    c.in_len -= len;
  }
  return true;
}

void on_client_readable(Exposure &e, int ci) {
  Client &c = e.clients[ci];
  ssize_t n = recv(c.fd, c.in + c.in_len, sizeof c.in - c.in_len, 0);
  if (n == 0) {
    drop_client(e, c, "disconnected");
  } else if (n < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) drop_client(e, c, strerror(errno));
  } else {
    c.in_len += static_cast<size_t>(n);
    take_requests(e, ci);
  }
}

bool adopt_client(Exposure &e, int fd, const char *peer) {
  int ci = 0;
  while (ci < kMaxClients && e.clients[ci].used) ci++;
  if (ci == kMaxClients) {
    out_line("modbus gw%d port%u refused client %s: all %d slots taken", e.gw, e.port, peer, kMaxClients);
    close(fd);
    return false;
  }
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kClientSndBuf, sizeof kClientSndBuf);
  Client &c = e.clients[ci];
  memset(&c, 0, sizeof c);
  c.used = true;
  c.fd = fd;
  c.serial = ++g_serial;
  snprintf(c.peer, sizeof c.peer, "%s", peer);
  out_line("modbus gw%d port%u client %s connected", e.gw, e.port, peer);
  return true;
}

void accept_client(Exposure &e) {
  char peer[48];
  int fd = net_accept(e.lfd, peer, sizeof peer);
  if (fd >= 0) adopt_client(e, fd, peer);
}

// The next live request goes out to the gateway.
void forward(Exposure &e, uint32_t now) {
  while (gw_ready(e.gw)) {
    const Request *r = mbtcp::next(e.mb, client_waiting, &e);
    if (r == nullptr) return;
    if (gw_send(e.gw, e.port, r->adu, r->len) != 0) return;  // gateway queue full: later
    out_line("modbus gw%d port%u forward tid=%u unit=%u fc=%u len=%u", e.gw, e.port, be16(r->adu),
             r->adu[6], r->adu[7], static_cast<unsigned>(r->len));
    mbtcp::sent(e.mb, now, gw_generation(e.gw));
  }
}

void fail_pending(Exposure &e, uint32_t now) {
  if (e.mb.busy && gw_generation(e.gw) != e.mb.link) {
    e.mb.busy = false;
    answer_exception(e, e.mb.flight, mbtcp::kExcNoResponse, "gateway disconnected");
  } else if (mbtcp::expired(e.mb, now, g_timeout_ms + 1)) {  // more than the time-out
    answer_exception(e, e.mb.flight, mbtcp::kExcNoResponse, "no response in time");
  }
  Request r;
  while (gw_generation(e.gw) == 0 && mbtcp::take(e.mb, &r)) {
    answer_exception(e, r, mbtcp::kExcPathUnavailable, "gateway not connected");
  }
}

}  // namespace

void mb_setup(uint32_t timeout_ms) { g_timeout_ms = timeout_ms; }

int mb_expose(int gw, unsigned port, const char *addr, int tcp_port) {
  int i = 0;
  while (i < kMaxExposures && g_ex[i].used) i++;
  if (i == kMaxExposures) {
    out_line("error: at most %d Modbus exposures", kMaxExposures);
    return -1;
  }
  char err[128];
  int bound = 0;
  int fd = net_listen(addr, tcp_port, &bound, err, sizeof err);
  if (fd < 0) {
    out_line("error: modbus listener %s:%d: %s", addr, tcp_port, err);
    return -1;
  }
  Exposure &e = g_ex[i];
  e = Exposure();
  e.used = true;
  e.gw = gw;
  e.port = port;
  e.lfd = fd;
  e.tcp_port = bound;
  out_line("modbus gw%d port%u listening addr=%s port=%d", gw, port, addr, bound);
  return bound;
}

int mb_fill(pollfd *fds, int room) {
  int n = 0;
  for (int i = 0; i < kMaxExposures; i++) {
    Exposure &e = g_ex[i];
    if (!e.used || n >= room) continue;
    fds[n] = pollfd{e.lfd, POLLIN, 0};
    g_entry_ex[n] = i;
    g_entry_client[n++] = -1;
    for (int ci = 0; ci < kMaxClients && n < room; ci++) {
      Client &c = e.clients[ci];
      if (!c.used) continue;
      fds[n] = pollfd{c.fd, static_cast<short>(POLLIN | (c.out_len > 0 ? POLLOUT : 0)), 0};
      g_entry_ex[n] = i;
      g_entry_client[n++] = ci;
    }
  }
  return n;
}

void mb_serve(const pollfd *fds, int count) {
  for (int k = 0; k < count; k++) {
    Exposure &e = g_ex[g_entry_ex[k]];
    int ci = g_entry_client[k];
    if (ci < 0) {
      if (fds[k].revents & POLLIN) accept_client(e);
      continue;
    }
    Client &c = e.clients[ci];
    if (!c.used || c.fd != fds[k].fd) continue;
    if (fds[k].revents & POLLOUT) flush_client(e, c);
    if (c.used && (fds[k].revents & (POLLIN | POLLHUP | POLLERR))) on_client_readable(e, ci);
  }
}

void mb_tick(uint32_t now) {
  for (Exposure &e : g_ex) {
    if (!e.used) continue;
    fail_pending(e, now);
    forward(e, now);
  }
}

void mb_on_section(void *, int gw, unsigned port, const uint8_t *data, size_t len) {
  for (Exposure &e : g_ex) {
    if (!e.used || e.gw != gw || e.port != port) continue;
    if (!e.mb.busy) {
      out_line("modbus gw%d port%u stray section of %zu bytes: no request in flight", gw, port, len);
    } else if (!mbtcp::answered(e.mb, data, len)) {
      out_line("modbus gw%d port%u section of %zu bytes does not answer tid=%u", gw, port, len,
               be16(e.mb.flight.adu));
    } else {
      out_line("modbus gw%d port%u response tid=%u len=%zu", gw, port, be16(data), len);
      answer(e, e.mb.flight, data, len);
    }
  }
}

bool mb_adopt(int gw, unsigned port, int fd, const char *peer) {
  for (Exposure &e : g_ex) {
    if (e.used && e.gw == gw && e.port == port) return adopt_client(e, fd, peer);
  }
  close(fd);
  return false;
}

void mb_list() {
  for (const Exposure &e : g_ex) {
    if (!e.used) continue;
    int clients = 0;
    for (const Client &c : e.clients) clients += c.used ? 1 : 0;
    out_line("modbus gw%d port%u port=%d clients=%d queued=%zu %s", e.gw, e.port, e.tcp_port, clients,
             e.mb.queue.size(), e.mb.busy ? "busy" : "idle");
  }
}

void mb_close_all() {
  for (Exposure &e : g_ex) {
    if (!e.used) continue;
    for (Client &c : e.clients) {
      if (c.used) close(c.fd);
      c.used = false;
    }
    close(e.lfd);
    e.used = false;
  }
}

}  // namespace console
