// The daemon's host name lookup on what it reads from outside: a DNS
// answer from the network (anyone on the path can send one), the hosts
// file and resolv.conf, and the query it builds from a configured name.
//
// Input: byte 0 what the rest is (mod 4): 0 a DNS answer (the first two
// bytes are the query id it must carry), 1 a hosts file, 2 a resolv.conf,
// 3 a server name to build a query for.
#include <string.h>

#include <string>
#include <vector>

#include "fuzzkit.h"
#include "resolve.h"

namespace {

constexpr char kHosts[] = "/etc/hosts";
constexpr char kResolv[] = "/etc/resolv.conf";

void answer(const uint8_t *data, size_t n) {
  fuzzkit::Reader in(data, n);
  const uint16_t id = static_cast<uint16_t>(in.byte() << 8 | in.byte());
  size_t len = 0;
  const uint8_t *p = in.rest(&len);
  std::vector<unsigned char> msg(p, p + len);  // exactly its size
  struct in_addr out = {};
  const int rc = dns_parse_answer(id, msg.data(), static_cast<int>(len), &out);
  if (rc != 0 && rc != -1 && rc != -2) fuzzkit::fail("answer parsed to %d", rc);
}

void query(const uint8_t *data, size_t n) {
  const std::string name(reinterpret_cast<const char *>(data),
                         strnlen(reinterpret_cast<const char *>(data), n));
  unsigned char buf[DNS_MSG_MAX];
  const int len = dns_build_query(0x1234, name.c_str(), buf, sizeof buf);
  if (len != -1 && (len < 12 + 2 + 4 || len > static_cast<int>(sizeof buf))) {
    fuzzkit::fail("query of %d bytes", len);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzzkit::quiet_stdout();
  fuzzkit::board("/etc");  // the sandbox
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const uint8_t *rest = data + 1;
  const size_t n = size - 1;
  struct in_addr out = {};
  switch (data[0] % 4) {
    case 0: answer(rest, n); break;
    case 1:
      fuzzkit::write_file(kHosts, rest, n);
      hosts_lookup(kHosts, "server.example", &out);
      break;
    case 2:
      fuzzkit::write_file(kResolv, rest, n);
      resolv_nameserver(kResolv, &out);
      break;
    default: query(rest, n); break;
  }
  return 0;
}
