// One direction of the emulated path: random loss, a bearer buffer with
// tail drop, serialisation at the configured rate, then the one-way delay
// with jitter. Packets leave in the order they came (a cellular bearer
// delivers in order): none leaves before the one ahead of it.
#pragma once

#include <stdint.h>

#include <deque>
#include <random>
#include <vector>

#include "profile.h"

namespace cellpath {

struct LaneStats {
  uint64_t in = 0, out = 0, out_bytes = 0;
  uint64_t lost = 0;        // random loss
  uint64_t tail = 0;        // bearer buffer full
  uint64_t outage = 0;      // dropped while the path was out
  uint64_t write_err = 0;   // the far TUN device refused the packet
  uint64_t max_len = 0;     // longest packet seen
  uint64_t over_mtu = 0;    // packets longer than the MTU
};

class Lane {
 public:
  Lane(const Way &way, const Profile &p, uint64_t seed);

  // A packet read at time now (ns); dropped or queued.
  void offer(const uint8_t *data, uint32_t len, int64_t now, bool out);
  // When the next packet is due to leave (INT64_MAX: none queued).
  int64_t next_due() const;
  // Writes every packet due by now to fd (or drops it while out).
  void deliver(int fd, int64_t now, bool out);

  const LaneStats &stats() const { return st_; }

 private:
  struct Packet {
    int64_t due;
    std::vector<uint8_t> data;
  };
  struct OnAir {
    int64_t tx_end;
    uint32_t len;
  };

  bool room(uint32_t len, int64_t now);
  int64_t jitter();

  Way way_;
  bool normal_;
  uint32_t queue_bytes_, queue_packets_, mtu_;
  std::mt19937_64 rng_;
  std::deque<Packet> flight_;   // everything not yet delivered, in order
  std::deque<OnAir> buffer_;    // what still waits for (or is in) its turn on the air
  uint64_t buffered_ = 0;       // bytes in buffer_
  int64_t free_at_ = 0;         // when the air is free again
  int64_t last_due_ = 0;
  LaneStats st_;
};

}  // namespace cellpath
