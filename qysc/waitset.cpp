// The loop's waits on its descriptors: one epoll set kept registered
// across waits where the kernel has epoll_pwait2, one ppoll elsewhere.
#include "waitset.h"

#include <errno.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include "daemon.h"

namespace {

struct Registered {
  int fd = -1;
  uint32_t events = 0;
};

constexpr int kSetMax = WAITSET_MAX + 1;  // and the timer
constexpr uint32_t kBackstopUs = 2000;    // the wait's own time-out, behind the timer

struct Epoll {
  int fd = -1;
  bool none = false;  // no epoll_pwait2 (or no epoll): ppoll
  Registered reg[kSetMax];
};

// The wait's timer: armed for the end of the wait, re-armed only when it
// moves (a wait ended by bytes often has the same end as the one before).
struct Timer {
  int fd = -2;         // -2: not made yet; -1: none to be had
  uint64_t armed = 0;  // the end it is armed for (ticks x 1000 + us), 0: none
};

Epoll g;
Timer g_timer;

int want_events(const WaitSet &w, int fd) {
  for (int i = 0; i < w.n; i++) {
    if (w.fd[i] == fd) return w.events[i];
  }
  return -1;
}

void unregister(Registered &r) {
  struct epoll_event ev = {};
  epoll_ctl(g.fd, EPOLL_CTL_DEL, r.fd, &ev);  // fails harmlessly for a descriptor closed since
  r = Registered{};
}

Registered *registered(int fd) {
  for (Registered &r : g.reg) {
    if (r.fd == fd) return &r;
  }
  return nullptr;
}

// One descriptor into the set, or its events changed.
void enter(int fd, uint32_t events) {
  Registered *r = registered(fd);
  const int op = r != nullptr ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
  if (r == nullptr) r = registered(-1);  // a free entry: at most WAITSET_MAX are wanted
  struct epoll_event ev = {};
  ev.events = events;
  ev.data.fd = fd;
  if (epoll_ctl(g.fd, op, fd, &ev) != 0 && errno == EEXIST) epoll_ctl(g.fd, EPOLL_CTL_MOD, fd, &ev);
  *r = Registered{fd, events};
}

// The epoll set made to hold exactly w's descriptors: system calls only
// where the set changed since the last wait.
void sync_set(const WaitSet &w) {
  for (Registered &r : g.reg) {
    if (r.fd >= 0 && want_events(w, r.fd) < 0) unregister(r);
  }
  for (int i = 0; i < w.n; i++) {
    const uint32_t events = static_cast<uint32_t>(w.events[i]);
    const Registered *r = registered(w.fd[i]);
    if (r == nullptr || r->events != events) enter(w.fd[i], events);
  }
}

void give_up_epoll() {
  if (g.fd >= 0) close(g.fd);
  g = Epoll{};
  g.none = true;
}

int epoll_waits(WaitSet *w, const struct timespec *ts) {
  if (g.fd < 0) g.fd = epoll_create1(EPOLL_CLOEXEC);
  if (g.fd < 0) {
    give_up_epoll();
    return -2;
  }
  sync_set(*w);
  struct epoll_event ev[kSetMax];
  const int n = epoll_pwait2(g.fd, ev, kSetMax, ts, nullptr);
  if (n < 0 && errno == ENOSYS) {
    give_up_epoll();
    return -2;
  }
  for (int i = 0; i < n; i++) {
    for (int k = 0; k < w->n; k++) {
      if (w->fd[k] == ev[i].data.fd) w->revents[k] = static_cast<short>(ev[i].events);
    }
  }
  return n;
}

int poll_waits(WaitSet *w, const struct timespec *ts) {
  struct pollfd p[kSetMax];
  for (int i = 0; i < w->n; i++) p[i] = {w->fd[i], w->events[i], 0};
  const int n = ppoll(w->n > 0 ? p : nullptr, static_cast<nfds_t>(w->n), ts, nullptr);
  for (int i = 0; n > 0 && i < w->n; i++) w->revents[i] = p[i].revents;
  return n;
}

// A test's fake pause: the set looked at once, the time handed to it.
int fake_waits(WaitSet *w, uint32_t us) {
  const struct timespec none = {0, 0};
  const int n = poll_waits(w, &none);
  if (n == 0) daemon_pause((us + 999) / 1000);
  return n;
}

// The timer armed for us microseconds from the pass's clock; false when
// there is no timer (the wait's own time-out then ends it).
bool arm_timer(uint32_t us) {
  if (g_timer.fd == -2) g_timer.fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (g_timer.fd < 0) return false;
  uint32_t now_us = 0;
  const uint32_t now = pass_ticks(&now_us);
  const uint64_t end = static_cast<uint64_t>(now) * 1000u + now_us + us;
  if (end == g_timer.armed) return true;
  const struct itimerspec it = {
      {0, 0}, {static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000}};
  if (timerfd_settime(g_timer.fd, 0, &it, nullptr) != 0) return false;
  g_timer.armed = end;
  return true;
}

int wait_with(WaitSet *w, const struct timespec *ts) {
  if (!g.none) {
    const int n = epoll_waits(w, ts);
    if (n != -2) return n;
  }
  return poll_waits(w, ts);
}

}  // namespace

int waitset_wait(WaitSet *w, uint32_t us) {
  for (short &r : w->revents) r = 0;
  if (daemon_pause_faked()) return fake_waits(w, us);
  const bool timer = us > 0 && arm_timer(us);
  const uint32_t limit = timer ? us + kBackstopUs : us;
  const struct timespec ts = {static_cast<time_t>(limit / 1000000),
                              static_cast<long>(limit % 1000000) * 1000};
  const int n0 = w->n;
  if (timer) {  // the timer as one more descriptor of the set, for this wait
    w->fd[w->n] = g_timer.fd;
    w->events[w->n++] = POLLIN;
  }
  const int n = wait_with(w, &ts);
  w->n = n0;
  if (timer && w->revents[n0] != 0) g_timer.armed = 0;  // it fired
  int ready = 0;
  for (int i = 0; i < n0; i++) ready += w->revents[i] != 0 ? 1 : 0;
  return n < 0 ? n : ready;
}

void waitset_forget(int fd) {
  for (Registered &r : g.reg) {
    if (r.fd == fd && fd >= 0) unregister(r);
  }
}
