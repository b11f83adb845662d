// Listening and accepting.
#include "core/net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/addr.h"

namespace hub {

namespace {
// After a restart every gateway dials at once: the kernel holds as many
// as net.core.somaxconn lets it (it caps this), rather than dropping SYNs
// that are then sent again only after a second or more.
constexpr int kBacklog = 65535;
}

int net_listen(const std::string &host, int port, int *bound, std::string *why) {
  sockaddr_in sa{};
  uint32_t addr = 0;
  if (!parse_ipv4(host, &addr)) return *why = "not an IPv4 address: " + host, -1;
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(addr);
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return *why = std::string("socket: ") + strerror(errno), -1;
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  socklen_t len = sizeof sa;
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, kBacklog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
    *why = host + ":" + std::to_string(port) + ": " + strerror(errno);
    close(fd);
    return -1;
  }
  *bound = ntohs(sa.sin_port);
  return fd;
}

int net_accept(int lfd, uint32_t *addr, uint16_t *port) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  int fd = accept4(lfd, reinterpret_cast<sockaddr *>(&sa), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return -1;
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  *addr = ntohl(sa.sin_addr.s_addr);
  *port = ntohs(sa.sin_port);
  return fd;
}

}  // namespace hub
