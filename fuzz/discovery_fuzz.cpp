// seekresp's handling of one discovery datagram, as the socket delivers it
// (at most 256 bytes read, any sender), and the reply text for any eth0
// addresses: the reply is one line of at most 90 bytes ending in CR.
//
// Input: 4 bytes sender address, 2 bytes sender port, then eth0's address
// (4), netmask (4) and hardware address (6), then the datagram (empty: the
// receive error, which ends the program, is not taken).
#include <netinet/in.h>
#include <string.h>

#include "fuzzkit.h"
#include "seekresp.h"

namespace {

constexpr size_t kLongestReply = 90;

void check_reply(const uint8_t *ip, const uint8_t *mask, const uint8_t *mac) {
  char ip_text[kValueSize] = {}, mask_text[kValueSize] = {}, mac_text[kValueSize] = {};
  format_ipv4(ip, ip_text, sizeof ip_text);
  format_ipv4(mask, mask_text, sizeof mask_text);
  format_mac(mac, mac_text, sizeof mac_text);
  char reply[kReplySize];
  const int n = format_reply(reply, sizeof reply, ip_text, mask_text, mac_text);
  if (n <= 0 || static_cast<size_t>(n) > kLongestReply || reply[n - 1] != '\r' ||
      strlen(reply) != static_cast<size_t>(n) ||
      memchr(reply, '\n', static_cast<size_t>(n)) != nullptr) {
    fuzzkit::fail("reply of %d bytes: \"%s\"", n, reply);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzzkit::quiet_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzzkit::Reader in(data, size);
  uint8_t addr[4 + 2 + 4 + 4 + 6] = {};
  const uint8_t *p = nullptr;
  const size_t got = in.take(sizeof addr, &p);
  if (got > 0) memcpy(addr, p, got);
  struct sockaddr_in from;
  memset(&from, 0, sizeof from);
  from.sin_family = AF_INET;
  memcpy(&from.sin_addr.s_addr, addr, 4);
  memcpy(&from.sin_port, addr + 4, 2);

  size_t n = 0;
  const uint8_t *datagram = in.rest(&n);
  if (n > kRequestMax) n = kRequestMax;  // the receive takes no more; the rest is lost
  if (n > 0) {
    char buf[kRequestMax + 1];
    memcpy(buf, datagram, n);
    if (!take_request(buf, static_cast<ssize_t>(n), &from)) fuzzkit::fail("datagram refused");
  }
  check_reply(addr + 6, addr + 10, addr + 14);
  return 0;
}
