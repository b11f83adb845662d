// Token buckets per source address.
#include "core/ratelimit.h"

namespace hub {

RateLimit::RateLimit(double rate, unsigned burst, size_t max_addresses)
    : rate_(rate), burst_(burst > 0 ? burst : 1), max_(max_addresses) {}

double RateLimit::refill(Bucket &b, uint32_t now) const {
  double t = b.tokens + (now - b.at) * rate_ / 1000.0;
  b.tokens = t > burst_ ? burst_ : t;
  b.at = now;
  return b.tokens;
}

bool RateLimit::allow(uint32_t addr, uint32_t now) {
  if (rate_ <= 0) return true;
  auto it = buckets_.find(addr);
  if (it == buckets_.end()) {
    if (buckets_.size() >= max_) prune(now);
    if (buckets_.size() >= max_) return true;  // cannot keep track: let it be
    it = buckets_.emplace(addr, Bucket{burst_, now}).first;
  }
  if (refill(it->second, now) < 1.0) return false;
  it->second.tokens -= 1.0;
  return true;
}

void RateLimit::prune(uint32_t now) {
  for (auto it = buckets_.begin(); it != buckets_.end();) {
    if (refill(it->second, now) >= burst_) {
      it = buckets_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace hub
