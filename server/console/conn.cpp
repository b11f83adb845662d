// A gateway's connection, plain or TLS.
#include "conn.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace console {

bool conn_open(Conn &c, int fd, uint32_t now) {
  c = Conn{fd, nullptr, true, now};
  if (!tls_enabled()) return true;
  c.tls = tls_new(fd);
  c.up = false;
  return c.tls != nullptr;
}

int conn_handshake(Conn &c, char *why, size_t cap, char *key_hex, size_t key_cap) {
  int rc = tls_step(c.tls, why, cap, key_hex, key_cap);
  if (rc == 1) c.up = true;
  return rc;
}

// Signed: a connection accepted during the pass is younger than the pass's
// own clock reading, not 49 days old.
bool conn_expired(const Conn &c, uint32_t now) {
  return !c.up && static_cast<int32_t>(now - c.opened) >= static_cast<int32_t>(kHandshakeMs);
}

ssize_t conn_read(Conn &c, uint8_t *buf, size_t cap, const char **why) {
  if (c.tls) return tls_read(c.tls, buf, cap, why);
  ssize_t n = recv(c.fd, buf, cap, 0);
  if (n >= 0) return n;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return -1;
  *why = strerror(errno);
  return -2;
}

ssize_t conn_write(Conn &c, const uint8_t *p, size_t n, const char **why) {
  if (c.tls) return tls_write(c.tls, p, n, why);
  ssize_t w = send(c.fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (w >= 0) return w;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return -1;
  *why = strerror(errno);
  return -2;
}

short conn_events(const Conn &c, bool out) {
  bool tls_out = c.tls && tls_wants_write(c.tls);
  return static_cast<short>(POLLIN | (out || tls_out ? POLLOUT : 0));
}

bool conn_pending(const Conn &c) { return c.tls && c.up && tls_pending(c.tls); }

void conn_close(Conn &c) {
  tls_free(c.tls);
  c.tls = nullptr;
  close(c.fd);
  c.fd = -1;
}

}  // namespace console
