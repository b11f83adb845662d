// The transport seam: plain sockets here, TLS in tls_link.cpp.
#include "gateways/link.h"

#include <errno.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include "gateways/session.h"
#include "gateways/tls.h"

namespace hub {

void gw_on_events(Hub &h, Session &s, uint32_t events) {
  if (s.tls) return tls_on_events(h, s, events);
  if (s.state != Session::State::kClosed && (events & EPOLLOUT)) gw_writable(h, s);
  if (s.state != Session::State::kClosed && (events & (EPOLLIN | EPOLLHUP | EPOLLERR))) gw_read(h, s);
}

void gw_read(Hub &h, Session &s) {
  if (s.tls) return tls_read(h, s);
  static uint8_t buf[kReadChunk];
  ssize_t n = recv(s.fd, buf, sizeof buf, 0);
  if (n > 0) return gw_on_wire(h, s, buf, static_cast<size_t>(n));
  if (n == 0) return gw_end(h, s, "peer closed");
  if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) gw_end(h, s, strerror(errno));
}

long gw_write(Session &s, const uint8_t *p, size_t n, const char **why) {
  if (s.tls) return tls_write(s, p, n, why);
  ssize_t sent = send(s.fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (sent >= 0) return sent;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return -1;
  *why = strerror(errno);
  return -2;
}

}  // namespace hub
