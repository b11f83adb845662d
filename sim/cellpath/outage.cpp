#include "outage.h"

namespace cellpath {

Outage::Outage(const Profile &p, int64_t start)
    : first_(start + p.outage_at_ns), for_(p.outage_for_ns), every_(p.outage_every_ns) {}

bool Outage::on(int64_t now) const {
  if (manual_) return true;
  if (for_ == 0 || now < first_) return false;
  const int64_t t = now - first_;
  if (every_ == 0) return t < for_;
  return t % every_ < for_;
}

int64_t Outage::next_edge(int64_t now) const {
  if (for_ == 0) return INT64_MAX;
  if (now < first_) return first_;
  const int64_t t = now - first_;
  if (every_ == 0) return t < for_ ? first_ + for_ : INT64_MAX;
  const int64_t base = first_ + t / every_ * every_;
  return t % every_ < for_ ? base + for_ : base + every_;
}

}  // namespace cellpath
