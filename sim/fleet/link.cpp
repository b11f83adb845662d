// One gateway's connection: connect (paced over the fleet), on the secure
// link its TLS handshake, the reads cut into packets by their length, the
// send queue, and the close that puts the gateway back to waiting.
#include <errno.h>
#include <math.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "fleet.h"

namespace fleet {
namespace {

constexpr int kRcvBuf = 10000;  // the daemon's socket buffers
constexpr int kSndBuf = 100;
constexpr size_t kReadChunk = 65536;
constexpr int kTlsRecordsPerEvent = 16;  // the rest waits in the socket: its event comes again

uint8_t g_scratch[kReadChunk];

// Books the next free connect slot; false when the gateway must wait for it.
bool take_slot(Fleet &f, Gateway &g, uint32_t i, uint32_t now) {
  if (g.granted) {
    g.granted = false;
    return true;
  }
  const double t = static_cast<double>(now - f.start);
  const double slot = f.slot_ms > t ? f.slot_ms : t;
  f.slot_ms = slot + 1000.0 / f.opt.connect_rate;
  if (slot < t + 1) return true;
  g.granted = true;
  wheel_set(f.wheel, i, f.start + static_cast<uint32_t>(ceil(slot)));
  return false;
}

int open_socket(const Fleet &f, uint32_t i) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kRcvBuf, sizeof kRcvBuf);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSndBuf, sizeof kSndBuf);
  if (f.opt.answer_times) setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
  if (f.opt.source_base != 0) {
    setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
    sockaddr_in src = {};
    src.sin_family = AF_INET;
    src.sin_addr.s_addr = htonl(f.opt.source_base + i);
    if (bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src) != 0) {
      close(fd);
      return -1;
    }
  }
  return fd;
}

// The link is there: the init packet goes out when the timer fires.
void on_link_up(Fleet &f, uint32_t i, uint32_t now) {
  Gateway &g = f.gw[i];
  g.state = GwState::kStarting;
  g.since = now;
  ack_link_up(f, i);
  g.connects++;
  f.st.connects++;
  f.st.connected++;
  link_update_events(f, i);
  link_reschedule(f, i, now);
}

void connect_failed(Fleet &f, uint32_t i, uint32_t now) {
  f.st.connect_fail++;
  link_close(f, i, now, kRetryMs);
}

void handshake_step(Fleet &f, uint32_t i, uint32_t now) {
  Gateway &g = f.gw[i];
  const int r = tls_handshake(f, i);
  if (r == 0) return on_link_up(f, i, now);
  if (r != static_cast<int>(TlsIo::kAgainRead) && r != static_cast<int>(TlsIo::kAgainWrite)) {
    return connect_failed(f, i, now);
  }
  g.tls_writing = r == static_cast<int>(TlsIo::kAgainWrite);
  link_update_events(f, i);
}

// TCP is connected: the link is up, or on the secure link its handshake begins.
void on_connected(Fleet &f, uint32_t i, uint32_t now) {
  if (f.tls == nullptr) return on_link_up(f, i, now);
  if (!tls_begin(f, i)) return connect_failed(f, i, now);
  f.gw[i].state = GwState::kHandshake;
  link_reschedule(f, i, now);  // the connect's time-out covers the handshake
  handshake_step(f, i, now);
}

// Kernel receive time of the bytes just read (us, wall clock), or -1.
int64_t read_stamp(msghdr &m) {
  for (cmsghdr *c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
      timespec ts;
      memcpy(&ts, CMSG_DATA(c), sizeof ts);
      return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
    }
  }
  return -1;
}

ssize_t read_some(int fd, uint8_t *buf, size_t cap, int64_t *stamp) {
  iovec iov = {buf, cap};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  msghdr m = {};
  m.msg_iov = &iov;
  m.msg_iovlen = 1;
  m.msg_control = control;
  m.msg_controllen = sizeof control;
  const ssize_t n = recvmsg(fd, &m, MSG_DONTWAIT);
  *stamp = n > 0 ? read_stamp(m) : -1;
  return n;
}

// What the framer's callbacks are given: the gateway and its read.
struct Feed {
  Fleet &f;
  uint32_t i, now;
  int64_t stamp;
};

int on_packet(void *ctx, uint8_t *pkt, size_t len) {
  Feed &r = *static_cast<Feed *>(ctx);
  traffic_received(r.f, r.i, pkt, len, r.now, r.stamp);
  return r.f.gw[r.i].fd >= 0;
}

