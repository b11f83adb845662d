// Writing a gateway's queued packets: each packet whole in one write, the
// gap between packets, nothing before the init packet. A packet the socket
// takes only in part is finished when it has room again (the gateway will
// most likely drop a torn packet, which is counted).
#include <errno.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>

#include "gateways/session.h"
#include "core/hub.h"
#include "core/loop.h"

namespace hub {
namespace {

void pop(Hub &h, Session &s) {
  OutPacket *p = s.q_head;
  s.q_head = p->next;
  if (!s.q_head) s.q_tail = nullptr;
  s.q_count--;
  h.m.packets_out++;
  h.m.bytes_out += p->len;
  if (s.gw) {
    s.gw->c.packets_out++;
    s.gw->c.bytes_out += p->len;
  }
  ::operator delete(p);
}

bool turn_has_come(const Hub &h, const Session &s) {
  return s.head_sent > 0 || h.cfg.gap_ms == 0 || h.now - s.last_send >= h.cfg.gap_ms;
}

// Writes while the turn lasts, then watches for room if it must.
void try_send(Hub &h, Session &s) {
  while (s.q_count > 0 && s.state == Session::State::kReady && s.fd >= 0 && turn_has_come(h, s)) {
    OutPacket *p = s.q_head;
    ssize_t n = send(s.fd, p->bytes + s.head_sent, p->len - s.head_sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
      gw_end(h, s, strerror(errno));
      return;
    }
    if (s.head_sent == 0 && static_cast<size_t>(n) < p->len) h.m.torn_writes++;
    s.head_sent = static_cast<uint16_t>(s.head_sent + n);
    if (s.head_sent < p->len) break;
    s.head_sent = 0;
    s.last_send = h.now;
    pop(h, s);
    if (s.gw) gw_announce(&GatewayHooks::drained, h, *s.gw);
  }
  bool half = s.head_sent > 0 || (s.q_count > 0 && s.fd >= 0 && turn_has_come(h, s));
  if (s.state != Session::State::kClosed && half != s.want_out) {
    s.want_out = half;
    loop_watch(h, s, half ? EPOLLIN | EPOLLOUT : static_cast<uint32_t>(EPOLLIN));
  }
}

}  // namespace

void gw_pump(Hub &h) {
  size_t keep = 0;
  for (size_t i = 0; i < h.send_wait.size(); i++) {
    Session *s = h.send_wait[i];
    if (s->state != Session::State::kClosed) try_send(h, *s);
    if (s->state != Session::State::kClosed && s->q_count > 0) {
      h.send_wait[keep++] = s;
    } else {
      s->in_send_wait = false;
    }
  }
  h.send_wait.resize(keep);
}

void gw_writable(Hub &h, Session &s) { try_send(h, s); }

int gw_next_due(const Hub &h) {
  int best = -1;
  for (const Session *s : h.send_wait) {
    if (s->state == Session::State::kClosed || s->q_count == 0 || s->want_out) continue;
    uint32_t since = h.now - s->last_send;
    int left = since >= h.cfg.gap_ms ? 0 : static_cast<int>(h.cfg.gap_ms - since);
    if (best < 0 || left < best) best = left;
  }
  return best;
}

}  // namespace hub
