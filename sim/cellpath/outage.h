// The outage switch: on by command, or on a timed schedule from the
// profile (measured from the relay's start). While on, the path drops
// every packet.
#pragma once

#include <stdint.h>

#include "profile.h"

namespace cellpath {

class Outage {
 public:
  Outage(const Profile &p, int64_t start);
  void set(bool on) { manual_ = on; }
  bool on(int64_t now) const;
  // The next time the schedule switches (INT64_MAX: never).
  int64_t next_edge(int64_t now) const;

 private:
  bool manual_ = false;
  int64_t first_, for_, every_;
};

}  // namespace cellpath
