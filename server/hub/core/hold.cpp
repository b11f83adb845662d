// Refused connections held open and silent, and whom they came from.
#include "core/hold.h"

#include <sys/socket.h>
#include <unistd.h>

namespace hub {
namespace {

// FNV-1a over the address and the ID: a pair in eight bytes (two pairs that
// collide share a hold length, nothing more).
uint64_t pair_key(uint32_t addr, const std::string &who) {
  uint64_t h = 1469598103934665603ull;
  auto mix = [&h](uint8_t b) { h = (h ^ b) * 1099511628211ull; };
  for (int i = 0; i < 4; i++) mix(static_cast<uint8_t>(addr >> (8 * i)));
  for (char c : who) mix(static_cast<uint8_t>(c));
  return h;
}

bool due(uint32_t until, uint32_t now) { return static_cast<int32_t>(now - until) >= 0; }

// Unread bytes would turn the close into a reset, which the daemon does not
// take for the end of the link: they are dropped first, so it sees the end.
void close_quietly(int fd) {
  char sink[4096];
  for (int i = 0; i < 64 && recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; i++) {
  }
  close(fd);
}

}  // namespace

Holds::Holds(uint32_t first_ms, uint32_t max_ms, size_t max_held)
    : first_ms_(first_ms), max_ms_(max_ms < first_ms ? first_ms : max_ms), max_held_(max_held) {
  for (uint32_t ms = first_ms_; ms > 0; ms = ms >= max_ms_ ? 0 : ms * 2) queues_.emplace_back();
}

Holds::~Holds() { close_all(); }

uint32_t Holds::length(uint8_t strikes) const {
  uint32_t ms = first_ms_;
  for (uint8_t i = 1; i < strikes && ms < max_ms_; i++) ms *= 2;
  return ms < max_ms_ ? ms : max_ms_;
}

void Holds::forget(uint32_t now) {
  for (auto it = pairs_.begin(); it != pairs_.end();) {
    it = now - it->second.last > 2 * max_ms_ ? pairs_.erase(it) : std::next(it);
  }
}

uint32_t Holds::strike(uint32_t addr, const std::string &who, uint32_t now) {
  if (first_ms_ == 0) return 0;
  if (pairs_.size() >= kRemembered) forget(now);
  uint64_t key = pair_key(addr, who);
  auto it = pairs_.find(key);
  if (it == pairs_.end()) {
    if (pairs_.size() >= kRemembered) return first_ms_;
    it = pairs_.emplace(key, Pair{}).first;
  } else if (now - it->second.last > 2 * max_ms_) {
    it->second.strikes = 0;  // forgotten, though not swept yet
  }
  Pair &p = it->second;
  p.last = now;
  if (p.strikes < 32) p.strikes++;
  return length(p.strikes);
}

bool Holds::hold(int fd, uint32_t ms, uint32_t now) {
  if (held_ >= max_held_) return unheld_++, false;
  size_t q = 0;
  for (uint32_t len = first_ms_; len < ms && q + 1 < queues_.size(); len *= 2) q++;
  queues_[q].push_back(Held{fd, now + ms});
  held_++;
  taken_++;
  return true;
}

size_t Holds::expire(uint32_t now) {
  size_t n = 0;
  for (std::deque<Held> &q : queues_) {
    for (; !q.empty() && due(q.front().until, now); n++) {
      close_quietly(q.front().fd);
      q.pop_front();
    }
  }
  held_ -= n;
  if (now - swept_ >= 60000) forget(now), swept_ = now;
  return n;
}

void Holds::close_all() {
  for (std::deque<Held> &q : queues_) {
    for (const Held &x : q) close(x.fd);
    q.clear();
  }
  held_ = 0;
}

}  // namespace hub
