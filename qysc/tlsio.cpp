// Records over the link's socket: the library's I/O mapped onto the
// daemon's non-blocking socket calls, and the daemon's reads and writes
// mapped onto records. One server read gives what one record holds (the
// stream framer of the receive side puts packets together as before); one
// packet is one record.
#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include <mbedtls/net_sockets.h>

#include "daemon.h"
#include "net.h"
#include "qycomm.h"
#include "tlsarena.h"
#include "tlsconn.h"

namespace {

TlsConn &C = tlsConn;

// Room in the socket within ms, the lines held and the watchdog serviced meanwhile.
bool room_within(uint32_t start, int ms) {
  for (;;) {
    struct pollfd p = {C.fd, POLLOUT, 0};
    if (poll(&p, 1, 0) == 1) return true;
    const int left = ms - static_cast<int>(GetTimeTicks() - start);
    if (left <= 0 || write_wait(C.fd, left < NET_SLICE_MS ? left : NET_SLICE_MS) < 0) return false;
  }
}

int torn(int done, int len) {
  PrintMsg("-- write incomplete (%d of %d bytes)\r\n", done, len);
  C.torn = true;  // a record half out: the hub's stream is out of step
  errno = EPIPE;
  return -1;
}

}  // namespace

int tls_bio_send(void *ctx, const unsigned char *buf, size_t len) {
  const ssize_t n = send(*static_cast<int *>(ctx), buf, len, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n > 0 && !C.done) tlsStats.lastOut += static_cast<uint32_t>(n);
  if (n > 0) C.sent = true;
  if (n >= 0) return static_cast<int>(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return MBEDTLS_ERR_SSL_WANT_WRITE;
  return errno == EPIPE || errno == ECONNRESET ? MBEDTLS_ERR_NET_CONN_RESET : MBEDTLS_ERR_NET_SEND_FAILED;
}

int tls_bio_recv(void *ctx, unsigned char *buf, size_t len) {
  const ssize_t n = recv(*static_cast<int *>(ctx), buf, len, MSG_DONTWAIT);
  if (n > 0 && !C.done) {
    tlsStats.lastIn += static_cast<uint32_t>(n);
    if (C.sent) tlsStats.lastRoundTrips++;
  }
  if (n > 0) C.sent = false;
  if (n >= 0) return static_cast<int>(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return MBEDTLS_ERR_SSL_WANT_READ;
  return errno == ECONNRESET ? MBEDTLS_ERR_NET_CONN_RESET : MBEDTLS_ERR_NET_RECV_FAILED;
}

bool tls_link(int fd) { return fd >= 0 && C.open && C.fd == fd; }

bool tls_pending(int fd) {
  return tls_link(fd) && C.done && mbedtls_ssl_get_bytes_avail(&C.ssl) > 0;
}

int tls_read(unsigned char *buffer, int len) {
  ArenaScope arena;
  const int n = mbedtls_ssl_read(&C.ssl, buffer, static_cast<size_t>(len));
  if (n > 0) {
    PrintMsg("read success\r\n");
    return n;
  }
  if (n == MBEDTLS_ERR_SSL_WANT_READ || n == MBEDTLS_ERR_SSL_WANT_WRITE) return NET_NOTHING;
  if (n == 0 || n == MBEDTLS_ERR_SSL_PEER_CLOSE_NOTIFY || n == MBEDTLS_ERR_SSL_CONN_EOF) {
    return NET_PEER_CLOSED;
  }
  PrintMsg("read error\r\n");
  PrintMsg("-- tls: record not readable (-0x%04X)\r\n", static_cast<unsigned>(-n));
  return NET_READ_ERROR;
}

// Nothing is sealed into a record before the socket has room, so a write
// that finds none within 5 s fails as the plain link's does, with nothing
// taken. A record once sealed must go out whole (its sequence number is
// spent): the same bytes are offered again after every WANT_WRITE, for up
// to NET_FINISH_MS.
int tls_write(const unsigned char *data, int len) {
  if (C.torn) {
    errno = EPIPE;
    return -1;
  }
  ArenaScope arena;
  const uint32_t start = GetTimeTicks();
  if (!room_within(start, NET_TIMEOUT_MS)) {
    errno = EAGAIN;
    return -1;
  }
  int done = 0;
  while (done < len) {
    const int rc = mbedtls_ssl_write(&C.ssl, data + done, static_cast<size_t>(len - done));
    if (rc > 0) {
      done += rc;
      continue;
    }
    if (rc != MBEDTLS_ERR_SSL_WANT_WRITE && rc != MBEDTLS_ERR_SSL_WANT_READ) return torn(done, len);
    if (!room_within(start, NET_FINISH_MS)) return torn(done, len);
  }
  return len;
}
