// The history of every gateway, kept in the journal (h.journal; without
// one nothing is kept): its state changes (online, offline with the
// reason, replaced, held, admission set through the API, failed verifies,
// and any other state gw_state names, such as a conflict of IDs), samples
// of its signal and network state (on a change, at most one a minute), and
// its traffic per UTC day (the growth of its counters, stored after ten
// minutes of traffic and when it goes). Times of one gateway's events are
// kept distinct (a millisecond apart), so a page ends exactly at a time.
#ifndef HUB_HISTORY_H
#define HUB_HISTORY_H

#include <stdint.h>

#include <string>
#include <unordered_map>

#include "gateways/session.h"
#include "core/hub.h"

namespace hub {

constexpr int64_t kSampleEveryMs = 60000;
constexpr int64_t kTrafficEveryMs = 600000;

// What the history last told of a gateway.
struct Track {
  const char *state = "offline";  // gw_state
  Admission admission = Admission::kByList;
  uint8_t signal = 0xff, network = 0xff;  // as last sampled (0xff: not yet)
  int64_t sampled = 0;                    // wall ms of the last sample
  int64_t last_at = 0;                    // wall ms of its last event
  uint64_t verify_fail = 0;
  uint64_t base[4] = {};    // bytes in, out, packets in, out as last stored
  int64_t traffic_at = 0;   // wall ms they were last stored
};

struct History {
  std::unordered_map<const GatewayRecord *, Track> tracks;
  int64_t audit_last = 0;  // the audit log's last time, kept distinct the same way
};

extern const GatewayHooks kHistoryHooks;

// An event the hooks do not tell (detail may be empty).
void history_event(Hub &h, const GatewayRecord &r, const char *what, const std::string &detail);
// A time after every earlier one in *last (wall ms).
int64_t history_time(int64_t now_ms, int64_t *last);

}  // namespace hub

#endif
