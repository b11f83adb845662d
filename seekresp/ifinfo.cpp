// Addresses of the LAN interface, in the text forms of the reply.
#include <net/if.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "seekresp.h"

namespace {

struct IfQuery {
  unsigned long request;
  int failure;                 // result when the query fails
  bool hardware;               // hardware address, else an IPv4 address
  char *(*target)(char *ip, char *hw, char *mask);
};

char *ip_field(char *ip, char *, char *) { return ip; }
char *hw_field(char *, char *hw, char *) { return hw; }
char *mask_field(char *, char *, char *mask) { return mask; }

// In the order they are asked: a failure leaves the later ones empty.
const IfQuery kQueries[] = {
    {SIOCGIFHWADDR, -1, true, hw_field},
    {SIOCGIFADDR, -2, false, ip_field},
    {SIOCGIFNETMASK, -3, false, mask_field},
};

void format_answer(const IfQuery &q, const struct ifreq &req, char *out) {
  if (q.hardware) {
    format_mac(reinterpret_cast<const unsigned char *>(req.ifr_hwaddr.sa_data), out, kValueSize);
    return;
  }
  // ifr_addr and ifr_netmask share the same place in the request.
  struct sockaddr_in sin;
  memcpy(&sin, &req.ifr_addr, sizeof sin);
  format_ipv4(reinterpret_cast<const unsigned char *>(&sin.sin_addr.s_addr), out, kValueSize);
}

}  // namespace

void format_ipv4(const unsigned char bytes[4], char *out, size_t size) {
  snprintf(out, size, "%u:%u:%u:%u", bytes[0], bytes[1], bytes[2], bytes[3]);
}

void format_mac(const unsigned char bytes[6], char *out, size_t size) {
  snprintf(out, size, "%.2X:%.2X:%.2X:%.2X:%.2X:%.2X", bytes[0], bytes[1], bytes[2], bytes[3],
           bytes[4], bytes[5]);
}

int get_if_info_of(const char *ifname, char *ipAddr, char *hwAddr, char *ipMask) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  int rc = 0;
  for (const IfQuery &q : kQueries) {
    struct ifreq req;
    memset(&req, 0, sizeof req);
    snprintf(req.ifr_name, IFNAMSIZ, "%s", ifname);
    if (ioctl(fd, q.request, &req) != 0) {
      rc = q.failure;
      break;
    }
    format_answer(q, req, q.target(ipAddr, hwAddr, ipMask));
  }
  close(fd);
  return rc;
}

int get_ifInfo(char *ipAddr, char *hwAddr, char *ipMask) {
  return get_if_info_of(kInterface, ipAddr, hwAddr, ipMask);
}