void on_bad_header(void *ctx, const LinkBad *) {
  Feed &r = *static_cast<Feed *>(ctx);
  r.f.st.malformed++;
  r.f.gw[r.i].malformed++;
}

uint8_t *packet_room(void *ctx) {
  Feed &r = *static_cast<Feed *>(ctx);
  return r.f.gw[r.i].rx;
}

// A header that cannot be framed drops everything buffered, as the daemon
// would never see those bytes as a packet; an unfinished packet waits as
// long as the connection lives.
constexpr LinkFraming kFraming = {
    0, LINK_BAD_DROPS_ALL, PACKET_BUF_SIZE, 1, on_packet, on_bad_header, packet_room,
};

// n bytes in g_scratch, as they came off the wire, into packets.
void take(Fleet &f, uint32_t i, ssize_t n, uint32_t now, int64_t stamp) {
  Gateway &g = f.gw[i];
  f.st.rx_bytes += static_cast<uint64_t>(n);
  DecodePacket(g_scratch, static_cast<int>(n));
  Feed feed = {f, i, now, stamp};
  link_framer_feed(&kFraming, &g.in, g_scratch, static_cast<size_t>(n), now, &feed);
}

void peer_closed(Fleet &f, uint32_t i, uint32_t now) {
  f.st.closed_by_peer++;
  link_close(f, i, now, 0);  // the daemon connects again at once
}

void on_readable(Fleet &f, uint32_t i, uint32_t now) {
  Gateway &g = f.gw[i];
  int64_t stamp = -1;
  const ssize_t n = read_some(g.fd, g_scratch, kReadChunk, &stamp);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) return peer_closed(f, i, now);
  take(f, i, n, now, stamp);
}

// Records, one at a time as OpenSSL reads them (nothing is left inside it
// between reads); the reception time is the read's, not the kernel's.
void on_readable_tls(Fleet &f, uint32_t i, uint32_t now) {
  for (int k = 0; k < kTlsRecordsPerEvent && f.gw[i].fd >= 0; k++) {
    const ssize_t n = tls_recv(f, i, g_scratch, kReadChunk);
    if (n == static_cast<ssize_t>(TlsIo::kAgainRead) || n == static_cast<ssize_t>(TlsIo::kAgainWrite)) return;
    if (n <= 0) return peer_closed(f, i, now);
    take(f, i, n, now, f.opt.answer_times ? wall_us() : -1);
  }
}

// Bytes to the socket, through TLS on the secure link: how many it took (0:
// none now), -1 when the link failed.
ssize_t put(Fleet &f, uint32_t i, const uint8_t *p, size_t len) {
  Gateway &g = f.gw[i];
  if (g.ssl != nullptr) {
    const ssize_t n = tls_send(f, i, p, len);
    const bool again = n == static_cast<ssize_t>(TlsIo::kAgainRead) || n == static_cast<ssize_t>(TlsIo::kAgainWrite);
    return n > 0 ? n : again ? 0 : -1;
  }
  const ssize_t n = write(g.fd, p, len);
  return n >= 0 ? n : (errno == EAGAIN || errno == EINTR) ? 0 : -1;
}

void on_writable(Fleet &f, uint32_t i, uint32_t now) {
  Gateway &g = f.gw[i];
  const ssize_t n = put(f, i, g.tx + g.tx_off, g.tx_len - g.tx_off);
  if (n == 0) return;
  if (n < 0) {
    f.st.closed_by_peer++;
    link_close(f, i, now, 0);
    return;
  }
  g.tx_off = static_cast<uint16_t>(g.tx_off + n);
  g.tx_since = now;
  if (g.tx_off == g.tx_len) {
    g.tx_off = g.tx_len = 0;
    ack_pump(f, i, now);
    link_update_events(f, i);
    link_reschedule(f, i, now);
  }
}

}  // namespace

void link_update_events(Fleet &f, uint32_t i) {
  Gateway &g = f.gw[i];
  if (g.fd < 0) return;
  uint32_t want = 0;
  if (g.state == GwState::kConnecting) want = EPOLLOUT;
  if (g.state == GwState::kHandshake) want = g.tls_writing ? EPOLLOUT : EPOLLIN;
  if (g.state == GwState::kUp) {
    if (!g.stalled) want |= EPOLLIN;
    if (g.tx_len > 0) want |= EPOLLOUT;
  }
  if (want == g.events) return;
  epoll_event ev = {};
  ev.events = want;
  ev.data.u32 = i;
  epoll_ctl(f.ep, EPOLL_CTL_MOD, g.fd, &ev);
  g.events = want;
}

