// What the hub reads out of a gateway's packets and how it lays out its
// own, on top of the link library (header checks, layout, section walk and
// scrambling all come from qylink).
#ifndef HUB_PACKET_H
#define HUB_PACKET_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "qylink.h"

namespace hub {

constexpr size_t kPacketMax = PACKET_BUF_SIZE;
// A hub packet: empty IP text, signal byte, one section head.
constexpr size_t kServerHeadLen = PACKAGE_HEADER_LEN + 1 + 1 + PACKAGE_SECTION_HEAD;
constexpr size_t kSectionMax = kPacketMax - kServerHeadLen;  // 1489 data bytes
constexpr size_t kIdMax = PACKAGE_MAX_IPLEN;

struct InitInfo {
  uint8_t netif = 0;  // 0 while the cellular link is up, 1 without it
  std::string model, alias, version;
  uint8_t ports = 0;
  uint16_t heartbeat_s = 0;
};

// The fields of an init packet (its header judged); false when the packet
// ends inside them.
bool parse_init(const uint8_t *pkt, size_t len, InitInfo *out);

// The IP text of a judged packet.
inline const uint8_t *packet_id(const uint8_t *pkt) { return pkt + PACKAGE_HEADER_LEN; }
inline size_t packet_id_len(const uint8_t *pkt) { return pkt[4]; }
inline uint8_t packet_signal(const uint8_t *pkt) { return pkt[wire_prefix_len(pkt) - 1]; }

// An ID the hub can name a gateway by (in topics, paths and the registry):
// 1..15 printable ASCII characters without blanks, '/', '+', '#', '"' or
// '\\', and not "hub".
bool id_usable(const uint8_t *p, size_t n);

// A hub packet with one section, scrambled; its length, or 0 when the data
// do not fit (more than kSectionMax bytes).
size_t build_packet(uint16_t port, const uint8_t *data, size_t n, uint8_t *out, size_t cap);

}  // namespace hub

#endif
