// The server link: connect with a bounded, sliced wait; receive with a 5 ms
// wait; write within 5 s, also sliced, so the watchdog never starves.
#include "net.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include "daemon.h"
#include "qycomm.h"
#include "resolve.h"
#include "tlslink.h"
#include "waitset.h"

namespace {

// A link on which part of a packet went out: the server's stream is out of
// step, so nothing more is sent on it; its writes fail until the failure
// count closes it.
int g_tornFd = -1;

// Before the connect, what governs it: the receive buffer (the window it
// offers; its scale is fixed by the handshake).
void set_connect_options(int fd) {
  const int rcvbuf = NET_RCVBUF;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
}

// Once connected, what governs the link: the socket time-outs, every
// packet one write that leaves whole at once (Nagle would hold a packet
// back until the previous one is acknowledged: a round trip, or a peer's
// 40 ms delayed acknowledgement), the unsent bytes bounded, and a silent
// path found by TCP itself. Set only on a link that came up: a refused
// connect, every 1.1 s while the server is away, is a third of the system
// calls. (The time-outs govern blocking calls only; the link's calls all
// wait in poll, the connect's too, bounded by NET_TIMEOUT_MS.)
void set_link_options(int fd) {
  const int on = 1, lowat = NET_NOTSENT_LOWAT, idle = NET_KEEPIDLE_S, intvl = NET_KEEPINTVL_S,
            cnt = NET_KEEPCNT;
  const unsigned int user_timeout = NET_USER_TIMEOUT_MS;
  struct timeval tv = {NET_TIMEOUT_MS / 1000, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowat, sizeof lowat) != 0) {
    const int sndbuf = NET_SNDBUF_FALLBACK;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  }
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof intvl);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &cnt, sizeof cnt);
  setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout, sizeof user_timeout);
}

// SIGPIPE ignored for the process (a write to a broken link or output
// returns an error instead of ending the daemon), once: it stays so.
void ignore_sigpipe() {
  static bool done = false;
  if (!done) signal(SIGPIPE, SIG_IGN);
  done = true;
}

// The link's socket is non-blocking for its whole life: every read and
// write of it is MSG_DONTWAIT and waits in poll (a kernel older than
// 2.6.27 takes the flag by fcntl).
int open_socket() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  if (fd >= 0 || errno != EINVAL) return fd;
  fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

// Connect, then a wait for the outcome in watchdog slices. 0 when
// connected, else -1 with errno the reason (ETIMEDOUT after 5 s).
int connect_bounded(int fd, const struct sockaddr_in &addr) {
  int rc = connect(fd, reinterpret_cast<const struct sockaddr *>(&addr), sizeof addr);
  if (rc != 0 && errno == EINPROGRESS) {
    const int ready = net_wait(fd, POLLOUT, NET_TIMEOUT_MS);
    int err = ETIMEDOUT;
    socklen_t len = sizeof err;
    if (ready > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (ready < 0) err = errno;
    errno = err;
    rc = err == 0 ? 0 : -1;
  }
  return rc;
}

// Whether TCP itself has given the path up for now: data is out and its
// retransmission timer has expired NET_DEAD_BACKOFF times in a row without
// an acknowledgement (on a live path, even a lossy one, that is rare; a
// peer that only stops reading acknowledges what it got and is not this).
bool path_silent(int fd) {
  struct tcp_info ti = {};
  socklen_t len = sizeof ti;
  return getsockopt(fd, IPPROTO_TCP, TCP_INFO, &ti, &len) == 0 && ti.tcpi_unacked > 0 &&
         ti.tcpi_backoff >= NET_DEAD_BACKOFF;
}

// Waits for room for the rest of a packet, in slices; whether the write
// must end: a packet of which nothing went out waits NET_TIMEOUT_MS, one
// partly out NET_FINISH_MS (its rest must follow or the server's stream is
// out of step), and neither waits on once TCP has given the path up.
enum Room { kRoom, kTimedOut, kPathGone };

Room wait_for_room(int fd, uint32_t start, bool begun) {
  const int limit = begun ? NET_FINISH_MS : NET_TIMEOUT_MS;
  const int left = limit - static_cast<int>(GetTimeTicks() - start);
  if (path_silent(fd)) return kPathGone;
  if (left <= 0 || write_wait(fd, left < NET_SLICE_MS ? left : NET_SLICE_MS) < 0) return kTimedOut;
  return kRoom;
}

}  // namespace

