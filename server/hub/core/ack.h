// What the hub keeps per gateway for the acknowledged link (the extension
// the secure link may choose, qylink/ackstream.h): the gateway's streams as
// taken here, the hub's own stream to it (its generation and the bursts
// sent and not acknowledged), and the bytes lost either way. Kept in
// memory, keyed by the record, across its links, for as long as the hub
// runs; a restart forgets it. gateways/ack.h runs the link.
#ifndef HUB_CORE_ACK_H
#define HUB_CORE_ACK_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <unordered_map>

#include "ackring.h"
#include "ackstream.h"
#include "core/hub.h"

namespace hub {

constexpr uint32_t kAckRetain = 64 * 1024;  // a gateway's retained bytes: 4 s of both lines at 115 200 bit/s

// A line's bytes lost one way: in all, and the last gap's offsets.
struct AckLoss {
  uint64_t bytes = 0, from = 0, to = 0;
};

struct AckState {
  AckMark taking{};            // the gateway's stream as taken here
  uint64_t unacked = 0;        // of it, taken since the last acknowledgement
  uint32_t unacked_since = 0;  // ticks when the first of them came
  AckRing out{};               // the hub's stream to it; memory only while it holds bytes
  std::unique_ptr<uint8_t[]> mem;
  uint64_t sent_max[ACK_LINES] = {};                // after the last byte sent on any link
  uint64_t resent = 0;                              // bytes sent to it again after a break
  AckLoss lost_in[ACK_LINES], lost_out[ACK_LINES];  // from the gateway, to it
  uint32_t links = 0;                               // links that spoke the extension
  bool holds = false;                               // its last link spoke it: raw senders wait for its next link
};

struct AckLinks {
  std::unordered_map<const GatewayRecord *, std::unique_ptr<AckState>> of;
  uint64_t retained = 0;  // bytes held for all gateways, heads included
};

// The state of r, or null when none of its links spoke the extension.
const AckState *ack_state(const Hub &h, const GatewayRecord &r);

}  // namespace hub

#endif
