// Host name resolution of our own: dotted address, hosts file, then one DNS
// A query over UDP with a bounded wait. No C library resolver, so a static
// board binary needs no NSS modules and host and board behave alike.
#include "resolve.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "daemon.h"
#include "linefile.h"
#include "net.h"

namespace {

constexpr int kLineMax = 512;
constexpr int kNameMax = 253;
constexpr int kLabelMax = 63;
constexpr int kHeaderLen = 12;
constexpr uint16_t kTypeA = 1;
constexpr uint16_t kClassIn = 1;

uint16_t get16(const unsigned char *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// Offset just past the (possibly compressed) name at off, or -1.
int skip_name(const unsigned char *msg, int len, int off) {
  while (off < len) {
    const unsigned char c = msg[off];
    if (c == 0) return off + 1;
    if ((c & 0xC0) == 0xC0) return off + 2 <= len ? off + 2 : -1;
    if ((c & 0xC0) != 0) return -1;
    off += 1 + c;
  }
  return -1;
}

// True when line (a hosts file line, cut at '#') maps name; sets *out.
bool hosts_line_matches(char *line, const char *name, struct in_addr *out) {
  line[strcspn(line, "#\r\n")] = '\0';
  char *save = nullptr;
  const char *addr = strtok_r(line, " \t", &save);
  struct in_addr a;
  if (addr == nullptr || inet_pton(AF_INET, addr, &a) != 1) return false;
  for (const char *h = strtok_r(nullptr, " \t", &save); h; h = strtok_r(nullptr, " \t", &save)) {
    if (strcasecmp(h, name) == 0) {
      *out = a;
      return true;
    }
  }
  return false;
}

uint16_t query_id() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint16_t>(ts.tv_nsec ^ (ts.tv_nsec >> 16) ^ getpid());
}

}  // namespace

extern "C" {

int hosts_lookup(const char *path, const char *name, struct in_addr *out) {
  LineFile f(path);
  char line[kLineMax];
  while (f.gets(line, sizeof line)) {
    if (hosts_line_matches(line, name, out)) return RESOLVE_OK;
  }
  return RESOLVE_FAILED;
}

int resolv_nameserver(const char *path, struct in_addr *out) {
  LineFile f(path);
  char line[kLineMax];
  while (f.gets(line, sizeof line)) {
    char addr[64];
    if (sscanf(line, "nameserver %63s", addr) == 1 && inet_pton(AF_INET, addr, out) == 1) {
      return RESOLVE_OK;
    }
  }
  return RESOLVE_FAILED;
}

int dns_build_query(uint16_t id, const char *name, unsigned char *buf, int len) {
  const int n = static_cast<int>(strnlen(name, kNameMax + 1));
  if (n == 0 || n > kNameMax || len < kHeaderLen + n + 2 + 4) return -1;
  memset(buf, 0, kHeaderLen);
  buf[0] = static_cast<unsigned char>(id >> 8);
  buf[1] = static_cast<unsigned char>(id);
  buf[2] = 0x01;  // recursion desired
  buf[5] = 1;     // one question
  int o = kHeaderLen;
  for (const char *label = name; *label != '\0';) {
    const int l = static_cast<int>(strcspn(label, "."));
    if (l == 0 || l > kLabelMax) return -1;
    buf[o++] = static_cast<unsigned char>(l);
    memcpy(buf + o, label, static_cast<size_t>(l));
    o += l;
    label += l;
    if (*label == '.' && *++label == '\0') break;  // one trailing dot is allowed
  }
  buf[o++] = 0;
  buf[o++] = 0, buf[o++] = kTypeA;
  buf[o++] = 0, buf[o++] = kClassIn;
  return o;
}

int dns_parse_answer(uint16_t id, const unsigned char *msg, int len, struct in_addr *out) {
  if (len < kHeaderLen || get16(msg) != id || (msg[2] & 0x80) == 0) return DNS_MALFORMED;
  if ((msg[3] & 0x0F) != 0) return DNS_NO_ADDRESS;  // no such name, or a failure
  int off = kHeaderLen;
  for (int q = get16(msg + 4); q > 0 && off >= 0; q--) {
    off = skip_name(msg, len, off);
    if (off >= 0) off = off + 4 <= len ? off + 4 : -1;
  }
  for (int a = get16(msg + 6); a > 0 && off >= 0; a--) {
    off = skip_name(msg, len, off);
    if (off < 0 || off + 10 > len) return DNS_MALFORMED;
    const int rdlen = get16(msg + off + 8);
    const int data = off + 10;
    if (data + rdlen > len) return DNS_MALFORMED;
    if (get16(msg + off) == kTypeA && get16(msg + off + 2) == kClassIn && rdlen == 4) {
      memcpy(&out->s_addr, msg + data, 4);
      return RESOLVE_OK;
    }
    off = data + rdlen;
  }
  return off >= 0 ? DNS_NO_ADDRESS : DNS_MALFORMED;
}

int dns_query(const struct sockaddr_in *server, const char *name, struct in_addr *out) {
  unsigned char msg[DNS_MSG_MAX];
  const uint16_t id = query_id();
  const int qlen = dns_build_query(id, name, msg, sizeof msg);
  if (qlen < 0) return RESOLVE_FAILED;
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return RESOLVE_FAILED;
  int rc = RESOLVE_FAILED;
  if (connect(fd, reinterpret_cast<const struct sockaddr *>(server), sizeof *server) == 0 &&
      send(fd, msg, static_cast<size_t>(qlen), 0) == qlen) {
    // Replies that are not ours (wrong id, malformed) are passed over until
    // the wait runs out; the wait is one budget, not one per reply.
    const uint32_t start = GetTimeTicks();
    for (int left = DNS_WAIT_MS; rc != RESOLVE_OK && left > 0;
         left = DNS_WAIT_MS - static_cast<int>(GetTimeTicks() - start)) {
      if (net_wait(fd, POLLIN, left) <= 0) break;
      const ssize_t n = recv(fd, msg, sizeof msg, MSG_DONTWAIT);
      if (n < 0 && errno != EAGAIN) break;  // refused: no server there
      if (n > 0) rc = dns_parse_answer(id, msg, static_cast<int>(n), out);
      if (rc == DNS_NO_ADDRESS) break;  // answered, without an address
    }
  }
  if (rc != RESOLVE_OK) rc = RESOLVE_FAILED;
  close(fd);
  return rc;
}

int qy_resolve(const char *name, struct in_addr *out) {
  if (name == nullptr || name[0] == '\0') return RESOLVE_FAILED;
  if (inet_aton(name, out) != 0) return RESOLVE_OK;
  if (hosts_lookup(RESOLVE_HOSTS_FILE, name, out) == RESOLVE_OK) return RESOLVE_OK;
  struct sockaddr_in ns = {};
  if (resolv_nameserver(RESOLVE_CONF_FILE, &ns.sin_addr) != RESOLVE_OK) return RESOLVE_FAILED;
  ns.sin_family = AF_INET;
  ns.sin_port = htons(DNS_PORT);
  return dns_query(&ns, name, out);
}

}  // extern "C"
