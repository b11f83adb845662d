#include "relay.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

namespace cellpath {
namespace {

constexpr uint32_t kPacketMax = 65536;

void add(int ep, int fd) {
  struct epoll_event ev = {};
  ev.events = EPOLLIN;
  ev.data.fd = fd;
  epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
}

int signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) sigaddset(&set, s);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  return signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

void print_lane(const char *name, const LaneStats &s) {
  printf(" %s in=%llu out=%llu bytes=%llu lost=%llu tail=%llu outage=%llu write_err=%llu "
         "max_len=%llu over_mtu=%llu", name, static_cast<unsigned long long>(s.in),
         static_cast<unsigned long long>(s.out), static_cast<unsigned long long>(s.out_bytes),
         static_cast<unsigned long long>(s.lost), static_cast<unsigned long long>(s.tail),
         static_cast<unsigned long long>(s.outage), static_cast<unsigned long long>(s.write_err),
         static_cast<unsigned long long>(s.max_len), static_cast<unsigned long long>(s.over_mtu));
}

}  // namespace

int64_t now_ns() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

Relay::Relay(const Profile &p, int gw_fd, int srv_fd, int64_t now)
    : gw_(gw_fd), srv_(srv_fd), up_(p.up, p, p.seed), down_(p.down, p, p.seed ^ 0x9e3779b97f4a7c15ULL),
      outage_(p, now), start_(now) {
  ep_ = epoll_create1(EPOLL_CLOEXEC);
  timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  sig_ = signals();
  for (int fd : {gw_, srv_, timer_, sig_, 0}) add(ep_, fd);
}

Relay::~Relay() {
  for (int fd : {ep_, timer_, sig_}) {
    if (fd >= 0) close(fd);
  }
}

int Relay::run() {
  struct epoll_event ev[8];
  arm();   // a timed outage may be the first thing due
  while (!done_) {
    const int n = epoll_wait(ep_, ev, 8, -1);
    if (n < 0 && errno != EINTR) return 1;
    const int64_t now = now_ns();
    for (int i = 0; i < n; i++) on_ready(ev[i].data.fd, now);
    settle(now_ns());
  }
  print_stats("final");
  return 0;
}

void Relay::on_ready(int fd, int64_t now) {
  if (fd == gw_) {
    read_tun(gw_, &up_, now);
  } else if (fd == srv_) {
    read_tun(srv_, &down_, now);
  } else if (fd == timer_) {
    uint64_t ticks;
    (void)!read(timer_, &ticks, sizeof ticks);
  } else if (fd == sig_) {
    read_signal();
  } else if (fd == 0) {
    read_control();
  }
}

void Relay::read_tun(int fd, Lane *lane, int64_t now) {
  static uint8_t buf[kPacketMax];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) return;
    lane->offer(buf, static_cast<uint32_t>(n), now, outage_.on(now));
  }
}

// Delivers what is due, notes a change of the outage switch, sets the timer.
void Relay::settle(int64_t now) {
  const bool out = outage_.on(now);
  if (out != was_out_) {
    printf("outage %s t=%.3f\n", out ? "on" : "off", static_cast<double>(now - start_) / 1e9);
    was_out_ = out;
  }
  up_.deliver(srv_, now, out);
  down_.deliver(gw_, now, out);
  arm();
}

void Relay::arm() {
  const int64_t next = std::min({up_.next_due(), down_.next_due(), outage_.next_edge(now_ns())});
  struct itimerspec its = {};
  if (next != INT64_MAX) {
    its.it_value.tv_sec = next / 1000000000;
    its.it_value.tv_nsec = next % 1000000000;
    if (its.it_value.tv_sec == 0 && its.it_value.tv_nsec == 0) its.it_value.tv_nsec = 1;
  }
  timerfd_settime(timer_, TFD_TIMER_ABSTIME, &its, nullptr);
}

void Relay::read_signal() {
  struct signalfd_siginfo si;
  while (read(sig_, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
    if (si.ssi_signo == SIGUSR1 || si.ssi_signo == SIGUSR2) {
      set_outage(si.ssi_signo == SIGUSR1);
    } else {
      done_ = true;
    }
  }
}

void Relay::read_control() {
  char buf[256];
  const ssize_t n = read(0, buf, sizeof buf);
  if (n <= 0) {
    done_ = n == 0 || (errno != EAGAIN && errno != EINTR);
    return;
  }
  for (ssize_t i = 0; i < n; i++) {
    if (buf[i] == '\n') {
      line_[line_len_] = '\0';
      command(line_);
      line_len_ = 0;
    } else if (line_len_ + 1 < sizeof line_) {
      line_[line_len_++] = buf[i];
    }
  }
}

void Relay::set_outage(bool on) { outage_.set(on); }

void Relay::outage_on() {
  set_outage(true);
  printf("ok outage on\n");
}

void Relay::outage_off() {
  set_outage(false);
  printf("ok outage off\n");
}
void Relay::stats_now() { print_stats("now"); }
void Relay::quit() { done_ = true; }

void Relay::command(const char *line) {
  static constexpr struct {
    const char *text;
    void (Relay::*act)();
  } kCommands[] = {{"outage on", &Relay::outage_on}, {"outage off", &Relay::outage_off},
                   {"stats", &Relay::stats_now}, {"quit", &Relay::quit}};
  for (const auto &c : kCommands) {
    if (strcmp(line, c.text) == 0) {
      (this->*c.act)();
      return;
    }
  }
  printf("error unknown command '%s'\n", line);
}

void Relay::print_stats(const char *tag) const {
  printf("stats %s", tag);
  print_lane("up", up_.stats());
  print_lane("down", down_.stats());
  printf("\n");
}

}  // namespace cellpath
