// The relay: one thread moving IP packets between the daemon's TUN device
// and the server's, each direction through its Lane, woken by the devices,
// its control lines (standard input), signals and one timer set to the
// next packet due.
#pragma once

#include <stdint.h>

#include "lane.h"
#include "outage.h"
#include "profile.h"

namespace cellpath {

class Relay {
 public:
  Relay(const Profile &p, int gw_fd, int srv_fd, int64_t now);
  ~Relay();
  // Runs until SIGTERM, SIGINT, "quit" or the end of standard input;
  // the exit status.
  int run();

  // Control lines: "outage on", "outage off", "stats", "quit".
  void command(const char *line);
  void print_stats(const char *tag) const;

 private:
  void on_ready(int fd, int64_t now);
  void read_tun(int fd, Lane *lane, int64_t now);
  void read_control();
  void read_signal();
  void settle(int64_t now);
  void arm();
  void set_outage(bool on);
  void outage_on();
  void outage_off();
  void stats_now();
  void quit();

  int gw_, srv_, ep_ = -1, timer_ = -1, sig_ = -1;
  Lane up_, down_;
  Outage outage_;
  bool was_out_ = false, done_ = false;
  int64_t start_;
  char line_[256] = {};
  unsigned line_len_ = 0;
};

int64_t now_ns();

}  // namespace cellpath
