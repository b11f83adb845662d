// Address text, networks and the allow-list.
#include "core/addr.h"

#include <arpa/inet.h>
#include <stdlib.h>

namespace hub {

bool parse_ipv4(const std::string &text, uint32_t *addr) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  *addr = ntohl(a.s_addr);
  return true;
}

std::string ipv4_text(uint32_t addr) {
  in_addr a{};
  a.s_addr = htonl(addr);
  char buf[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

namespace {

// Digits only, value within max.
bool parse_uint(const std::string &text, unsigned long max, unsigned long *out) {
  if (text.empty() || text.size() > 10) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  unsigned long v = strtoul(text.c_str(), nullptr, 10);
  if (v > max) return false;
  *out = v;
  return true;
}

}  // namespace

bool parse_endpoint(const std::string &text, Endpoint *out) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  std::string host = text.substr(0, colon);
  if (host == "localhost") host = "127.0.0.1";
  uint32_t addr = 0;
  unsigned long port = 0;
  if (!parse_ipv4(host, &addr) || !parse_uint(text.substr(colon + 1), 65535, &port)) return false;
  out->host = host;
  out->port = static_cast<int>(port);
  return true;
}

bool is_loopback(const std::string &host) {
  uint32_t addr = 0;
  return parse_ipv4(host, &addr) && (addr >> 24) == 127;
}

bool parse_cidr(const std::string &text, Cidr *out) {
  size_t slash = text.find('/');
  unsigned long bits = 32;
  if (slash != std::string::npos && !parse_uint(text.substr(slash + 1), 32, &bits)) return false;
  uint32_t addr = 0;
  if (!parse_ipv4(text.substr(0, slash), &addr)) return false;
  uint32_t mask = bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
  if ((addr & ~mask) != 0) return false;
  out->net = addr;
  out->mask = mask;
  return true;
}

bool cidr_contains(const Cidr &c, uint32_t addr) { return (addr & c.mask) == c.net; }

bool id_allowed(const AllowList &a, const std::string &id) {
  for (const std::string &pat : a.ids) {
    if (!pat.empty() && pat.back() == '*') {
      if (id.compare(0, pat.size() - 1, pat, 0, pat.size() - 1) == 0) return true;
    } else if (pat == id) {
      return true;
    }
  }
  return false;
}

bool net_allowed(const AllowList &a, uint32_t addr) {
  if (a.nets.empty()) return true;
  for (const Cidr &c : a.nets) {
    if (cidr_contains(c, addr)) return true;
  }
  return false;
}

}  // namespace hub
