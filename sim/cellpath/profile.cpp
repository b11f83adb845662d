// Profile strings: comma-separated key=value pairs. Durations take us, ms
// or s; rates bit, kbit, mbit or gbit (per second); loss a percentage or a
// fraction; the queue a size in B, kB or MB, or packets ("64p").
#include "profile.h"

#include <cmath>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace cellpath {
namespace {

struct Unit {
  const char *suffix;
  double factor;
};

constexpr Unit kTimeUnits[] = {{"us", 1e3}, {"ms", 1e6}, {"s", 1e9}};
constexpr Unit kRateUnits[] = {{"bit", 1}, {"kbit", 1e3}, {"mbit", 1e6}, {"gbit", 1e9}};
constexpr Unit kSizeUnits[] = {{"b", 1}, {"kb", 1024}, {"mb", 1048576}};
constexpr Unit kShareUnits[] = {{"%", 0.01}, {"", 1}};

// A number followed by one of the units (matched case-insensitively).
template <size_t N>
bool number(const char *text, const Unit (&units)[N], double *out) {
  char *end = nullptr;
  errno = 0;
  const double v = strtod(text, &end);
  if (end == text || errno != 0 || v < 0) return false;
  for (const Unit &u : units) {
    if (strcasecmp(end, u.suffix) == 0) {
      *out = v * u.factor;
      return true;
    }
  }
  return false;
}

bool duration(const char *v, int64_t *out) {
  double d = 0;
  if (!number(v, kTimeUnits, &d)) return false;
  *out = static_cast<int64_t>(llround(d));
  return true;
}

bool rate(const char *v, uint64_t *out) {
  double d = 0;
  if (!number(v, kRateUnits, &d)) return false;
  *out = static_cast<uint64_t>(llround(d));
  return true;
}

bool share(const char *v, double *out) { return number(v, kShareUnits, out) && *out <= 1.0; }

bool set_rtt(Profile *p, const char *v) {
  int64_t d = 0;
  if (!duration(v, &d)) return false;
  p->up.delay_ns = p->down.delay_ns = d / 2;
  return true;
}

bool set_delay(Profile *p, const char *v) {
  return duration(v, &p->up.delay_ns) && duration(v, &p->down.delay_ns);
}

bool set_jitter(Profile *p, const char *v) {
  return duration(v, &p->up.jitter_ns) && duration(v, &p->down.jitter_ns);
}

bool set_dist(Profile *p, const char *v) {
  p->normal = strcmp(v, "normal") == 0;
  return p->normal || strcmp(v, "uniform") == 0;
}

bool set_up(Profile *p, const char *v) { return rate(v, &p->up.rate_bps); }
bool set_down(Profile *p, const char *v) { return rate(v, &p->down.rate_bps); }
bool set_rate(Profile *p, const char *v) { return set_up(p, v) && set_down(p, v); }
bool set_loss_up(Profile *p, const char *v) { return share(v, &p->up.loss); }
bool set_loss_down(Profile *p, const char *v) { return share(v, &p->down.loss); }
bool set_loss(Profile *p, const char *v) { return set_loss_up(p, v) && set_loss_down(p, v); }

bool set_queue(Profile *p, const char *v) {
  double d = 0;
  const size_t n = strlen(v);
  if (n > 1 && v[n - 1] == 'p') {
    char *end = nullptr;
    const unsigned long k = strtoul(v, &end, 10);
    if (end != v + n - 1 || k == 0 || k > 1000000) return false;
    p->queue_packets = static_cast<uint32_t>(k);
    p->queue_bytes = UINT32_MAX;
    return true;
  }
  if (!number(v, kSizeUnits, &d) || d < 1 || d > 1e9) return false;
  p->queue_bytes = static_cast<uint32_t>(d);
  p->queue_packets = 0;
  return true;
}

bool set_mtu(Profile *p, const char *v) {
  char *end = nullptr;
  const unsigned long k = strtoul(v, &end, 10);
  if (*v == '\0' || *end != '\0' || k < 576 || k > 9000) return false;
  p->mtu = static_cast<uint32_t>(k);
  return true;
}

bool set_seed(Profile *p, const char *v) {
  char *end = nullptr;
  errno = 0;
  p->seed = strtoull(v, &end, 10);
  p->seeded = *v != '\0' && *end == '\0' && errno == 0;
  return p->seeded;
}

// outage=DURATION@START or DURATION@START/EVERY, times from the relay's start.
bool set_outage(Profile *p, const char *v) {
  char buf[64];
  if (snprintf(buf, sizeof buf, "%s", v) >= static_cast<int>(sizeof buf)) return false;
  char *at = strchr(buf, '@');
  if (at == nullptr) return false;
  *at++ = '\0';
  char *every = strchr(at, '/');
  if (every != nullptr) *every++ = '\0';
  p->outage_every_ns = 0;
  return duration(buf, &p->outage_for_ns) && duration(at, &p->outage_at_ns) &&
         (every == nullptr || duration(every, &p->outage_every_ns)) &&
         (p->outage_every_ns == 0 || p->outage_every_ns > p->outage_for_ns);
}

struct Key {
  const char *name;
  bool (*set)(Profile *, const char *);
};

constexpr Key kKeys[] = {
    {"rtt", set_rtt},         {"delay", set_delay},       {"jitter", set_jitter},
    {"dist", set_dist},       {"up", set_up},             {"down", set_down},
    {"rate", set_rate},       {"loss", set_loss},         {"loss_up", set_loss_up},
    {"loss_down", set_loss_down}, {"queue", set_queue},   {"mtu", set_mtu},
    {"seed", set_seed},       {"outage", set_outage},
};

bool apply(Profile *p, char *pair, char *err, size_t len) {
  char *eq = strchr(pair, '=');
  if (eq == nullptr) {
    snprintf(err, len, "'%s' is not key=value", pair);
    return false;
  }
  *eq = '\0';
  for (const Key &k : kKeys) {
    if (strcmp(k.name, pair) == 0) {
      if (k.set(p, eq + 1)) return true;
      snprintf(err, len, "bad value '%s' for %s", eq + 1, pair);
      return false;
    }
  }
  snprintf(err, len, "unknown key '%s'", pair);
  return false;
}

}  // namespace

