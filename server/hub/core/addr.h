// IPv4 addresses, listen endpoints and source networks (CIDR), and the
// admission rule: which gateway IDs from which networks are let in.
#ifndef HUB_ADDR_H
#define HUB_ADDR_H

#include <stdint.h>

#include <string>
#include <vector>

namespace hub {

struct Endpoint {
  std::string host;  // dotted IPv4 address
  int port = 0;      // 0: any free port
};

// "a.b.c.d" to a host-order address; false when it is not one.
bool parse_ipv4(const std::string &text, uint32_t *addr);
std::string ipv4_text(uint32_t addr);
// "a.b.c.d:port" (port 0..65535; "localhost" stands for 127.0.0.1).
bool parse_endpoint(const std::string &text, Endpoint *out);
bool is_loopback(const std::string &host);

struct Cidr {
  uint32_t net = 0;
  uint32_t mask = 0;
};

// "a.b.c.d/n" (n 0..32) or a bare address (a /32); the host bits must be 0.
bool parse_cidr(const std::string &text, Cidr *out);
bool cidr_contains(const Cidr &c, uint32_t addr);

// A gateway is admitted when its ID matches an entry of ids (exact, or a
// prefix ending in '*'; "*" alone matches every ID) and its source address
// lies in one of nets (no networks listed: any address). No IDs listed:
// nobody is admitted by the list, only through the API.
struct AllowList {
  std::vector<std::string> ids;
  std::vector<Cidr> nets;
};

bool id_allowed(const AllowList &a, const std::string &id);
bool net_allowed(const AllowList &a, uint32_t addr);

}  // namespace hub

#endif