void link_connect(Fleet &f, uint32_t i, uint32_t now) {
  Gateway &g = f.gw[i];
  if (!take_slot(f, g, i, now)) return;
  g.fd = open_socket(f, i);
  if (g.fd < 0) return connect_failed(f, i, now);
  epoll_event ev = {};
  ev.events = g.events = EPOLLOUT;
  ev.data.u32 = i;
  epoll_ctl(f.ep, EPOLL_CTL_ADD, g.fd, &ev);
  const sockaddr_in &to = f.opt.servers[g.server];
  g.since = now;
  if (connect(g.fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0) {
    return on_connected(f, i, now);
  }
  if (errno != EINPROGRESS) return connect_failed(f, i, now);
  g.state = GwState::kConnecting;
  link_reschedule(f, i, now);
}

void link_event(Fleet &f, uint32_t i, uint32_t events, uint32_t now) {
  Gateway &g = f.gw[i];
  if (g.fd < 0) return;
  if (g.state == GwState::kConnecting) {
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(g.fd, SOL_SOCKET, SO_ERROR, &err, &len);
    return err == 0 ? on_connected(f, i, now) : connect_failed(f, i, now);
  }
  if (g.state == GwState::kHandshake) return handshake_step(f, i, now);
  if ((events & EPOLLIN) != 0) (g.ssl != nullptr ? on_readable_tls : on_readable)(f, i, now);
  if (g.fd >= 0 && (events & EPOLLOUT) != 0 && g.tx_len > 0) on_writable(f, i, now);
  if (g.fd >= 0 && (events & (EPOLLERR | EPOLLHUP)) != 0 && (events & EPOLLIN) == 0) {
    f.st.closed_by_peer++;
    link_close(f, i, now, 0);
  }
}

bool link_send(Fleet &f, uint32_t i, uint8_t *plain, size_t len, unsigned packets, uint32_t now) {
  Gateway &g = f.gw[i];
  EncodePacket(plain, static_cast<int>(len));
  size_t sent = 0;
  if (g.tx_len == 0) {
    const ssize_t n = put(f, i, plain, len);
    if (n < 0) {
      f.st.closed_by_peer++;
      link_close(f, i, now, 0);
      return false;
    }
    sent = static_cast<size_t>(n);
    g.tx_since = now;
  } else if (kTxCap - (g.tx_len - g.tx_off) < len) {
    f.st.tx_dropped++;
    return false;
  }
  if (sent < len) {
    memmove(g.tx, g.tx + g.tx_off, g.tx_len - g.tx_off);
    g.tx_len = static_cast<uint16_t>(g.tx_len - g.tx_off);
    g.tx_off = 0;
    memcpy(g.tx + g.tx_len, plain + sent, len - sent);
    g.tx_len = static_cast<uint16_t>(g.tx_len + len - sent);
    link_update_events(f, i);
    link_reschedule(f, i, now);  // the write time-out runs
  }
  f.st.tx_packets += packets;
  f.st.tx_bytes += len;
  return true;
}

void link_close(Fleet &f, uint32_t i, uint32_t now, uint32_t reconnect_ms) {
  Gateway &g = f.gw[i];
  tls_end(f, i);
  if (g.fd >= 0) close(g.fd);
  if (g.state == GwState::kStarting || g.state == GwState::kUp) f.st.connected--;
  if (g.state == GwState::kUp) f.st.up--;
  f.st.tx_unsent_bytes += g.tx_len - g.tx_off;
  g.fd = -1;
  g.events = 0;
  g.in.have = g.tx_len = g.tx_off = 0;
  g.granted = false;  // faults and stalls go on after the reconnect, until they end
  g.ack_link = g.ack_hello = false;  // the kept stream waits for the next link
  if (reconnect_ms == kStayDown) {
    g.state = GwState::kDown;
    wheel_cancel(f.wheel, i);
    return;
  }
  g.state = GwState::kWaiting;
  wheel_set(f.wheel, i, now + reconnect_ms);
}

void link_reschedule(Fleet &f, uint32_t i, uint32_t now) {
  const Gateway &g = f.gw[i];
  switch (g.state) {
    case GwState::kConnecting:
    case GwState::kHandshake: wheel_set(f.wheel, i, g.since + kConnectTimeoutMs); break;
    case GwState::kStarting: wheel_set(f.wheel, i, g.since + f.opt.init_delay_ms); break;
    case GwState::kUp: wheel_set(f.wheel, i, traffic_next(f, g, now)); break;
    default: break;
  }
}

}  // namespace fleet
