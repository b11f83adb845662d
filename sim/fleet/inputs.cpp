// Command lines from standard input and the control socket.
#include "inputs.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fleet {
namespace {

void watch(Fleet &f, int fd, uint32_t tag) {
  epoll_event ev = {};
  ev.events = EPOLLIN;
  ev.data.u32 = tag;
  epoll_ctl(f.ep, EPOLL_CTL_ADD, fd, &ev);
}

int open_listener(int port, int *bound) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
    close(fd);
    return -1;
  }
  *bound = ntohs(a.sin_port);
  return fd;
}

void close_line(LineIn &l) {
  if (l.fd > 0) close(l.fd);  // standard input (0) stays open
  l.fd = -1;
  l.len = 0;
}

// Reads what is there and runs every whole line; false at the end.
bool read_lines(Fleet &f, LineIn &l, uint32_t now) {
  const ssize_t n = read(l.fd, l.buf + l.len, sizeof l.buf - 1 - l.len);
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  if (n <= 0) return false;
  l.len += static_cast<size_t>(n);
  l.buf[l.len] = '\0';
  char *start = l.buf;
  for (char *nl = strchr(start, '\n'); nl != nullptr; nl = strchr(start, '\n')) {
    *nl = '\0';
    control_command(f, start, l.out_fd, now);
    start = nl + 1;
  }
  l.len = static_cast<size_t>(l.buf + l.len - start);
  memmove(l.buf, start, l.len);
  if (l.len == sizeof l.buf - 1) {  // a line that never ends is dropped
    say(l.out_fd, "error: command line too long");
    l.len = 0;
  }
  return true;
}

void accept_client(Fleet &f, Inputs &io) {
  const int fd = accept4(io.listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (fd < 0) return;
  for (int s = 0; s < kClients; s++) {
    if (io.clients[s].fd < 0) {
      io.clients[s] = {fd, fd, 0, {}};
      watch(f, fd, kTagClient + static_cast<uint32_t>(s));
      return;
    }
  }
  say(fd, "error: %d control clients already", kClients);
  close(fd);
}

}  // namespace

bool inputs_open(Fleet &f, Inputs &io) {
  io.in = {0, 1, 0, {}};
  epoll_event ev = {};
  ev.events = EPOLLIN;
  ev.data.u32 = kTagStdin;
  if (epoll_ctl(f.ep, EPOLL_CTL_ADD, 0, &ev) != 0) io.in.fd = -1;  // a file or /dev/null
  for (LineIn &c : io.clients) c.fd = -1;
  io.listen_fd = -1;
  io.port = 0;
  if (f.opt.control_port < 0) return true;
  io.listen_fd = open_listener(f.opt.control_port, &io.port);
  if (io.listen_fd < 0) return false;
  watch(f, io.listen_fd, kTagListen);
  return true;
}

void inputs_event(Fleet &f, Inputs &io, uint32_t tag, uint32_t now) {
  if (tag == kTagListen) return accept_client(f, io);
  LineIn &l = tag == kTagStdin ? io.in : io.clients[tag - kTagClient];
  if (l.fd < 0) return;
  if (!read_lines(f, l, now)) {
    if (tag == kTagStdin) epoll_ctl(f.ep, EPOLL_CTL_DEL, 0, nullptr);
    close_line(l);
  }
}

void inputs_close(Inputs &io) {
  for (LineIn &c : io.clients) close_line(c);
  if (io.listen_fd >= 0) close(io.listen_fd);
}

}  // namespace fleet
