// New connections per source address: a token bucket for each address
// (rate a second, up to burst at once), in a table of bounded size.
#ifndef HUB_RATELIMIT_H
#define HUB_RATELIMIT_H

#include <stddef.h>
#include <stdint.h>

#include <unordered_map>

namespace hub {

class RateLimit {
 public:
  // rate 0: no limit.
  RateLimit(double rate, unsigned burst, size_t max_addresses = 65536);
  // A connection from addr at now (ms) may go on.
  bool allow(uint32_t addr, uint32_t now);
  // Forgets addresses whose bucket has filled up again.
  void prune(uint32_t now);
  size_t size() const { return buckets_.size(); }

 private:
  struct Bucket {
    double tokens;
    uint32_t at;
  };
  double refill(Bucket &b, uint32_t now) const;

  double rate_;
  double burst_;
  size_t max_;
  std::unordered_map<uint32_t, Bucket> buckets_;
};

}  // namespace hub

#endif
