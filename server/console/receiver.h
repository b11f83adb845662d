// The gateway's byte stream: unscrambled, cut into packets by their length
// field, checked, and printed one line per event. A heartbeat burst (many
// identical packets back to back) is printed as one line with its count.
#ifndef CONSOLE_RECEIVER_H
#define CONSOLE_RECEIVER_H

#include <stddef.h>
#include <stdint.h>

#include "framer.h"
#include "qylink.h"

namespace console {

constexpr size_t kPacketMax = PACKET_BUF_SIZE;  // the gateway's packet buffer
constexpr size_t kHeaderLen = PACKAGE_HEADER_LEN;
constexpr size_t kPrefixMin = kHeaderLen + 1;  // header and signal byte
constexpr unsigned kBadInRowLimit = 8;      // malformed headers before hanging up
constexpr uint32_t kBurstQuietMs = 200;     // a heartbeat run ends after this quiet

// Copies in one heartbeat burst of packets of len bytes, as the gateway
// builds it (at least 1, so a lone oversized heartbeat still counts).
unsigned burst_copies(size_t len);

// Called for every section of a well-formed data packet.
using SectionFn = void (*)(void *ctx, int gw, unsigned port, const uint8_t *data, size_t len);

struct Receiver {
  int gw;
  uint8_t buf[2 * kPacketMax];  // the unscrambled bytes of the read at hand
  uint8_t room[kPacketMax];     // a packet whose rest has not come yet
  LinkFramer in;
  uint8_t hb[kPacketMax];  // the heartbeat being counted
  size_t hb_len;
  unsigned hb_count;
  uint32_t hb_last;
  bool verify_pending;  // a challenge went out; its answer is expected
  int32_t verify_expect;
  unsigned bad_in_row;  // malformed headers since the last good packet
  unsigned packets;     // good packets so far
  SectionFn on_section;
  void *ctx;
};

void rx_init(Receiver &rx, int gw, SectionFn fn, void *ctx);

// Bytes the next read may bring: the buffer less the unfinished packet (at
// least kPacketMax after every rx_feed).
size_t rx_room(const Receiver &rx);

// Unscrambles n wire bytes (n <= rx_room) and handles every whole packet.
void rx_feed(Receiver &rx, const uint8_t *wire, size_t n, uint32_t now);

// Ends a heartbeat run that has gone quiet.
void rx_tick(Receiver &rx, uint32_t now);

// The connection ended: reports the run and any unfinished packet.
void rx_finish(Receiver &rx);

}  // namespace console

#endif
