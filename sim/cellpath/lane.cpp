#include "lane.h"

#include <unistd.h>

#include <algorithm>

namespace cellpath {

Lane::Lane(const Way &way, const Profile &p, uint64_t seed)
    : way_(way), normal_(p.normal), queue_bytes_(p.queue_bytes), queue_packets_(p.queue_packets),
      mtu_(p.mtu), rng_(seed) {}

// Whether the bearer buffer takes len more bytes; what has gone on the
// air by now leaves it first.
bool Lane::room(uint32_t len, int64_t now) {
  while (!buffer_.empty() && buffer_.front().tx_end <= now) {
    buffered_ -= buffer_.front().len;
    buffer_.pop_front();
  }
  if (queue_packets_ != 0) return buffer_.size() < queue_packets_;
  return buffered_ + len <= queue_bytes_;
}

int64_t Lane::jitter() {
  if (way_.jitter_ns == 0) return 0;
  const double j = static_cast<double>(way_.jitter_ns);
  if (normal_) return static_cast<int64_t>(std::normal_distribution<double>(0.0, j)(rng_));
  return static_cast<int64_t>(std::uniform_real_distribution<double>(-j, j)(rng_));
}

void Lane::offer(const uint8_t *data, uint32_t len, int64_t now, bool out) {
  st_.in++;
  st_.max_len = std::max<uint64_t>(st_.max_len, len);
  if (len > mtu_) st_.over_mtu++;
  const bool lost = way_.loss > 0 && std::uniform_real_distribution<double>(0, 1)(rng_) < way_.loss;
  if (out) {
    st_.outage++;
    return;
  }
  if (lost) {
    st_.lost++;
    return;
  }
  if (!room(len, now)) {
    st_.tail++;
    return;
  }
  const int64_t start = std::max(now, free_at_);
  const int64_t air = way_.rate_bps == 0 ? 0
      : static_cast<int64_t>(static_cast<double>(len) * 8e9 / static_cast<double>(way_.rate_bps));
  free_at_ = start + air;
  buffer_.push_back({free_at_, len});
  buffered_ += len;
  const int64_t due = std::max(free_at_ + std::max<int64_t>(0, way_.delay_ns + jitter()), last_due_);
  last_due_ = due;
  flight_.push_back({due, std::vector<uint8_t>(data, data + len)});
}

int64_t Lane::next_due() const { return flight_.empty() ? INT64_MAX : flight_.front().due; }

void Lane::deliver(int fd, int64_t now, bool out) {
  while (!flight_.empty() && flight_.front().due <= now) {
    const std::vector<uint8_t> &d = flight_.front().data;
    if (out) {
      st_.outage++;
    } else if (write(fd, d.data(), d.size()) == static_cast<ssize_t>(d.size())) {
      st_.out++;
      st_.out_bytes += d.size();
    } else {
      st_.write_err++;
    }
    flight_.pop_front();
  }
}

}  // namespace cellpath