bool parse_profile(const char *text, Profile *p, char *err, size_t len) {
  char buf[1024];
  if (snprintf(buf, sizeof buf, "%s", text) >= static_cast<int>(sizeof buf)) {
    snprintf(err, len, "profile longer than %zu bytes", sizeof buf - 1);
    return false;
  }
  char *save = nullptr;
  for (char *pair = strtok_r(buf, ", ", &save); pair != nullptr;
       pair = strtok_r(nullptr, ", ", &save)) {
    if (!apply(p, pair, err, len)) return false;
  }
  return true;
}

void describe_profile(const Profile &p, char *out, size_t len) {
  snprintf(out, len,
           "delay_up_ns=%lld delay_down_ns=%lld jitter_ns=%lld dist=%s up_bps=%llu "
           "down_bps=%llu loss_up=%g loss_down=%g queue_bytes=%u queue_packets=%u mtu=%u "
           "outage_at_ns=%lld outage_for_ns=%lld outage_every_ns=%lld",
           static_cast<long long>(p.up.delay_ns), static_cast<long long>(p.down.delay_ns),
           static_cast<long long>(p.up.jitter_ns), p.normal ? "normal" : "uniform",
           static_cast<unsigned long long>(p.up.rate_bps),
           static_cast<unsigned long long>(p.down.rate_bps), p.up.loss, p.down.loss,
           p.queue_bytes, p.queue_packets, p.mtu, static_cast<long long>(p.outage_at_ns),
           static_cast<long long>(p.outage_for_ns), static_cast<long long>(p.outage_every_ns));
}

}  // namespace cellpath