extern "C" {

int net_connect(const char *serverIP, int serverPort) {
  const int fd = open_socket();
  if (fd < 0) {
    PrintMsg("->net_connect Error: open socket Error\r\n");
    return NET_ERR_SOCKET;
  }
  set_connect_options(fd);
  ignore_sigpipe();
  struct sockaddr_in addr = {};
  if (qy_resolve(serverIP, &addr.sin_addr) != 0) {
    PrintMsg("->net_connect Error: get host Error\r\n");
    close(fd);
    return NET_ERR_RESOLVE;
  }
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(serverPort));
  const int rc = connect_bounded(fd, addr);
  if (rc != 0) {
    PrintMsg("->net_connect Error: connecting Error, %d, %d\r\n", rc, errno);
    close(fd);
    return NET_ERR_CONNECT;
  }
  if (fd == g_tornFd) g_tornFd = -1;  // a new link under a reused number
  set_link_options(fd);
  PrintMsg("->net_connect OK\r\n");
  return fd;
}

void net_close(int sockfd) {
  tls_end(sockfd);
  waitset_forget(sockfd);
  if (sockfd == g_tornFd) g_tornFd = -1;
  if (sockfd >= 0) close(sockfd);
}

int net_readn(int sd, unsigned char *buffer, int len) {
  struct pollfd p = {sd, POLLIN, 0};
  int rc = -1;
  errno = EBADF;  // a closed link (negative descriptor) cannot be waited on
  if (sd >= 0) rc = poll(&p, 1, NET_RECV_WAIT_US / 1000);
  if (rc > 0 && (p.revents & POLLNVAL) != 0) {
    rc = -1;
    errno = EBADF;
  }
  if (rc < 0) {
    PrintMsg("socket error\r\n");
    perror("perror");
    return NET_WAIT_FAILED;
  }
  if (rc == 0) return NET_NOTHING;
  return net_read_ready(sd, buffer, len);
}

int net_read_ready(int sd, unsigned char *buffer, int len) {
  if (tls_link(sd)) return tls_read(buffer, len);
  const ssize_t n = recv(sd, buffer, static_cast<size_t>(len), MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return NET_NOTHING;
  if (n < 0) {
    PrintMsg("read error\r\n");
    perror("perror");
    return NET_READ_ERROR;
  }
  if (n == 0) return NET_PEER_CLOSED;
  PrintMsg("read success\r\n");
  return static_cast<int>(n);
}

int recv_NonBlocking(int socket_id, unsigned char *buffer, int buffer_len) {
  return net_readn(socket_id, buffer, buffer_len);
}

int net_write(int sockfd, const unsigned char *data, int len) {
  if (sockfd < 0) {
    errno = EBADF;
    return -1;
  }
  if (sockfd == g_tornFd) {
    errno = EPIPE;
    return -1;
  }
  if (tls_link(sockfd)) return tls_write(data, len);
  uint32_t start = 0;  // the clock is read only when the write has to wait
  bool waited = false;
  int done = 0;
  Room room = kRoom;
  while (done < len && room == kRoom) {
    const ssize_t n = send(sockfd, data + done, static_cast<size_t>(len - done),
                           MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<int>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
    if (!waited) start = GetTimeTicks();
    waited = true;
    room = wait_for_room(sockfd, start, done > 0);
  }
  if (done < len && (done > 0 || room == kPathGone)) {
    if (done > 0) PrintMsg("-- write incomplete (%d of %d bytes)\r\n", done, len);
    g_tornFd = sockfd;  // out of step, or a path TCP gave up: no more writes
    errno = EPIPE;
    return -1;
  }
  if (room == kTimedOut) errno = EAGAIN;
  return done > 0 ? done : -1;
}

}  // extern "C"
