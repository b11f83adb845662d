// The figures of an emulated cellular path, parsed from a profile string
// such as "rtt=300ms,jitter=30ms,up=1mbit,down=4mbit,loss=1%,queue=64kB".
// "up" is the daemon's side towards the server, "down" the way back.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace cellpath {

// One direction of the path.
struct Way {
  int64_t delay_ns = 0;     // one-way delay
  int64_t jitter_ns = 0;    // half-width (uniform) or standard deviation (normal)
  uint64_t rate_bps = 0;    // 0: no rate limit
  double loss = 0.0;        // share of packets lost at random, 0..1
};

struct Profile {
  Way up, down;
  bool normal = false;             // jitter drawn from a normal distribution
  uint32_t queue_bytes = 65536;    // bearer buffer, tail drop past it
  uint32_t queue_packets = 0;      // 0: limited by bytes only
  uint32_t mtu = 1500;
  uint64_t seed = 0;
  bool seeded = false;
  int64_t outage_at_ns = 0;        // timed outage: from start + at ...
  int64_t outage_for_ns = 0;       // ... for this long (0: none) ...
  int64_t outage_every_ns = 0;     // ... again every this long (0: once)
};

// Parses text into *p (which keeps its defaults for absent keys). On error
// returns false and writes a message of at most len bytes to err.
bool parse_profile(const char *text, Profile *p, char *err, size_t len);

// The profile in the form "key=value ..." with plain numbers (ns, bit/s).
void describe_profile(const Profile &p, char *out, size_t len);

}  // namespace cellpath
