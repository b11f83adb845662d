// Refusals that cost little. A gateway refused for a reason that will not
// change in the next second (its ID cannot join a full registry, its key is
// revoked or another's, it dials the wrong port) and closed at once would
// dial again at once: the daemon reconnects as soon as the hub closes, so
// a thousand of them cost an accept, a handshake and a look-up ten times a
// second each. Instead the connection is held open and silent (not read,
// nothing sent) and closed only when its hold is over; each refusal of the
// same address and ID within the memory holds twice as long as the one
// before, from first_ms up to max_ms.
//
// Bounded: at most max_held descriptors held (beyond, a refusal closes at
// once, counted), at most kRemembered (address, ID) pairs remembered (beyond,
// a new pair gets the first hold). A pair not refused for twice max_ms is
// forgotten.
#ifndef HUB_HOLD_H
#define HUB_HOLD_H

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

namespace hub {

class Holds {
 public:
  static constexpr size_t kRemembered = 65536;

  // first_ms 0: nothing is held (every refusal closes at once).
  Holds(uint32_t first_ms, uint32_t max_ms, size_t max_held);
  ~Holds();
  Holds(const Holds &) = delete;
  Holds &operator=(const Holds &) = delete;

  // A refusal of (addr, who) at now: how long its connection is held (0: not at all).
  uint32_t strike(uint32_t addr, const std::string &who, uint32_t now);
  // The descriptor is the holds' to close after ms; false (not taken) when they are full.
  bool hold(int fd, uint32_t ms, uint32_t now);
  // Closes the descriptors whose hold is over; how many.
  size_t expire(uint32_t now);
  void close_all();

  size_t held() const { return held_; }
  size_t remembered() const { return pairs_.size(); }
  uint64_t taken() const { return taken_; }    // connections held so far
  uint64_t unheld() const { return unheld_; }  // refusals closed at once: the holds were full

 private:
  struct Pair {
    uint32_t last = 0;  // ticks of its latest refusal
    uint8_t strikes = 0;
  };
  struct Held {
    int fd;
    uint32_t until;
  };
  uint32_t length(uint8_t strikes) const;
  void forget(uint32_t now);

  uint32_t first_ms_, max_ms_;
  size_t max_held_, held_ = 0;
  uint32_t swept_ = 0;  // ticks the pairs were last swept for the forgotten
  uint64_t taken_ = 0, unheld_ = 0;
  std::unordered_map<uint64_t, Pair> pairs_;
  // One queue per length of hold, each in the order its holds end.
  std::vector<std::deque<Held>> queues_;
};

}  // namespace hub

#endif
