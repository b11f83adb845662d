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

constexpr size_t kMbapLen = 6;       // transaction, protocol, length
constexpr size_t kMinAdu = kMbapLen + 2;  // and unit id, function code
constexpr unsigned kMaxMbapLength = kAduMax - kMbapLen;
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

struct Request {
  int client;
  uint32_t serial;
  size_t len;
  uint8_t adu[kAduMax];
};

struct Exposure {
  bool used;
  int gw;
  unsigned port;
  int lfd;
  int tcp_port;
  Client clients[kMaxClients];
  Request q[kModbusQueue];
  size_t q_head, q_count;
  bool busy;
  Request flight;
  uint32_t sent_at;
  uint32_t gw_gen;  // connection the request went out on
};

Exposure g_ex[kMaxExposures];
int g_entry_ex[kMaxExposures * (kMaxClients + 1)];
int g_entry_client[kMaxExposures * (kMaxClients + 1)];
uint32_t g_timeout_ms = 1000;
uint32_t g_serial = 0;

unsigned be16(const uint8_t *p) { return static_cast<unsigned>((p[0] << 8) | p[1]); }

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

// Hands an answer to the client that asked, if it is still there.
void answer(Exposure &e, const Request &r, const uint8_t *adu, size_t len) {
  Client &c = e.clients[r.client];
  if (!c.used || c.serial != r.serial) return;
  if (kClientOut - c.out_len < len) {
    drop_client(e, c, "not reading its responses");
    return;
  }
  memcpy(c.out + c.out_len, adu, len);
  c.out_len += len;
  flush_client(e, c);
}

void answer_exception(Exposure &e, const Request &r, uint8_t code, const char *why) {
  uint8_t exc[9];
  size_t n = wire_mb_exception(r.adu, code, exc);
  out_line("modbus gw%d port%u exception 0x%02X tid=%u: %s", e.gw, e.port, code, be16(r.adu), why);
  answer(e, r, exc, n);
}

void enqueue(Exposure &e, int ci, const uint8_t *adu, size_t len) {
  Request r{ci, e.clients[ci].serial, len, {}};
  memcpy(r.adu, adu, len);
  if (gw_generation(e.gw) == 0) {
    answer_exception(e, r, kExcPathUnavailable, "gateway not connected");
  } else if (e.q_count == kModbusQueue) {
    answer_exception(e, r, kExcBusy, "queue full");
  } else {
    e.q[(e.q_head + e.q_count) % kModbusQueue] = r;
    e.q_count++;
  }
}

// Takes every whole request out of the client's input; false when the
// client was dropped for a header no Modbus TCP client sends.
bool take_requests(Exposure &e, int ci) {
  Client &c = e.clients[ci];
  while (c.in_len >= kMbapLen) {
    unsigned protocol = be16(c.in + 2);
    unsigned length = be16(c.in + 4);
    if (protocol != 0 || length < 2 || length > kMaxMbapLength) {
      drop_client(e, c, "bad MBAP header");
      return false;
    }
    size_t len = kMbapLen + length;
    if (c.in_len < len) break;
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

bool client_waiting(const Exposure &e, const Request &r) {
  const Client &c = e.clients[r.client];
  return c.used && c.serial == r.serial;
}

// The next live request goes out to the gateway.
void forward(Exposure &e, uint32_t now) {
  while (!e.busy && e.q_count > 0 && gw_ready(e.gw)) {
    Request &r = e.q[e.q_head];
    if (client_waiting(e, r)) {
      if (gw_send(e.gw, e.port, r.adu, r.len) != 0) return;  // gateway queue full: later
      e.flight = r;
      e.busy = true;
      e.sent_at = now;
      e.gw_gen = gw_generation(e.gw);
      out_line("modbus gw%d port%u forward tid=%u unit=%u fc=%u len=%zu", e.gw, e.port, be16(r.adu),
               r.adu[6], r.adu[7], r.len);
    }
    e.q_head = (e.q_head + 1) % kModbusQueue;
    e.q_count--;
  }
}

void fail_pending(Exposure &e, uint32_t now) {
  if (e.busy && gw_generation(e.gw) != e.gw_gen) {
    e.busy = false;
    answer_exception(e, e.flight, kExcNoResponse, "gateway disconnected");
  } else if (e.busy && now - e.sent_at > g_timeout_ms) {
    e.busy = false;
    answer_exception(e, e.flight, kExcNoResponse, "no response in time");
  }
  while (e.q_count > 0 && gw_generation(e.gw) == 0) {
    answer_exception(e, e.q[e.q_head], kExcPathUnavailable, "gateway not connected");
    e.q_head = (e.q_head + 1) % kModbusQueue;
    e.q_count--;
  }
}

// A section is the answer when it is a whole Modbus TCP response to the
// request in flight: same transaction and protocol, MBAP length matching.
bool is_answer(const Exposure &e, const uint8_t *d, size_t n) {
  return n >= kMinAdu && n <= kAduMax && memcmp(d, e.flight.adu, 4) == 0 && be16(d + 4) == n - kMbapLen;
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
  memset(&e, 0, sizeof e);
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
    if (!e.busy) {
      out_line("modbus gw%d port%u stray section of %zu bytes: no request in flight", gw, port, len);
    } else if (!is_answer(e, data, len)) {
      out_line("modbus gw%d port%u section of %zu bytes does not answer tid=%u", gw, port, len,
               be16(e.flight.adu));
    } else {
      e.busy = false;
      out_line("modbus gw%d port%u response tid=%u len=%zu", gw, port, be16(data), len);
      answer(e, e.flight, data, len);
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
             e.q_count, e.busy ? "busy" : "idle");
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
