// Listening and accepting, all sockets non-blocking.
#include "net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace console {
namespace {

constexpr int kBacklog = 16;

bool set_nonblocking(int fd) {
  int fl = fcntl(fd, F_GETFL);
  return fl >= 0 && fcntl(fd, F_SETFL, fl | O_NONBLOCK) == 0;
}

int fail(int fd, const char *what, char *err, size_t cap) {
  snprintf(err, cap, "%s: %s", what, strerror(errno));
  if (fd >= 0) close(fd);
  return -1;
}

}  // namespace

int net_listen(const char *addr, int port, int *bound_port, char *err, size_t cap) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, addr, &sa.sin_addr) != 1) {
    snprintf(err, cap, "not an IPv4 address: %s", addr);
    return -1;
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(-1, "socket", err, cap);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) return fail(fd, "bind", err, cap);
  if (listen(fd, kBacklog) != 0) return fail(fd, "listen", err, cap);
  if (!set_nonblocking(fd)) return fail(fd, "fcntl", err, cap);
  socklen_t len = sizeof sa;
  if (getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) return fail(fd, "getsockname", err, cap);
  *bound_port = ntohs(sa.sin_port);
  return fd;
}

int net_accept(int lfd, char *peer, size_t cap) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  int fd = accept(lfd, reinterpret_cast<sockaddr *>(&sa), &len);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (!set_nonblocking(fd) || fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
    close(fd);
    return -1;
  }
  char ip[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &sa.sin_addr, ip, sizeof ip);
  snprintf(peer, cap, "%s:%u", ip, ntohs(sa.sin_port));
  return fd;
}

}  // namespace console
